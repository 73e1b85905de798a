"""The sign-off report, ``brivane review export OUTPUT_DIR --report FILE``:
one row per block that changed or needs attention, with its risks, the
course's consistency flags and the reviewer's decision, as an Excel
workbook (.xlsx) or a CSV file Excel opens as it is (.csv).
"""
from __future__ import annotations

import csv
import io
import os
import unicodedata

from openpyxl import Workbook
from openpyxl.cell.cell import ILLEGAL_CHARACTERS_RE as ILLEGAL
from openpyxl.styles import Alignment, Font
from openpyxl.utils import get_column_letter

from brivane import _native
from brivane.changes import load_batch
from brivane.consistency import course_flags, flag_label
from brivane.decisions import Decisions
from brivane.export import ReviewError
from brivane.review import FLAGGED

HEADERS = ("文件", "序号", "开始", "结束", "发送文本", "写入文本", "风险", "决定", "审阅人", "决定时间")
TEXT_COLUMNS = {"发送文本", "写入文本", "风险"}
FORMATS = (".xlsx", ".csv")
DECISION_NAMES = {"accept": "接受", "reject": "拒绝", "edit": "编辑", None: "已审阅"}
NOT_REVIEWED = "未审阅"
# What Excel reads as the start of a formula in a CSV cell.
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def report_format(path):
    """The report's format from its name; anything else is refused."""
    ext = os.path.splitext(path)[1].lower()
    if ext not in FORMATS:
        raise ReviewError(f"审阅报告只能写成 .xlsx 或 .csv 文件: {path}")
    return ext


def _file_names(files):
    # The input's name, or its path where two inputs share a name.
    names = [os.path.basename(str(file.get("input")).replace("\\", "/")) for file in files]
    return [name if names.count(name) == 1 else str(file.get("input"))
            for name, file in zip(names, files)]


def report_rows(document, decisions):
    """The rows under HEADERS. `decisions`: {input: {position: record}}. The
    written text is the reviewer's edit where there is one, and the risks
    are those of that text against the text sent."""
    flags = course_flags(document, decisions)
    rows = []
    for file_no, (file, name) in enumerate(zip(document["files"], _file_names(document["files"]))):
        if not isinstance(file.get("blocks"), list):
            continue
        records = decisions.get(file.get("input")) or {}
        for position, block in enumerate(file["blocks"]):
            record = records.get(position)
            sent, written = block.get("sent") or "", block.get("final") or ""
            risks = block.get("risks") or []
            if record and record["decision"] == "edit":
                written, risks = record["text"], _native.medical_risks(sent, record["text"])
            labels = [risk["label"] for risk in risks]
            labels += [flag_label(flag) for flag in flags.get((file_no, position), ())]
            if not (labels or written != sent or block.get("final") != sent
                    or not FLAGGED.isdisjoint(block.get("flags") or ())):
                continue
            rows.append([
                name, block.get("index"), block.get("start"), block.get("end"), sent, written,
                "; ".join(labels),
                NOT_REVIEWED if record is None else DECISION_NAMES[record["decision"]],
                record["reviewer"] if record else "", record["at"] if record else ""])
    return rows


def decisions_of(store, document):
    """{input: {position: record}} of the decisions still made on this text."""
    return {file.get("input"): store.for_file(file)[0] for file in document["files"]
            if isinstance(file.get("blocks"), list)}


def _visible(text):
    # Characters XML cannot hold (a cue may: reading is lossless), shown by code.
    return ILLEGAL.sub(lambda m: f"[U+{ord(m.group()):04X}]", text)


def _width(text):
    return max((sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in line)
                for line in str(text).split("\n")), default=0)


def xlsx_content(rows):
    book = Workbook()
    sheet = book.active
    sheet.title = "审阅报告"
    sheet.append(HEADERS)
    wrap = Alignment(wrap_text=True, vertical="top")
    wrapped = {k for k, header in enumerate(HEADERS) if header in TEXT_COLUMNS}
    widths = [_width(header) for header in HEADERS]
    for number, row in enumerate(rows, 2):
        for k, value in enumerate(row):
            value = int(value) if k == 1 and str(value).isdigit() else _visible(str(value or ""))
            cell = sheet.cell(row=number, column=k + 1, value=value)
            if cell.data_type == "f":  # a text that starts with "=" stays text
                cell.data_type = "s"
            if k in wrapped:
                cell.alignment = wrap
            widths[k] = max(widths[k], _width(value))
    bold = Font(bold=True)
    for cell in sheet[1]:
        cell.font = bold
    for k, header in enumerate(HEADERS):
        # Text columns wrap at a readable width; the others fit their values.
        limit = 50 if header in TEXT_COLUMNS else 40
        sheet.column_dimensions[get_column_letter(k + 1)].width = min(widths[k], limit) + 2
    sheet.freeze_panes = "A2"
    sheet.auto_filter.ref = f"A1:{get_column_letter(len(HEADERS))}{len(rows) + 1}"
    out = io.BytesIO()
    book.save(out)
    return out.getvalue()


def csv_content(rows):
    """UTF-8 with a byte-order mark, which is how Excel knows it is UTF-8. A
    text Excel would read as a formula (= + - @ first) gets a ' in front."""
    out = io.StringIO()
    writer = csv.writer(out)
    writer.writerow(HEADERS)
    for row in rows:
        cells = [str(value or "") for value in row]
        writer.writerow(["'" + cell if cell[:1] in FORMULA_STARTS else cell for cell in cells])
    return ("\ufeff" + out.getvalue()).encode("utf-8")


def write_report(output_dir, path, document=None, store=None):
    """Writes the report of the batch in `output_dir` to `path` (its format
    from its extension) at once or not at all; returns the rows written."""
    ext = report_format(path)
    document = document or load_batch(output_dir)
    own = store is None
    store = store or Decisions(output_dir)
    try:
        rows = report_rows(document, decisions_of(store, document))
    finally:
        if own:
            store.close()
    _native.replace_file(path, xlsx_content(rows) if ext == ".xlsx" else csv_content(rows))
    return len(rows)
