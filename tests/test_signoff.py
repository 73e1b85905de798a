"""The sign-off report of ``review export --report``, read back as Excel
would read it: one row per changed or flagged block, with its risks, the
course's consistency flags and the decision."""
import csv
import io

import openpyxl
import pytest
from standin_service import behaviours

from brivane import workbench
from brivane.decisions import Decisions
from brivane.glossary_suggest import load_changes
from brivane.signoff import HEADERS

LECTURE = ["每次口服5 mg", "患者出现方颤", "既往方颤病史", "=左肺可见结节", "今天讲到这里", "方颤复发"]
AT = "2026-01-02 09:00:00"


def read_xlsx(path):
    sheet = openpyxl.load_workbook(path).active
    assert sheet.freeze_panes == "A2" and sheet.auto_filter.ref == f"A1:J{sheet.max_row}"
    assert all(cell.font.bold for cell in sheet[1])
    widths = {header: sheet.column_dimensions[chr(ord("A") + k)].width for k, header in enumerate(HEADERS)}
    assert widths["写入文本"] > widths["开始"] > widths["序号"]
    assert sheet["F2"].alignment.wrap_text and not sheet["C2"].alignment.wrap_text
    assert not [cell for row in sheet.iter_rows() for cell in row if cell.data_type == "f"]  # text stays text
    return [["" if value is None else str(value) for value in row] for row in sheet.iter_rows(values_only=True)]


def read_csv(path):
    raw = path.read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf")  # what tells Excel it is UTF-8
    return list(csv.reader(io.StringIO(raw.decode("utf-8-sig"), newline="")))


@pytest.mark.parametrize("name, read, quote", [
    ("签字.xlsx", read_xlsx, ""),
    ("签字.csv", read_csv, "'"),  # else Excel would take "=..." for a formula
])
def test_report_rows_risks_flags_and_decisions(pipeline_engine, service, workdir, capsys, name, read, quote):
    pipeline_engine.config = {**pipeline_engine.config, "review_report": True}
    service.default = behaviours.echo({"5 mg": "50 mg", "方颤": "房颤"})
    (workdir / "input").mkdir(exist_ok=True)
    (workdir / "input" / "lecture.srt").write_text("\n\n".join(
        f"{i}\n00:00:0{i},000 --> 00:00:0{i},500\n{text}" for i, text in enumerate(LECTURE, 1)) + "\n",
        encoding="utf-8")
    assert pipeline_engine.process_all_files() is True
    output = str(workdir / "output")
    file = load_changes(output)["files"][0]
    store = Decisions(output)
    store.set(file, 0, "accept", None, "王医生", now=AT)
    store.set(file, 3, "edit", "=右肺可见结节", "王医生", now=AT)
    store.set(file, 5, "reject", None, "李医生", now=AT)
    store.close()

    report = workdir / name
    assert workbench.main(["export", output, "--report", str(report)]) == workbench.CLEAN
    assert f"审阅报告: 5 行 → {report}" in capsys.readouterr().out
    assert (workdir / "output" / "lecture_reviewed.srt").exists()  # the export itself still runs
    assert read(report) == [
        list(HEADERS),
        ["lecture.srt", "1", "00:00:01,000", "00:00:01,500", "每次口服5 mg", "每次口服50 mg",
         "数值改动 5 mg → 50 mg", "接受", "王医生", AT],
        ["lecture.srt", "2", "00:00:02,000", "00:00:02,500", "患者出现方颤", "患者出现房颤", "", "未审阅", "", ""],
        ["lecture.srt", "3", "00:00:03,000", "00:00:03,500", "既往方颤病史", "既往房颤病史", "", "未审阅", "", ""],
        # The reviewer's own edit is checked against the text sent.
        ["lecture.srt", "4", "00:00:04,000", "00:00:04,500", f"{quote}=左肺可见结节", f"{quote}=右肺可见结节",
         "左右改动 左肺 → 右肺", "编辑", "王医生", AT],
        # Rejected, the block keeps the span the course fixed elsewhere.
        ["lecture.srt", "6", "00:00:06,000", "00:00:06,500", "方颤复发", "房颤复发",
         "可能漏改 方颤，别处改为 房颤 (2 块)", "拒绝", "李医生", AT],
    ]


@pytest.mark.parametrize("report, error", [
    ("report.txt", "只能写成 .xlsx 或 .csv"),
    ("missing/report.xlsx", "文件夹不存在"),
])
def test_report_name_is_checked_before_anything_is_written(tmp_path, capsys, report, error):
    with pytest.raises(SystemExit) as stopped:
        workbench.main(["export", str(tmp_path), "--report", str(tmp_path / report)])
    assert stopped.value.code == workbench.USAGE
    assert error in capsys.readouterr().err
