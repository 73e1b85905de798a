"""The review workbench in a real headless Chromium, on a real batch from
the stand-in: decisions that survive a restart, export, j/k over flagged
rows, the token and Host checks, hostile text, and the media player."""
import http.client
import json
import wave

import chromium  # skips the module without a browser
import pytest
from conftest import EXTRAS, make_srt
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait
from standin_service import behaviours as b

from brivane import workbench

pytestmark = pytest.mark.browser

HOSTILE = "<script>alert(1)</script><img src=x onerror=alert(2)>"
REVIEWER = "<b>审阅人</b><img src=x onerror=alert(4)>"
NOTE = "（注：<i>原文</i>可能有误）"
BLOCKS = 14


@pytest.fixture(scope="module")
def batch(brivane_module, standin, tmp_path_factory):
    """A 14-block lecture corrected against the stand-in: 3 and 6 edited by
    the model, a note on 5, 8 missing, 10 re-timed, 12 rewritten, 14 hostile;
    its audio beside it."""
    root = tmp_path_factory.mktemp("workbench")
    (root / "input").mkdir()
    text = make_srt(BLOCKS - 1, text="第{i}句") + f"\n14\n00:00:28,000 --> 00:00:29,500\n{HOSTILE}\n"
    (root / "input" / "lecture.srt").write_text(text, encoding="utf-8")
    engine = brivane_module.Brivane("test-key", str(root / "input"), str(root / "output"))
    engine.api_url = standin.url
    engine.error_terms = {}
    engine.config = {**{k: v for k, v in engine.config.items() if k not in EXTRAS},
                     "review_report": True, "retry_missing_blocks": True,
                     "logging": {"enable_detailed_logs": False, "enable_subtitle_logs": False}}
    standin.reset()
    standin.script(b.combine(b.echo({"第3句": "第三句", "第6句": "第六句", "alert(1)": "alert(3)"}),
                             b.inline_note(5, NOTE), b.drop_blocks([8]),
                             b.change_timestamp(10, "00:00:20,500 --> 00:00:21,500"),
                             b.duplicate_block(12, "今天我们讲心力衰竭的分型与治疗")),
                   b.drop_blocks([8]))
    assert engine.process_subtitle_file(str(root / "input" / "lecture.srt")) is True
    standin.reset()
    media = root / "media"
    media.mkdir()
    with wave.open(str(media / "lecture.wav"), "wb") as audio:  # 40 s of silence
        audio.setnchannels(1), audio.setsampwidth(1), audio.setframerate(8000)
        audio.writeframes(b"\x80" * 8000 * 40)
    return root


@pytest.fixture(scope="module")
def browser():
    driver = chromium.start(1400, "--autoplay-policy=no-user-gesture-required")
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def bench(batch):
    server = workbench.Workbench(str(batch / "output"), REVIEWER, str(batch / "media")).start()
    yield server
    server.close()


def open_page(driver, server, hash=""):
    driver.get("about:blank")  # a new hash alone would not reload the page
    driver.get(server.page_url("lecture.html") + hash)
    WebDriverWait(driver, 10).until(lambda d: d.execute_script("return document.body.dataset.ready"))


def row_states(driver):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('#rows .row')).map(row =>"
        " [row.firstChild.textContent, row.dataset.decision, row.classList.contains('reviewed')])")


def wait_saved(driver, index):
    WebDriverWait(driver, 10).until(
        lambda d: d.find_element(By.ID, "status").text in (f"已保存 #{index}",)
        or "失败" in d.find_element(By.ID, "status").text)
    assert d_status(driver) == f"已保存 #{index}"


def d_status(driver):
    return driver.find_element(By.ID, "status").text


def press(driver, keys):
    driver.switch_to.active_element.send_keys(keys)


def focused_index(driver):
    return driver.execute_script(
        "var row = document.activeElement; return row && row.matches('#rows .row') ? row.firstChild.textContent : null")


def go_to(driver, index):
    """Focus the row with this block number, with j."""
    for _ in range(BLOCKS + 1):
        press(driver, "j")
        if focused_index(driver) == index:
            return
    raise AssertionError(f"row {index} never focused")


