"""The review report, from real runs against the stand-in: the block records
and their flags, the usage sums, escaping of hostile text, and the switch."""
import json
import re

import pytest
from conftest import make_srt
from standin_service import behaviours as b

from brivane import review


def report_files(workdir):
    folder = workdir / "output" / "review"
    return folder, json.loads((folder / "changes.json").read_text(encoding="utf-8"))


def page_data(page_text):
    data = re.search(r'<script type="application/json" id="block-data">(.*?)</script>', page_text, re.S)
    return json.loads(data.group(1))


def test_each_edit_is_traced_to_its_step(review_engine, service, workdir, records):
    (workdir / "input").mkdir(exist_ok=True)
    path = str(workdir / "input" / "lecture.srt")
    (workdir / "input" / "lecture.srt").write_text(make_srt(6), encoding="utf-8")
    service.script(
        # Window 1: a model edit everywhere, block 2 dropped, block 3 re-timed.
        b.combine(b.echo({"需要": "须要"}), b.drop_blocks([2]),
                  b.change_timestamp(3, "00:00:06,100 --> 00:00:07,600")),
        b.echo(),  # the follow-up brings block 2 back
        # Window 2: block 4 dropped for good, a note on 5, 6 rewritten.
        b.combine(b.echo(), b.drop_blocks([4]), b.inline_note(5, "（注：原文为血案）"),
                  b.duplicate_block(6, "今天我们讲心力衰竭的分型")),
        b.combine(b.drop_blocks([4]), b.extra_block(999)),
    )
    assert review_engine.process_subtitle_file(path, custom_window_size=3) is True
    folder, changes = report_files(workdir)
    [file] = changes["files"]
    blocks = {block["index"]: block for block in file["blocks"]}
    assert {index: block["flags"] for index, block in blocks.items()} == {
        "1": ["model", "glossary"],
        "2": ["glossary", "follow_up"],
        "3": ["model", "glossary", "timing"],
        "4": ["missing"],
        # The model only added a note; the visible fix is the glossary's.
        "5": ["glossary", "commentary"],
        "6": ["model", "risk", "big"],  # the rewrite lost the block's number
    }
    assert blocks["1"]["returned"] == "血案升高1，须要治疗"
    assert blocks["1"]["glossary"] == blocks["1"]["final"] == "血氨升高1，须要治疗"
    assert blocks["1"]["glossary_entries"] == [["血案", "血氨"]]
    assert blocks["3"]["reply_timing"] == ["00:00:06,100", "00:00:07,600"]
    assert blocks["4"]["returned"] is None and blocks["4"]["final"] == blocks["4"]["sent"]
    assert blocks["5"]["glossary"] == "血氨升高5，需要治疗（注：原文为血氨）"
    assert blocks["5"]["final"] == "血氨升高5，需要治疗"
    assert blocks["5"]["removed"] == ["（注：原文为血氨）"]
    assert [block["removed"] for block in blocks.values()].count([]) == 5
    assert file["totals"] == {"blocks": 6, "changed": 5, "model": 3, "glossary": 4,
                              "commentary": 1, "missing": 1, "timing": 1, "big": 1,
                              "risk": 1, "follow_up": 1, "flagged": 4}
    prompt = sum(len(r.system_text) + len(r.user_text) for r in service.requests)
    hit = sum(len(r.system_text) for r in service.requests)
    assert file["usage"]["requests"] == 4 and file["usage"]["prompt_tokens"] == prompt
    assert changes["usage"] == file["usage"]
    completion = file["usage"]["completion_tokens"]
    saved, usage_record = records()[-2:]
    assert saved == ("INFO", f"审阅报告已保存到: {folder / 'index.html'}")
    # The packaged configuration prices the model.
    assert re.fullmatch(f"本批次用量: 输入 {prompt} tokens（缓存命中 {hit}），输出 {completion} tokens，"
                        r"推理 0 tokens，费用约 ¥\d\.\d{4}", usage_record[1])
    page = (folder / "lecture.html").read_text(encoding="utf-8")
    data = page_data(page)
    assert data["blocks"] == file["blocks"]
    # Block 5 was edited by the glossary and the cleanup, each shown on its
    # own; block 1 by two steps; block 4 not at all.
    assert [step[0] for step in data["diffs"]["4"]["steps"]] == ["glossary", "commentary"]
    assert data["diffs"]["0"]["steps"] == [["model", [[0, "血案升高1，"], [-1, "需"], [1, "须"], [0, "要治疗"]]],
                                           ["glossary", [[0, "血"], [-1, "案"], [1, "氨"], [0, "升高1，须要治疗"]]]]
    assert "3" not in data["diffs"]
    # The file opens on the rows that need a look.
    assert 'href="lecture.html#filter=flagged"' in (folder / "index.html").read_text(encoding="utf-8")


