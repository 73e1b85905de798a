"""`brivane glossary suggest`: pairs the model keeps fixing, mined from review data."""
import json

import pytest

from brivane import glossary, glossary_files, glossary_suggest
from brivane.decisions import Decisions
from brivane.dictionary import jieba_words


@pytest.fixture(scope="module")
def words():
    return jieba_words()


@pytest.mark.parametrize("sent, returned, spans", [
    ("心肌梗塞后", "心肌梗死后", [("心肌梗塞", "心肌梗死")]),  # the sent word is cut in half
    ("患者出现方颤", "患者出现房颤", [("方颤", "房颤")]),  # the returned word is
    ("室颤和房颤", "是颤和方颤", [("室颤", "是颤"), ("房颤", "方颤")]),
    ("血氨高", "血氨很高", []),  # pure insertion
    ("嗯，方颤", "方颤", []),  # pure deletion
    ("方颤\n心率快", "房颤\n心律快", [("方颤", "房颤"), ("心率", "心律")]),
    # A punctuation change beside the fix is not part of it.
    ("患者方颤。", "患者房颤，", [("方颤", "房颤")]),
    ("方颤", "房颤。", [("方颤", "房颤")]),
    ("艾克斯线", "X线的", [("艾克斯", "X")]),  # nor a particle added after it
    ("今天讲方颤的治疗", "我们今天来讨论心房颤动", []),  # most of the line rewritten
    ("断天断很。、诊快诊出方", "断天断很、、快诊 出方", []),  # widening stops at the text's end
])
def test_edited_spans(words, sent, returned, spans):
    assert glossary_suggest.edited_spans(sent, returned, words) == spans


def block(index, sent, returned):
    final = returned if returned is not None else sent
    return {"index": str(index), "start": "00:00:01,000", "end": "00:00:02,000", "window": 1,
            "sent": sent, "returned": returned, "glossary": returned, "final": final,
            "flags": ["model"] if returned not in (None, sent) else [], "glossary_entries": []}


def changes(**files):
    return {"format": "brivane-changes", "version": 1, "generated": "2026-01-01 00:00:00",
            "model": "m", "usage": {},
            "files": [{"input": f"lectures/{name}.srt", "output": f"out/{name}_corrected.srt",
                       "page": f"{name}.html", "status": "corrected", "window_size": 50,
                       "totals": {}, "usage": {}, "blocks": blocks} for name, blocks in files.items()]}


@pytest.fixture
def reviews(tmp_path):
    """Two runs: one as an output folder, one as the file itself."""
    first = changes(a=[
        block(1, "患者出现方颤，心率很快", "患者出现房颤，心律很快"),
        block(2, "方颤时血案升高，方颤复发", "房颤时血案升高，房颤复发"),  # counts once
        block(3, "主动脉瓣返流", "主动脉瓣反流"),  # one-off
        block(4, "测心率", "测心律"),
        block(5, "方颤", None),  # the reply lacked it
    ])
    second = changes(b=[
        block(7, "血案升高，心率下降", "血氨升高，心律下降"),  # 血案 the glossary covers
        block(8, "既往方颤病史", "既往房颤病史"),
        block(9, "血案升高", "血氨升高"),
        block(10, "血案升高", "血氨升高"),
    ])
    (tmp_path / "run1" / "review").mkdir(parents=True)
    (tmp_path / "run1" / "review" / "changes.json").write_text(json.dumps(first), encoding="utf-8")
    (tmp_path / "run2.json").write_text(json.dumps(second), encoding="utf-8")
    return [str(tmp_path / "run1"), str(tmp_path / "run2.json")]


def test_recurring_edit_is_suggested_and_unsafe_listed_apart(tmp_path, reviews, capsys):
    output = tmp_path / "learned.json"
    assert glossary.main(["suggest", *reviews, "--output", str(output)]) == glossary.CLEAN
    out = capsys.readouterr().out
    learned = json.loads(output.read_text(encoding="utf-8"))
    assert learned == {glossary_suggest.SUGGESTION_CATEGORY: ["方颤→房颤"]}
    assert "    3  方颤→房颤\n       a.srt #1: 患者出现方颤，心率很快 → 患者出现房颤，心律很快\n" in out
    assert "b.srt #8: 既往方颤病史 → 既往房颤病史" in out
    unsafe = out.split("不安全，未写入 1 条:\n")[1]
    assert unsafe.startswith("    3  心率→心律\n       dictionary: ")
    assert "返流→" not in out and "血案→" not in out
    # The file is ready for the engine and passes the checker with the packaged library.
    assert glossary_files.load_error(output) is None
    assert glossary.main(["check", "--with-packaged", str(output)]) == glossary.CLEAN
    capsys.readouterr()
    assert glossary.main(["suggest", *reviews, "--output", str(output)]) == glossary.USAGE
    assert "已存在" in capsys.readouterr().err


