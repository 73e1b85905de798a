"""Export without a browser: every shape of cue the corrected file keeps
survives into the reviewed file, decisions land on their own cue, and bad
edits are refused with a reason."""
import json

import pytest
from test_lossless_reading import SHAPES, correct

from brivane import workbench
from brivane.changes import load_batch
from brivane.decisions import Decisions
from brivane.export import ReviewError, clean_edit, export


def batch(engine, service, workdir, content):
    engine.config = {**engine.config, "review_report": True}
    (workdir / "input").mkdir(exist_ok=True)
    corrected = correct(engine, workdir, content)
    output = str(workdir / "output")
    return output, corrected, load_batch(output)["files"][0]


@pytest.mark.parametrize("content", [shape[1] for shape in SHAPES], ids=[shape[0] for shape in SHAPES])
def test_reviewed_file_changes_only_the_decided_texts(pipeline_engine, service, workdir, content):
    output, corrected, file = batch(pipeline_engine, service, workdir, content)
    store = Decisions(output)
    edits = {}
    for position, block in enumerate(file["blocks"]):
        if position % 2 == 0:
            edits[block["final"]] = f"改写{position}\n第二行"
            store.set(file, position, "edit", edits[block["final"]], "r")
        else:
            store.set(file, position, "reject", None, "r")
    summary = export(output, store)
    store.close()
    assert summary["files"][0]["error"] is None
    reviewed = (workdir / "output" / "lecture_reviewed.srt").read_text(encoding="utf-8")
    for final, edit in edits.items():
        assert reviewed.count(f"\n{edit}\n") == 1
        reviewed = reviewed.replace(f"\n{edit}\n", f"\n{final}\n")
    # Rejected blocks were not edited by the echo: the rest is byte for byte.
    assert reviewed == corrected
    assert summary["totals"]["edited"] == len(edits)
    assert summary["totals"]["not_reviewed"] == 0


def test_export_counts_and_refuses_a_changed_file(pipeline_engine, service, workdir):
    output, corrected, file = batch(pipeline_engine, service, workdir,
                                    "1\n00:00:01,000 --> 00:00:02,000\n第一\n\n2\n00:00:03,000 --> 00:00:04,000\n第二\n")
    store = Decisions(output)
    store.set(file, 0, "accept", None, "r")
    store.close()
    assert workbench.main(["export", output]) == workbench.CLEAN
    summary = json.loads((workdir / "output" / "review" / "reviewed.json").read_text(encoding="utf-8"))
    assert summary["totals"] == {"accepted": 1, "rejected": 0, "edited": 0, "not_reviewed": 1, "stale": 0}
    (workdir / "output" / "lecture_corrected.srt").write_text(corrected.replace("第二", "别的"), encoding="utf-8")
    (workdir / "output" / "lecture_reviewed.srt").unlink()
    summary = export(output)
    assert "找不到第 2 块" in summary["files"][0]["error"]
    assert not (workdir / "output" / "lecture_reviewed.srt").exists()


@pytest.mark.parametrize("text, error", [
    ("  第一行  \r\n第二行\n\n", None),
    ("", "为空"), ("\n \n", "为空"),
    ("上\n\n下", "空行"),
    ("00:00:01,000 --> 00:00:02,000", "-->"),
    (None, "字符串"),
])
def test_edits_a_cue_cannot_hold_are_refused(text, error):
    if error is None:
        assert clean_edit(text) == "  第一行\n第二行"
    else:
        with pytest.raises(ReviewError, match=error):
            clean_edit(text)