def test_decisions_survive_a_restart_and_export_writes_them(batch, browser):
    output = batch / "output"
    first = workbench.Workbench(str(output), "王医生").start()
    try:
        open_page(browser, first)
        go_to(browser, "3")
        press(browser, "a")
        wait_saved(browser, "3")
        go_to(browser, "6")
        press(browser, "r")
        wait_saved(browser, "6")
        go_to(browser, "12")
        press(browser, "e")
        box = browser.switch_to.active_element
        assert box.tag_name == "textarea" and box.get_attribute("value") == "今天我们讲心力衰竭的分型与治疗"
        box.clear()
        box.send_keys("第十三句")  # a changed number, as the model's would be flagged
        box.send_keys("\n")
        wait_saved(browser, "12")
        go_to(browser, "1")
        press(browser, " ")
        wait_saved(browser, "1")
        assert browser.find_element(By.ID, "progress").text == f"已审阅 4 / {BLOCKS}"
    finally:
        first.close()
    second = workbench.Workbench(str(output), "李医生").start()
    try:
        open_page(browser, second, "#filter=unreviewed")
        # The filter came back with the reload.
        assert [done for _, _, done in row_states(browser)] == [False] * (BLOCKS - 4)
        browser.find_element(By.CSS_SELECTOR, '.filters button[data-filter="all"]').click()
        decided = {index: (decision, done) for index, decision, done in row_states(browser) if done}
        assert decided == {"1": ("", True), "3": ("accept", True), "6": ("reject", True),
                           "12": ("edit", True)}
        decision = browser.find_element(By.CSS_SELECTOR, "#block-11 .decision").get_attribute("textContent")
        assert "王医生" in decision and "审阅修改 数值改动" in decision
        browser.find_element(By.ID, "export").click()
        WebDriverWait(browser, 10).until(lambda d: d_status(d).startswith("已导出"))
        assert d_status(browser) == "已导出 1 个文件: 接受 2，拒绝 1，编辑 1，未审阅 10"
    finally:
        second.close()
    corrected = (output / "lecture_corrected.srt").read_text(encoding="utf-8")
    reviewed = (output / "lecture_reviewed.srt").read_text(encoding="utf-8")
    assert reviewed == (corrected.replace("\n第六句\n", "\n第6句\n")
                        .replace("\n今天我们讲心力衰竭的分型与治疗\n", "\n第十三句\n"))
    assert "\n第三句\n" in reviewed and "alert(3)" in reviewed
    summary = json.loads((output / "review" / "reviewed.json").read_text(encoding="utf-8"))
    assert summary["totals"] == {"accepted": 2, "rejected": 1, "edited": 1, "not_reviewed": 10,
                                 "stale": 0}


def test_j_and_k_reach_every_flagged_row(bench, browser):
    open_page(browser, bench, "#filter=flagged")
    seen = []
    for key in "jjjjjkk":
        press(browser, key)
        seen.append(focused_index(browser))
    # In risk order: changed numbers (12's rewrite lost its number, 14's
    # alert(1) became alert(3)), then re-timed (10), missing (8), a note only (5).
    assert seen == ["12", "14", "10", "8", "5", "8", "10"]


@pytest.mark.parametrize("path, host, origin, status", [
    ("/{token}/lecture.html", "127.0.0.1:{port}", None, 200),
    ("/lecture.html", "127.0.0.1:{port}", None, 403),
    ("/x{token}/lecture.html", "127.0.0.1:{port}", None, 403),
    ("/{token}/lecture.html", "evil.example:{port}", None, 403),
    ("/{token}/lecture.html", None, None, 403),
    ("/{token}/changes.json", "localhost:{port}", None, 404),  # only the pages
    ("/{token}/../changes.json", "localhost:{port}", None, 404),
    ("/{token}/api/decision", "127.0.0.1:{port}", "http://evil.example", 403),
])
def test_token_host_and_origin_are_checked(bench, path, host, origin, status):
    connection = http.client.HTTPConnection("127.0.0.1", bench.port, timeout=10)
    headers = {} if host is None else {"Host": host.format(port=bench.port)}
    method = "GET"
    if origin:
        method, headers["Origin"], headers["Content-Type"] = "POST", origin, "application/json"
    connection.putrequest(method, path.format(token=bench.token), skip_host=True)
    for name, value in headers.items():
        connection.putheader(name, value)
    body = json.dumps({"page": "lecture.html", "position": 1, "index": "2", "action": "accept"})
    if method == "POST":
        connection.putheader("Content-Length", str(len(body)))
    connection.endheaders(body.encode() if method == "POST" else None)
    assert connection.getresponse().status == status
    connection.close()