def test_hostile_text_stays_text(review_engine, service, workdir):
    (workdir / "input").mkdir(exist_ok=True)
    hostile = '<script>alert(1)</script></script><img src=x onerror=alert(2)>&amp;'
    name = "a<i>b'.srt"
    (workdir / "input" / name).write_text(f"1\n00:00:01,000 --> 00:00:02,000\n{hostile}\n",
                                          encoding="utf-8")
    service.script(b.echo({"alert(1)": "alert(3)"}))
    assert review_engine.process_subtitle_file(str(workdir / "input" / name)) is True
    folder, changes = report_files(workdir)
    page = (folder / "a<i>b'.html").read_text(encoding="utf-8")
    index = (folder / "index.html").read_text(encoding="utf-8")
    for markup in ("<script>alert", "</script><img", "<img", "<i>b"):
        assert markup not in page and markup not in index
    assert "a&lt;i&gt;b" in page
    [sent, _] = page_data(page)["diffs"]["0"]["sides"]
    assert "".join(text for _, text in sent) == hostile
    assert changes["files"][0]["blocks"][0]["sent"] == hostile


@pytest.mark.parametrize("sent, final, big", [
    ("一二三四五六", "一二三四五六", False),
    ("一二三四五六", "一二三四五七", False),
    ("abc", "abd", False),  # exactly a third differs
    ("ab", "ac", True),
    ("一二三", "四五六", True),
    ("", "新", True),
])
def test_big_change_threshold(sent, final, big):
    assert review.differs_by_much(sent, final) is big


@pytest.mark.parametrize("sent, final, entries, big", [
    ("方颤", "房颤", (), False),  # a one-word fix of a short line
    ("血案高", "血氨偏高", [("血案", "血氨")], False),  # the glossary's term, then one word
    ("患者出现方颤伴心率快", "患者出现心房颤动伴心律快", (), False),
    ("嗯那个血压很高啊", "收缩压明显升高了", (), True),  # a rewrite
    ("一二三", "四五六七八", (), True),
])
def test_big_change_spares_terms_and_one_word_fixes(sent, final, entries, big):
    assert review.is_big_change(sent, final, entries) is big


def test_usage_sums_skip_what_was_not_reported():
    usage = review.sum_usage([{"prompt_tokens": 10, "completion_tokens": 2,
                               "completion_tokens_details": {"reasoning_tokens": 7}},
                              {"prompt_tokens": 5, "prompt_cache_hit_tokens": 4,
                               "completion_tokens": True, "completion_tokens_details": None}, None])
    assert usage == {"requests": 2, "prompt_tokens": 15, "completion_tokens": 2,
                     "prompt_cache_hit_tokens": 4, "prompt_cache_miss_tokens": None,
                     "reasoning_tokens": 7}


def test_page_names_never_collide(review_engine, workdir):
    report = review.Report(review_engine)
    for path in ("in/index.srt", "in/a.srt", "in/sub/a.srt", "in/A.srt", "in/queue.srt"):
        report.add_file(input=path, output=None, corrected=False, started="", window_size=50,
                        blocks=[], usages=[])
    report.write()
    assert [file["page"] for file in report.files] == ["index_2.html", "a.html", "a_2.html",
                                                       "A_3.html", "queue_2.html"]