def test_min_count_and_current_glossary(tmp_path, reviews):
    documents = [glossary_suggest.load_changes(path) for path in reviews]
    packaged = glossary_files.effective_entries([glossary_files.packaged_glossary()])
    pairs = [(s.wrong, s.right, s.count) for s in glossary_suggest.mine(documents, packaged, min_count=1)]
    assert pairs == [("方颤", "房颤", 3), ("心率", "心律", 3), ("返流", "反流", 1)]
    team = glossary_files.Entry("t", "微生物术语", "方颤→房颤", "方颤", "房颤")
    assert [s.wrong for s in glossary_suggest.mine(documents, [*packaged, team])] == ["心率"]


def test_bad_review_is_a_usage_error(tmp_path, capsys):
    (tmp_path / "x.json").write_text('{"format": "other"}', encoding="utf-8")
    assert glossary.main(["suggest", str(tmp_path / "x.json")]) == glossary.USAGE
    assert glossary.main(["suggest", str(tmp_path)]) == glossary.USAGE
    assert "不是 brivane 的审阅数据" in capsys.readouterr().err


def test_suggestions_from_runs_against_the_standin(batch_engine, service, workdir, tmp_path, capsys):
    from standin_service import behaviours

    batch_engine.config = {**batch_engine.config, "review_report": True}
    service.default = behaviours.echo({"方颤": "房颤", "心率": "心律", "返流": "反流"})
    (workdir / "input").mkdir(exist_ok=True)
    lectures = {"a.srt": ["患者出现方颤", "心率很快", "既往方颤病史", "测心率"],
                "b.srt": ["方颤复发", "主动脉瓣返流", "心率下降"]}
    for name, texts in lectures.items():
        (workdir / "input" / name).write_text("\n\n".join(
            f"{i}\n00:00:0{i},000 --> 00:00:0{i},900\n{text}" for i, text in enumerate(texts, 1)),
            encoding="utf-8")
    assert batch_engine.process_all_files() is True
    output = tmp_path / "learned.json"
    assert glossary.main(["suggest", str(workdir / "output"), "--output", str(output)]) == glossary.CLEAN
    assert json.loads(output.read_text(encoding="utf-8")) == {glossary_suggest.SUGGESTION_CATEGORY: ["方颤→房颤"]}
    out = capsys.readouterr().out
    assert ("    3  方颤→房颤\n"
            "       a.srt #1: 患者出现方颤 → 患者出现房颤\n"
            "       a.srt #3: 既往方颤病史 → 既往房颤病史\n"
            "       b.srt #1: 方颤复发 → 房颤复发\n") in out
    assert out.split("不安全，未写入 1 条:\n")[1].startswith("    3  心率→心律\n")
    assert "返流" not in out  # a one-off


def run_with(tmp_path, words, blocks, decide=None):
    """Suggestions (pair, count) from one output folder, with decisions
    stored the way the workbench stores them."""
    document = changes(a=blocks)
    (tmp_path / "out" / "review").mkdir(parents=True)
    (tmp_path / "out" / "review" / "changes.json").write_text(json.dumps(document), encoding="utf-8")
    if decide:
        store = Decisions(str(tmp_path / "out"))
        file = document["files"][0]
        for position, action, text in decide:
            store.set(file, position, action, text, "审阅人")
        store.close()
    documents = [glossary_suggest.load_changes(str(tmp_path / "out"))]
    return [(s.text, s.count) for s in glossary_suggest.mine(documents, [], min_count=1, words=words)]


FIXES = [block(1, "患者出现方颤", "患者出现房颤"), block(2, "方颤复发", "房颤复发"),
         block(3, "既往方颤病史", "既往房颤病史"), block(4, "测心率", "测心律")]


@pytest.mark.parametrize("decide, found", [
    (None, [("方颤→房颤", 3), ("心率→心律", 1)]),  # no decisions: every model edit
    # Only accepted (or merely reviewed) and edited blocks; an edit counts twice.
    ([(0, "accept", None), (1, "reject", None), (2, "reviewed", None), (3, "edit", "测心电")],
     [("方颤→房颤", 2), ("心率→心电", 2)]),
    ([(1, "edit", "房颤复发")], [("方颤→房颤", 2)]),
])
def test_decisions_decide_what_is_learned(tmp_path, words, decide, found):
    assert run_with(tmp_path, words, FIXES, decide) == found


def test_notes_rewrites_and_punctuation_are_no_terms(tmp_path, words):
    blocks = [block(1, "患者方颤。", "患者房颤，"),
              block(2, "方颤复发", "房颤复发（注：原文可能为方颤）"),
              block(3, "既往方颤", "既往房颤【修正：方颤】"),
              block(4, "嗯那个血压很高啊", "收缩压明显升高了")]  # 大幅改动
    blocks[1]["removed"] = ["（注：原文可能为方颤）"]
    assert run_with(tmp_path, words, blocks) == [("方颤→房颤", 3)]
    # Nor is one fix a conflict with itself: it is safe.
    (tmp_path / "out" / "review" / "changes.json").write_text(json.dumps(changes(a=blocks)), encoding="utf-8")
    safe, unsafe = glossary_suggest.suggest([glossary_suggest.load_changes(str(tmp_path / "out"))], [], min_count=3)
    assert [s.text for s in safe] == ["方颤→房颤"] and unsafe == []