def test_hostile_text_stays_text_in_every_view(bench, browser):
    open_page(browser, bench)
    go_to(browser, "14")
    press(browser, "e")
    box = browser.switch_to.active_element
    box.clear()
    box.send_keys(HOSTILE + "\n")
    wait_saved(browser, "14")
    for reload in (False, True):
        if reload:
            open_page(browser, bench)
        row = browser.find_element(By.ID, "block-13")
        assert row.find_element(By.CSS_SELECTOR, ".decision .edited").text == HOSTILE
        assert REVIEWER in row.find_element(By.CSS_SELECTOR, ".decision .who").text
        note = browser.find_element(By.CSS_SELECTOR, "#block-4 .removed q").text
        assert note == NOTE
        assert browser.find_elements(By.CSS_SELECTOR, "#rows img, #rows script, #rows b, #rows i") == []
    # The removed note is searchable.
    browser.find_element(By.ID, "search").send_keys("可能有误")
    WebDriverWait(browser, 5).until(lambda d: d.find_element(By.ID, "shown").text == f"显示 1 / {BLOCKS} 块")
    browser.get(bench.page_url("index.html"))
    WebDriverWait(browser, 10).until(lambda d: d.execute_script("return document.body.dataset.ready"))
    assert browser.find_element(By.CSS_SELECTOR, 'td[data-key="reviewed"]').text.endswith(f"/ {BLOCKS}")
    assert browser.find_elements(By.CSS_SELECTOR, "main img, main b") == []
    assert [e for e in browser.get_log("browser") if e["level"] == "SEVERE"] == []


@pytest.mark.parametrize("query, shown", [("00:00:12", ["6"]), ("0:21", ["10"]), ("1", ["1"]),
                                          ("第1", ["12", "10", "1", "11", "13"])])  # by risk
def test_search_by_time_and_exact_number(bench, browser, query, shown):
    open_page(browser, bench, "#q=" + query)
    assert browser.execute_script(
        "return Array.from(document.querySelectorAll('#rows .row'))"
        ".filter(row => getComputedStyle(row).display !== 'none').map(row => row.firstChild.textContent)") == shown


def test_clicking_a_timestamp_plays_that_cue(bench, browser):
    open_page(browser, bench)
    WebDriverWait(browser, 10).until(lambda d: d.execute_script(
        "return document.getElementById('media').readyState >= 1"))
    browser.find_element(By.CSS_SELECTOR, "#block-5 button.play").click()  # 00:00:12,000 --> 00:00:13,500
    WebDriverWait(browser, 10).until(lambda d: d.execute_script(
        "var m = document.getElementById('media'); return !m.seeking && m.currentTime >= 12"))
    position = browser.execute_script("return document.getElementById('media').currentTime")
    assert 12 <= position < 13.6
    # It stops at the cue's end.
    WebDriverWait(browser, 10).until(lambda d: d.execute_script("return document.getElementById('media').paused"))
    assert browser.execute_script("return document.getElementById('media').currentTime") < 14


