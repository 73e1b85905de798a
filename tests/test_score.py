"""`brivane score`: figures on small pairs checked by hand, pairing by
lecture name, the gold set a review exports, and the shipped benchmark
run end to end against the stand-in."""
import json
import os
import subprocess
import sys

import pytest
from conftest import REPO
from standin_service import behaviours

from brivane import score
from brivane.changes import load_batch
from brivane.decisions import Decisions
from brivane.export import export


def srt(cues):
    """SRT text of (second, text) cues."""
    return "".join(f"{k}\n00:00:{s:02d},000 --> 00:00:{s:02d},900\n{text}\n\n"
                   for k, (s, text) in enumerate(cues, 1))


def write(path, cues):
    path.write_text(srt(cues), encoding="utf-8")
    return str(path)


TERMS = {"氯吡格雷", "阿托伐他汀", "二尖瓣"}


# (reference, hypothesis, source or None, punctuation, expected totals)
CASES = {
    "identical": ([(1, "心肌梗死")], [(1, "心肌梗死")], None, True,
                  {"cues": 1, "chars": 4, "edits": 0, "cer": 0.0, "unpaired": 0}),
    "one substitution": ([(1, "心肌梗死")], [(1, "心肌梗塞")], None, True,
                         {"chars": 4, "edits": 1, "cer": 0.25}),
    "an insertion and a deletion": ([(1, "血钾水平正常")], [(1, "血钾的水平常")], None, True,
                                    {"chars": 6, "edits": 2}),
    "white space never, punctuation counted": ([(1, "阿司匹林，每天一次。")], [(1, "阿司 匹林每天\n一次")],
                                               None, True, {"chars": 10, "edits": 2}),
    "punctuation left out": ([(1, "阿司匹林，每天一次。")], [(1, "阿司 匹林每天\n一次")], None, False,
                             {"chars": 8, "edits": 0}),
    "an unpaired cue on each side": ([(1, "甲乙"), (2, "丙丁")], [(1, "甲乙"), (3, "丙丁")], None, True,
                                     {"cues": 1, "chars": 2, "edits": 0, "unpaired": 2}),
    "a false correction": ([(1, "二尖瓣")], [(1, "二尖辨")], [(1, "二尖瓣")], True,
                           {"edits": 1, "source_edits": 0, "fixed": 0, "missed": 0, "false_corrections": 1,
                            "reduction": None, "term_errors": 1, "source_term_errors": 0}),
    "a fixed and a missed character, an extra one kept": (
        [(1, "血氨升高，血钾降低了")], [(1, "血氨升高，血痂降低了了")], [(1, "血案升高，血痂降低了了")], True,
        {"chars": 10, "source_edits": 3, "edits": 2, "fixed": 1, "missed": 2, "false_corrections": 0,
         "reduction": pytest.approx(1 / 3)}),
    "a term hit and a term miss": (
        [(1, "氯吡格雷和阿托伐他汀"), (2, "二尖瓣")], [(1, "用氯吡格雷和阿托发他汀"), (2, "二尖，瓣")], None, True,
        {"terms": 3, "term_errors": 2, "term_error_rate": pytest.approx(2 / 3), "edits": 3}),
}


@pytest.mark.parametrize("reference, hypothesis, source, punctuation, expected", CASES.values(), ids=CASES)
def test_figures_of_small_pairs(tmp_path, reference, hypothesis, source, punctuation, expected):
    paths = [write(tmp_path / f"{role}.srt", cues) if cues else None
             for role, cues in (("ref", reference), ("hyp", hypothesis), ("src", source))]
    document = score.score(*paths, terms=TERMS, punctuation=punctuation)
    total = document["total"]
    assert {key: total[key] for key in expected} == expected
    assert document["files"][0]["cues"] == total["cues"]
    assert len(document["unpaired"]) == total["unpaired"]
    if source:  # every error of the source is fixed or missed; the hypothesis's are missed or new
        assert total["fixed"] + total["missed"] == total["source_edits"]
        assert total["missed"] + total["false_corrections"] == total["edits"]