def test_batch_report_lists_every_file(batch_engine, service, workdir, records):
    batch_engine.config = {**batch_engine.config, "review_report": True}
    (workdir / "input").mkdir(exist_ok=True)
    (workdir / "input" / "a.srt").write_text(make_srt(2), encoding="utf-8")
    (workdir / "input" / "b.srt").write_bytes(b"\xff\xfe\x00")  # unreadable: the file fails
    assert batch_engine.process_all_files() is True
    folder, changes = report_files(workdir)
    assert [(f["page"], f["status"], f["totals"]["blocks"]) for f in changes["files"]] == [
        ("a.html", "corrected", 2), ("b.html", "failed", 0)]
    # The failed file says why, in the data and on the index.
    reason = "字幕文件处理失败: 'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"
    assert [f["reason"] for f in changes["files"]] == [None, reason]
    index = (folder / "index.html").read_text(encoding="utf-8")
    assert reason.replace("'", "&#39;") in index
    # The index lists the failed file first; the batch's order stays at hand.
    assert re.findall(r'data-page="(\w+\.html)" data-risk="(\d)" data-batch="(\d)"', index) == [
        ("b.html", "0", "1"), ("a.html", "1", "0")]
    messages = [message for _, message in records()]
    done = messages.index("字幕文件处理完成，成功: 1，失败: 1")
    assert messages[done + 1] == f"审阅报告已保存到: {folder / 'index.html'}"
    assert messages[done + 2].startswith(
        f"本批次用量: 输入 {changes['usage']['prompt_tokens']} tokens"
        f"（缓存命中 {changes['usage']['prompt_cache_hit_tokens']}），"
        f"输出 {changes['usage']['completion_tokens']} tokens，推理 0 tokens")
    assert len(messages) == done + 3
    assert (folder / "b.html").exists()


@pytest.mark.parametrize("currency, scale, shown", [
    (None, 0, None), ("CNY", 1, r"¥(\d\.\d{4})"), ("EUR", 1e4, r"EUR (\d+\.\d\d)")])
def test_usage_record_with_reasoning_and_cost(review_engine, service, workdir, records,
                                              currency, scale, shown):
    # The stand-in thinks unless told not to; the packaged prices give way to the case's.
    config = {key: value for key, value in review_engine.config.items() if key != "pricing"}
    config["extra_body"] = {}
    prices = {"currency": currency, "cache_hit": 1 * scale, "cache_miss": 10 * scale, "output": 100 * scale}
    if currency:
        config["pricing"] = {review_engine.model: prices}
    review_engine.config = config
    service.thinking, service.reasoning_tokens = True, 37
    (workdir / "input").mkdir(exist_ok=True)
    (workdir / "input" / "talk.srt").write_text(make_srt(4), encoding="utf-8")
    assert review_engine.process_subtitle_file(str(workdir / "input" / "talk.srt"),
                                               custom_window_size=2) is True
    folder, changes = report_files(workdir)
    usage = changes["usage"]
    assert usage["reasoning_tokens"] == 37 * len(service.requests) == 37 * 2
    record = records()[-1][1]
    assert record.startswith(
        f"本批次用量: 输入 {usage['prompt_tokens']} tokens（缓存命中 {usage['prompt_cache_hit_tokens']}），"
        f"输出 {usage['completion_tokens']} tokens，推理 {37 * 2} tokens")
    index = (folder / "index.html").read_text(encoding="utf-8")
    if currency is None:
        assert "费用" not in record + index and "cost" not in changes
        return
    expected = (usage["prompt_cache_hit_tokens"] * prices["cache_hit"]
                + usage["prompt_cache_miss_tokens"] * prices["cache_miss"]
                + usage["completion_tokens"] * prices["output"]) / 1e6
    amount = re.fullmatch(r".*，费用约 " + shown, record).group(1)
    assert float(amount) == pytest.approx(expected, abs=0.01)
    assert changes["cost"]["amount"] == changes["files"][0]["cost"]["amount"] == pytest.approx(expected)
    assert f'data-key="cost" data-value="{changes["files"][0]["cost"]["amount"]}"' in index


def test_a_changed_dose_or_side_is_a_risk_everywhere(review_engine, service, workdir, comparison_dir):
    review_engine.config = {**review_engine.config, "risk_checks": True}
    (workdir / "input").mkdir(exist_ok=True)
    path = workdir / "input" / "dose.srt"
    path.write_text(make_srt(3, text="左肺第{i}段，每次5 mg"), encoding="utf-8")
    service.default = b.echo({"左肺第2段": "右肺第2段", "第3段，每次5 mg": "第3段，每次50 mg"})
    assert review_engine.process_subtitle_file(str(path)) is True
    _, changes = report_files(workdir)
    [file] = changes["files"]
    labels = [[risk["label"] for risk in block["risks"]] for block in file["blocks"]]
    assert labels == [[], ["左右改动 左肺 → 右肺"], ["数值改动 5 mg → 50 mg"]]
    assert ["risk" in block["flags"] for block in file["blocks"]] == [False, True, True]
    assert file["totals"]["risk"] == 2 and file["totals"]["flagged"] == 2
    log = next(comparison_dir.glob("*.log")).read_text(encoding="utf-8")
    assert log.count("风险: ") == 2 and "风险: 数值改动 5 mg → 50 mg\n" in log