@pytest.fixture(scope="module")
def course(brivane_module, standin, tmp_path_factory):
    """Two lectures: in a.srt a changed dose (2) and 方颤 fixed as 房颤 (3, 4);
    in b.srt a re-timed block (1), a changed side (2), a block the reply
    lacked (3) and 方颤 left as it was (4)."""
    root = tmp_path_factory.mktemp("course")
    (root / "input").mkdir()
    for name, lines in (("a.srt", ["各位同学好", "每次5 mg", "方颤很常见", "方颤要抗凝"]),
                        ("b.srt", ["第一部分", "左肺有啰音", "注意观察", "方颤的治疗"])):
        (root / "input" / name).write_text("\n\n".join(
            f"{i}\n00:00:0{i},000 --> 00:00:0{i},900\n{line}" for i, line in enumerate(lines, 1)) + "\n",
            encoding="utf-8")
    engine = brivane_module.Brivane("test-key", str(root / "input"), str(root / "output"))
    engine.api_url = standin.url
    engine.error_terms = {}
    engine.config = {**{k: v for k, v in engine.config.items() if k not in EXTRAS},
                     "review_report": True, "retry_missing_blocks": True, "risk_checks": True,
                     "logging": {"enable_detailed_logs": False, "enable_subtitle_logs": False}}
    standin.reset()
    standin.script(b.echo({"5 mg": "50 mg", "方颤": "房颤"}),
                   b.combine(b.echo({"左肺": "右肺"}), b.drop_blocks([3]),
                             b.change_timestamp(1, "00:00:01,200 --> 00:00:01,900")),
                   b.drop_blocks([3]))
    assert engine.process_all_files() is True
    standin.reset()
    return root / "output"


def queue_rows(driver):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('#rows .row .where a')).map(a => a.textContent)")


def focused_block(driver):
    return driver.execute_script("return document.activeElement.querySelector('.where a').textContent")


def test_the_course_queue_orders_every_file_by_risk(course, browser):
    server = workbench.Workbench(str(course), "王医生").start()
    try:
        browser.get(server.url)  # the workbench opens on the queue
        WebDriverWait(browser, 10).until(lambda d: d.execute_script("return document.body.dataset.ready"))
        # Changed numbers and sides and the block that missed the course's
        # fix first, then timing, missing, other edits; unchanged blocks only
        # under 全部.
        order = ["a.srt #2", "b.srt #2", "b.srt #4", "b.srt #1", "b.srt #3", "a.srt #3", "a.srt #4"]
        # The course-wide flags may come a moment after the page, as the server finds them.
        WebDriverWait(browser, 10).until(lambda d: queue_rows(d) == order)
        assert browser.find_element(By.ID, "progress").text == "已审阅 0 / 7"
        seen = []
        for key in "j" * 8 + "k":
            press(browser, key)
            seen.append(focused_block(browser))
        assert seen == order + order[:1] + order[-1:]
        for _ in order:
            if focused_block(browser) == "b.srt #2":
                break
            press(browser, "j")
        press(browser, "a")  # from the queue as on its page
        wait_saved(browser, "2")
        assert browser.find_element(By.ID, "progress").text == "已审阅 1 / 7"
        browser.find_element(By.CSS_SELECTOR, '.filters button[data-filter="side"]').click()
        assert queue_rows(browser) == ["b.srt #2"]
        browser.find_element(By.CSS_SELECTOR, '.filters button[data-filter="maybe_missed"]').click()
        [row] = browser.find_elements(By.CSS_SELECTOR, "#rows .row")
        assert row.find_element(By.CSS_SELECTOR, ".badge.maybe_missed").text.startswith("可能漏改 方颤")
        row.find_element(By.CSS_SELECTOR, "details.evidence summary").click()
        evidence = row.find_elements(By.CSS_SELECTOR, "details.evidence a")
        assert [a.text for a in evidence] == ["a.srt #3", "a.srt #4"]
        evidence[1].click()  # the block on its file's page
        WebDriverWait(browser, 10).until(lambda d: d.execute_script(
            "var row = document.querySelector('#rows .row.current'); return row && row.id"))
        assert browser.current_url.endswith("/a.html#at=3")
        assert browser.execute_script("return document.activeElement.id") == "block-3"
        browser.get(server.page_url("b.html"))
        WebDriverWait(browser, 10).until(lambda d: d.execute_script("return document.body.dataset.ready"))
        assert browser.find_element(By.ID, "block-1").get_attribute("data-decision") == "accept"
        assert [e for e in browser.get_log("browser") if e["level"] == "SEVERE"] == []
    finally:
        server.close()