def test_folders_pair_by_lecture_name_and_the_outputs_agree(tmp_path, capsys):
    (tmp_path / "ref").mkdir()
    (tmp_path / "out").mkdir()
    write(tmp_path / "ref" / "a.srt", [(1, "心肌梗死"), (2, "肌钙蛋白升高")])
    write(tmp_path / "ref" / "b.srt", [(1, "只有参考")])
    # The output folder after review holds both; the hypothesis is the corrected one.
    write(tmp_path / "out" / "a_corrected.srt", [(1, "心肌梗塞"), (2, "肌钙蛋白升高")])
    write(tmp_path / "out" / "a_reviewed.srt", [(1, "心肌梗死"), (2, "肌钙蛋白升高")])
    write(tmp_path / "out" / "c_corrected.srt", [(1, "只有校正"), (2, "两块")])
    out_json, out_html = tmp_path / "score.json", tmp_path / "score.html"
    assert score.main([str(tmp_path / "ref"), str(tmp_path / "out"), "--json", str(out_json),
                       "--html", str(out_html)]) == score.CLEAN
    document = json.loads(out_json.read_text(encoding="utf-8"))
    assert [(f["file"], os.path.basename(f["hypothesis"]), f["edits"]) for f in document["files"]] == [
        ("a", "a_corrected.srt", 1)]
    assert [(f["file"], f["missing"], f["cues"]) for f in document["unpaired_files"]] == [
        ("b", ["hypothesis"], 1), ("c", ["reference"], 2)]
    assert document["total"]["unpaired"] == 3
    shown = capsys.readouterr().out
    assert "未配对的文件: b" in shown and shown.count("\n合计") == 1
    page = out_html.read_text(encoding="utf-8")
    assert "心肌梗<del>塞</del>" in page and "心肌梗<ins>死</ins>" in page
    assert "http" not in page.replace('http-equiv', '')


def test_gold_set_from_decisions_scores_the_batch(pipeline_engine, service, workdir):
    service.default = behaviours.echo({"错字": "正字"})
    pipeline_engine.config = {**pipeline_engine.config, "review_report": True}
    sent = ["第一句错字", "第二句错字", "第三句", "第四句错字", "第五句"]
    write(workdir / "input" / "lecture.srt", list(zip(range(1, 6), sent)))
    assert pipeline_engine.process_subtitle_file(str(workdir / "input" / "lecture.srt")) is True
    output = str(workdir / "output")
    file = load_batch(output)["files"][0]
    store = Decisions(output)
    for position, action, text in ((0, "accept", None), (1, "edit", "第二句改字"), (2, "reviewed", None),
                                   (3, "reject", None)):  # block 5 stays undecided
        store.set(file, position, action, text, "r")
    export(output, store, gold=str(workdir / "gold"))
    store.close()
    gold = workdir / "gold"
    for folder, texts in (("source", sent[:4]), ("reference", ["第一句正字", "第二句改字", "第三句", "第四句错字"])):
        cues = score.read_cues(gold / folder / "lecture.srt")
        assert [(c[2], c[3]) for c in cues] == [(str(k), t) for k, t in enumerate(texts, 1)]
    total = score.score(str(gold / "reference"), output, str(gold / "source"))["total"]
    # Block 1 fixed, block 2 missed (the reviewer wrote otherwise), block 4 made wrong;
    # the undecided block has no reference; of the three decided model edits two were kept.
    assert {k: total[k] for k in ("cues", "fixed", "missed", "false_corrections", "unpaired",
                                  "decided", "accepted", "edited", "rejected")} == {
        "cues": 4, "fixed": 1, "missed": 1, "false_corrections": 1, "unpaired": 1,
        "decided": 3, "accepted": 1, "edited": 1, "rejected": 1}
    assert total["acceptance"] == pytest.approx(2 / 3)


def test_benchmark_against_the_standin(package_root, tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "DEEPSEEK_API_KEY"}
    env["PYTHONPATH"] = os.pathsep.join([str(package_root), str(REPO / "tools")])
    result = subprocess.run([sys.executable, str(REPO / "bench" / "bench_quality.py"), "--json", "run.json",
                             "--append", "runs.jsonl"], cwd=tmp_path, env=env, capture_output=True,
                            text=True, encoding="utf-8", timeout=300)
    assert result.returncode == 0, result.stderr
    run = json.loads((tmp_path / "run.json").read_text(encoding="utf-8"))
    assert json.loads((tmp_path / "runs.jsonl").read_text(encoding="utf-8"))["total"] == run["total"]
    assert run["service"] == "stand-in (echo)" and run["model"] in result.stdout
    assert run["prompt_sha256"][:16] in result.stdout and f"glossary {run['glossary_entries']} entries" in result.stdout
    # The shipped data, read here on its own: its errors are the source's edits.
    pairs = []
    for reference in sorted((REPO / "bench" / "quality" / "reference").glob("*.srt")):
        source = REPO / "bench" / "quality" / "source" / reference.name
        pairs += [("".join(r[3].split()), "".join(s[3].split()))
                  for r, s in zip(score.read_cues(reference), score.read_cues(source), strict=True)]
    assert len(pairs) >= 300 and sum(r == s for r, s in pairs) >= len(pairs) / 3
    total = run["total"]
    assert total["cues"] == len(pairs) and total["unpaired"] == 0
    assert total["source_edits"] == sum(score.Levenshtein.distance(s, r) for r, s in pairs)
    assert total["fixed"] + total["missed"] == total["source_edits"]
    assert total["missed"] + total["false_corrections"] == total["edits"]
    assert total["fixed"] > 0  # the glossary corrects the errors it knows
