"""``brivane review export OUTPUT_DIR``'s work: ``<name>_reviewed.srt`` per
corrected file, with each block's text as the reviewer decided it, and the
summary ``review/reviewed.json``.
"""
from __future__ import annotations

import json
import os

from brivane import _native
from brivane.changes import load_batch
from brivane.decisions import Decisions, timestamp

SUMMARY = "reviewed.json"


class ReviewError(ValueError):
    """A batch, decision or file the workbench cannot use; the message says which."""


def clean_edit(text):
    """The reviewer's text as a cue can hold it: lines without trailing
    blanks, no blank line (it would split the cue), no timing arrow."""
    if not isinstance(text, str):
        raise ReviewError("编辑的文本必须是字符串")
    lines = [line.rstrip() for line in text.replace("\r\n", "\n").replace("\r", "\n").split("\n")]
    while lines and not lines[0]:
        lines.pop(0)
    while lines and not lines[-1]:
        lines.pop()
    if not lines:
        raise ReviewError("编辑的文本为空；要使用原文请选“拒绝”")
    if "" in lines:
        raise ReviewError("编辑的文本不能有空行：空行会把字幕块拆开")
    if any("-->" in line for line in lines):
        raise ReviewError("编辑的文本不能含有 -->：播放器会把它当作时间轴")
    return "\n".join(lines)


def decided_text(block, record):
    if record is None or record["decision"] in (None, "accept"):
        return block["final"]
    return block["sent"] if record["decision"] == "reject" else record["text"]


def matched_cues(content, blocks, name):
    """The corrected file's parts, read with the engine's own reading rules,
    and its cue part for each block, checked against the report."""
    parts = _native.srt_parts(content)
    cues = [part for part in parts if part["is_cue"] and part["text"]]
    for k, block in enumerate(blocks):
        cue = cues[k] if k < len(cues) else None
        stamps = (block["start"], block["end"])
        # Reports of earlier versions hold some short stamps as written.
        if cue is None or cue["text"] != block["final"] or stamps not in (
                (_native.sendable_stamp(cue["start_time"]), _native.sendable_stamp(cue["end_time"])),
                (cue["start_time"], cue["end_time"])):
            raise ReviewError(f"{name}: 找不到第 {block['index']} 块（{block['start']}）；"
                              "校正文件在审阅报告之后被改动过？")
    return parts, cues[:len(blocks)]


def reviewed_content(content, blocks, texts, name):
    """The corrected file's content with each block's text replaced by the
    decided one: every other part of the file stays as written."""
    parts, cues = matched_cues(content, blocks, name)
    for cue, text in zip(cues, texts):
        cue["text"] = text
    return _native.render_srt_parts(parts)


def gold_contents(cues, blocks, records):
    """The decided blocks alone, as (source, reference) SRT contents: the
    text sent and the text decided, each under its index and timing lines
    as written; None when no block is decided."""
    decided = [k for k in range(len(blocks)) if records.get(k) is not None]
    if not decided:
        return None
    source = [{**cues[k], "text": blocks[k]["sent"]} for k in decided]
    reference = [{**cues[k], "text": decided_text(blocks[k], records[k])} for k in decided]
    return _native.render_srt_parts(source), _native.render_srt_parts(reference)


def write_gold(gold, input_name, contents):
    """`<gold>/source/<name>` and `<gold>/reference/<name>`, under the input's name."""
    for folder, content in zip(("source", "reference"), contents):
        os.makedirs(os.path.join(gold, folder), exist_ok=True)
        _native.replace_file(os.path.join(gold, folder, input_name), content)


def corrected_path(output_dir, file):
    # Where the corrected file is now: the batch's output folder may have moved.
    written = file.get("output")
    if not written:
        return None
    here = os.path.join(output_dir, os.path.basename(written))
    return here if os.path.exists(here) else written


def reviewed_path(corrected):
    stem, ext = os.path.splitext(corrected)
    stem = stem[:-len("_corrected")] if stem.endswith("_corrected") else stem
    return f"{stem}_reviewed{ext}"


def export(output_dir, store=None, document=None, now=None, gold=None):
    """Writes `<name>_reviewed.srt` per corrected file and the summary
    `review/reviewed.json`; returns the summary. With `gold`, a folder, also
    the decided blocks of each file as a benchmark: the text sent in
    `<gold>/source/` and the decided text in `<gold>/reference/`."""
    document = document or load_batch(output_dir)
    own = store is None
    store = store or Decisions(output_dir)
    files, totals = [], dict.fromkeys(("accepted", "rejected", "edited", "not_reviewed", "stale"), 0)
    gold_totals = {"folder": gold, "files": 0, "blocks": 0}
    try:
        for file in document["files"]:
            entry = {"input": file["input"], "reviewed": None, "error": None}
            blocks = file.get("blocks") or []
            records, stale = store.for_file(file)
            counts = {"accepted": 0, "rejected": 0, "edited": 0, "not_reviewed": 0, "stale": stale}
            for position in range(len(blocks)):
                record = records.get(position)
                if record is None:
                    counts["not_reviewed"] += 1
                else:
                    counts[{"reject": "rejected", "edit": "edited"}.get(record["decision"], "accepted")] += 1
            entry.update(counts)
            source = corrected_path(output_dir, file) if file.get("status") == "corrected" else None
            if source is None:
                entry["error"] = "没有校正文件（该文件处理失败）"
            else:
                try:
                    with open(source, encoding="utf-8", newline="") as stream:
                        content = stream.read()
                    texts = [decided_text(block, records.get(k)) for k, block in enumerate(blocks)]
                    result = reviewed_content(content, blocks, texts, os.path.basename(source))
                    target = reviewed_path(source)
                    _native.replace_file(target, result)
                    entry["reviewed"] = target
                    golden = gold and gold_contents(
                        matched_cues(content, blocks, os.path.basename(source))[1], blocks, records)
                    if golden:
                        write_gold(gold, os.path.basename(file["input"].replace("\\", "/")), golden)
                        gold_totals["files"] += 1
                        gold_totals["blocks"] += len(records)
                except (OSError, UnicodeError, ReviewError) as error:
                    entry["error"] = str(error)
            for key in totals:
                totals[key] += counts[key]
            files.append(entry)
    finally:
        if own:
            store.close()
    summary = {"format": "brivane-reviewed", "version": 1, "exported": now or timestamp(),
               "totals": totals, "files": files}
    if gold:
        summary["gold"] = gold_totals
    _native.replace_file(os.path.join(output_dir, "review", SUMMARY),
                         json.dumps(summary, ensure_ascii=False, indent=1) + "\n")
    return summary


def summary_message(summary):
    t = summary["totals"]
    written = sum(1 for f in summary["files"] if f["reviewed"])
    failed = sum(1 for f in summary["files"] if f["error"])
    text = (f"已导出 {written} 个文件: 接受 {t['accepted']}，拒绝 {t['rejected']}，"
            f"编辑 {t['edited']}，未审阅 {t['not_reviewed']}")
    if t["stale"]:
        text += f"，{t['stale']} 个决定已过期（文本已变）"
    text += f"；{failed} 个文件未导出" if failed else ""
    if "gold" in summary:
        gold = summary["gold"]
        text += f"；基准集: {gold['files']} 个文件，{gold['blocks']} 个已决定的字幕块 → {gold['folder']}"
    return text
