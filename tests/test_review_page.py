"""The review page in a real headless Chromium: filters, j/k, search,
hostile text, and nothing but the page itself loaded."""
import json

import chromium  # skips the module without a browser
import pytest
from conftest import make_srt
from selenium.webdriver.common.by import By
from standin_service import behaviours as b

pytestmark = pytest.mark.browser

HOSTILE = "<script>alert(1)</script><img src=x onerror=alert(2)>"


@pytest.fixture(scope="module")
def browser():
    driver = chromium.start(1366, logs=("browser", "performance"))
    yield driver
    driver.quit()


@pytest.fixture
def page(review_engine, service, workdir, browser):
    """The page of a 12-block lecture: blocks 3, 6 and 9 edited by the model,
    block 11 dropped, block 12 hostile."""
    (workdir / "input").mkdir(exist_ok=True)
    text = make_srt(11, text="第{i}句") + f"\n12\n00:01:00,000 --> 00:01:01,000\n{HOSTILE}\n"
    (workdir / "input" / "talk.srt").write_text(text, encoding="utf-8")
    service.script(b.combine(b.echo({"第3句": "第三句", "第6句": "第六句", "第9句": "第九句"}),
                             b.drop_blocks([11])),
                   b.drop_blocks([11]))
    assert review_engine.process_subtitle_file(str(workdir / "input" / "talk.srt")) is True
    browser.get_log("browser"), browser.get_log("performance")  # start clean
    url = (workdir / "output" / "review" / "talk.html").as_uri()
    browser.get(url)
    browser.find_element(By.CSS_SELECTOR, "body[data-ready]")
    return browser, url


def shown_indexes(driver):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('#rows .row'))"
        ".filter(row => getComputedStyle(row).display !== 'none')"
        ".map(row => row.firstChild.textContent)")


def current_index(driver):
    return driver.execute_script(
        "var row = document.querySelector('.row.current'); return row && row.firstChild.textContent")


def test_filters_keys_and_search(page):
    driver, _ = page
    # By risk: the block the reply lacked, the model's edits, then the rest, each in file order.
    assert shown_indexes(driver) == ["11", "3", "6", "9", "1", "2", "4", "5", "7", "8", "10", "12"]
    driver.find_element(By.CSS_SELECTOR, '.order button[data-order="time"]').click()
    assert shown_indexes(driver) == [str(i) for i in range(1, 13)]
    button = {b.get_attribute("data-filter"): b for b in driver.find_elements(By.CSS_SELECTOR, ".filters button")}
    button["changed"].click()
    assert shown_indexes(driver) == ["3", "6", "9"]
    button["flagged"].click()
    assert shown_indexes(driver) == ["11"]
    # j / k move keyboard focus over the rows the filter shows, wrapping.
    button["changed"].click()
    moves = []
    for key in "jjjjk":
        driver.switch_to.active_element.send_keys(key)
        moves.append(current_index(driver))
    assert moves == ["3", "6", "9", "3", "9"]
    assert driver.switch_to.active_element.get_attribute("id") == "block-8"
    button["all"].click()
    search = driver.find_element(By.ID, "search")
    search.send_keys("第六")
    driver.execute_script("return new Promise(done => setTimeout(done, 300))")  # the debounce
    assert shown_indexes(driver) == ["6"]
    assert driver.find_element(By.ID, "shown").text == "显示 1 / 12 块"


def test_hostile_text_shows_as_text_and_nothing_is_fetched(page):
    driver, url = page
    last = driver.find_elements(By.CSS_SELECTOR, "#rows .row")[-1]
    assert last.find_element(By.CSS_SELECTOR, ".sent").text == HOSTILE
    assert driver.find_elements(By.CSS_SELECTOR, "#rows img, #rows script") == []
    driver.get(url.rsplit("/", 1)[0] + "/index.html")
    # The index opens the file on its rows that need a look.
    driver.find_element(By.CSS_SELECTOR, 'a[href="talk.html#filter=flagged"]').click()
    assert driver.current_url == url + "#filter=flagged"
    driver.find_element(By.CSS_SELECTOR, "body[data-ready]")
    assert shown_indexes(driver) == ["11"]
    assert [entry for entry in driver.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")] == []
    fetched = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            fetched.append(message["params"]["request"]["url"])
    assert fetched and all(u.startswith("file://") for u in fetched), fetched
