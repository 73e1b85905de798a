"""Windowed correction of one file, end to end against the stand-in."""
import pathlib
import re
import time

import pytest
from conftest import make_srt

from standin_service import behaviours as b

GOLDEN = pathlib.Path(__file__).parent / "golden"


def write_lecture(workdir, count, name="lecture.srt", **kwargs):
    path = workdir / "input" / name
    path.write_text(make_srt(count, **kwargs), encoding="utf-8")
    return str(path)


def comparison_logs(directory):
    return sorted(directory.glob("subtitle_comparison_*.log")) if directory.exists() else []


def test_three_windows(pipeline_engine, service, workdir, records, comparison_dir):
    path = write_lecture(workdir, 120)
    assert pipeline_engine.process_subtitle_file(path) is True
    logged = [m for _, m in records("INFO")]
    assert "总窗口数: 3, 处理窗口范围: 1 到 3" in logged
    progress = [m for m in logged if m.startswith("字幕校正进度")]
    assert progress == ["字幕校正进度: 33.33% (窗口 1/3)", "字幕校正进度: 66.67% (窗口 2/3)",
                        "字幕校正进度: 100.00% (窗口 3/3)"]
    assert [len(r.user_text.strip().split("\n\n")) for r in service.requests] == [50, 50, 20]
    assert service.requests[0].user_text == make_srt(50) + "\n"
    output = workdir / "output" / "lecture_corrected.srt"
    assert output.read_text(encoding="utf-8") == make_srt(120).replace("血案", "血氨") + "\n"
    [log] = comparison_logs(comparison_dir)
    assert logged[-2:] == [f"字幕文件处理成功: {path} -> {output}", f"详细对比日志已保存到: {log}"]
    assert "处理窗口 3 [块索引 101 到 120]" in log.read_text(encoding="utf-8")


@pytest.mark.parametrize("review, held_open", [(False, False), (True, False), (False, True)])
def test_merge_and_comparison_log_golden(pipeline_engine, service, workdir, records, comparison_dir,
                                         review, held_open):
    # The review report is a view of the same run, and a log held open gets
    # the same text: nothing else changes with either.
    config = pipeline_engine.config
    pipeline_engine.config = {**config, "review_report": review,
                              "logging": {**config["logging"], "keep_comparison_log_open": held_open}}
    path = write_lecture(workdir, 5)
    (workdir / "input" / "lecture.srt").write_text(
        make_srt(4) + "\n5\n00:00:10,000 --> 00:00:11,000\n第一行\n  第二行\n", encoding="utf-8")
    service.script(
        b.combine(b.echo(), b.drop_blocks([2]), b.extra_block(999),
                  b.duplicate_block(3, "复述的第三块"), b.change_timestamp(1, "00:00:01,100 --> 00:00:02,200")),
        b.combine(b.echo(), b.inline_note(5, "（注：原文为血案）")),
    )
    assert pipeline_engine.process_subtitle_file(path, custom_window_size=3) is True
    assert records("WARNING")[-2:] == [
        ("WARNING", "API修改了字幕块 #1 的时间轴 (00:00:01,100 --> 00:00:02,200)，已保留原始时间轴"),
        ("WARNING", "API返回结果中缺少以下字幕块，已使用原始内容: ['2']")]
    written = (workdir / "output" / "lecture_corrected.srt").read_text(encoding="utf-8")
    assert "999" not in written and "复述的第三块" in written
    assert written.startswith("1\n00:00:02,000 --> 00:00:03,500\n血氨升高1，需要治疗\n\n2\n00:00:04,000")
    [log] = comparison_logs(comparison_dir)
    text = re.sub(r"处理时间: .*", "处理时间: <now>", log.read_text(encoding="utf-8"))
    text = text.replace(path, "<input>")
    expected = (GOLDEN / "comparison_merge.log").read_text(encoding="utf-8")
    assert text == expected
    assert (workdir / "output" / "review" / "changes.json").exists() is review


@pytest.mark.parametrize("size", [0, -5, 2.5, 50.0, "50", None])
def test_window_size_refused(pipeline_engine, service, workdir, records, comparison_dir, size):
    path = write_lecture(workdir, 3)
    pipeline_engine.window_size = size
    assert pipeline_engine.process_subtitle_file(path) is False
    assert records("ERROR") == [("ERROR", f"窗口大小必须是正整数，当前值: {size}")]
    assert service.requests == [] and comparison_logs(comparison_dir) == []
    assert not (workdir / "output" / "lecture_corrected.srt").exists()


@pytest.mark.parametrize("size, windows", [(True, 3), (10**30, 1), (2, 2)])
def test_window_size_accepted_as_python_would(pipeline_engine, service, workdir, records, size, windows):
    path = write_lecture(workdir, 3)
    assert pipeline_engine.process_subtitle_file(path, custom_window_size=size) is True
    assert ("INFO", f"使用窗口大小: {size}") in records()
    assert len(service.requests) == windows


@pytest.mark.parametrize(
    "start, end, header, requested, progress",
    [
        (2, 2, "处理窗口范围: 2 到 2", [2], ["100.00% (窗口 2/2)"]),
        (2, None, "处理窗口范围: 2 到 最后", [2, 3], ["50.00% (窗口 2/3)", "100.00% (窗口 3/3)"]),
        (None, 1, "处理窗口范围: 1 到 1", [1], ["100.00% (窗口 1/1)"]),
        (9, None, "处理窗口范围: 9 到 最后", [], []),
        (None, 0, "处理窗口范围: 1 到 0", [], []),
    ],
)
def test_range_mode(pipeline_engine, service, workdir, records, comparison_dir,
                    start, end, header, requested, progress):
    path = write_lecture(workdir, 7)
    assert pipeline_engine.process_subtitle_file(path, 3, start, end) is True
    sent = [int(r.user_text.split("\n", 1)[0]) // 3 + 1 for r in service.requests]
    assert sent == requested
    skipped = [m for _, m in records("INFO") if m.startswith("跳过窗口")]
    assert skipped == [f"跳过窗口 {w} (不在处理范围内)" for w in (1, 2, 3) if w not in requested]
    assert [m.split(": ", 1)[1] for _, m in records("INFO") if m.startswith("字幕校正进度")] == progress
    written = (workdir / "output" / "lecture_corrected.srt").read_text(encoding="utf-8")
    expected = [make_srt(3, start=1 + 3 * (w - 1)) if w < 3 else make_srt(1, start=7) for w in (1, 2, 3)]
    expected = [t.replace("血案", "血氨") if w in requested else t for w, t in zip((1, 2, 3), expected)]
    assert written == "".join(t + "\n" for t in expected)
    [log] = comparison_logs(comparison_dir)
    assert header + "\n" in log.read_text(encoding="utf-8")


def test_failure_in_window_three_of_five(pipeline_engine, service, workdir, records, comparison_dir,
                                         pauses):
    path = write_lecture(workdir, 10)
    service.script(b.echo(), b.echo())
    service.default = b.http_error(502)
    with pytest.raises(RuntimeError) as caught:
        pipeline_engine.process_subtitle_file(path, custom_window_size=2)
    final = "API在 5 次尝试后仍然失败: API多次调用失败: HTTP 502"
    assert str(caught.value) == f"API调用失败，程序终止执行！错误信息: {final}"
    assert type(caught.value.__cause__) is Exception and str(caught.value.__cause__) == final
    assert records()[-2:] == [("ERROR", f"API调用失败: {final}"), ("CRITICAL", str(caught.value))]
    assert len(service.requests) == 2 + 5 and len(pauses) == 4
    assert not (workdir / "output" / "lecture_corrected.srt").exists()
    log = comparison_logs(comparison_dir)[0].read_text(encoding="utf-8")
    assert log.endswith(
        "处理窗口 3 [块索引 5 到 6]\n" + "-" * 80 + "\n\nAPI调用错误:\n" + "-" * 40 + "\n"
        f"错误信息: {final}\n错误类型: Exception\n" + "-" * 40 + "\n\n"
        + "=" * 80 + "\n程序因API调用失败而终止执行！\n" + "=" * 80 + "\n\n")


def test_empty_file(pipeline_engine, service, workdir, records):
    path = workdir / "input" / "empty.srt"
    path.write_text(" \n\n", encoding="utf-8")
    assert pipeline_engine.process_subtitle_file(str(path)) is True
    assert ("INFO", "总窗口数: 0, 处理窗口范围: 1 到 0") in records()
    assert service.requests == []
    assert (workdir / "output" / "empty_corrected.srt").read_text() == ""


@pytest.mark.parametrize("problem", ["missing", "not-utf8", "no-output-dir"])
def test_file_failures_answer_false(pipeline_engine, service, workdir, records, problem):
    path = write_lecture(workdir, 2)
    if problem == "missing":
        path = str(workdir / "input" / "absent.srt")
    elif problem == "not-utf8":
        pathlib.Path(path).write_bytes(b"1\n00:00:01,000 --> 00:00:02,000\n\xff\n")
    else:
        pipeline_engine.output_dir = str(workdir / "gone")
    assert pipeline_engine.process_subtitle_file(path) is False
    errors = [m for _, m in records("ERROR")]
    expected_last = {"missing": "字幕文件处理失败: [Errno 2]", "not-utf8": "字幕文件处理失败: 'utf-8'",
                     "no-output-dir": "保存字幕文件失败: [Errno 2]"}[problem]
    assert errors[-1].startswith(expected_last)
    assert not any(m.startswith("字幕文件处理成功") for _, m in records())


@pytest.mark.parametrize("subtitle_logs, detailed", [(False, True), (True, False)])
def test_comparison_log_switches(pipeline_engine, service, workdir, records, comparison_dir,
                                 subtitle_logs, detailed):
    pipeline_engine.config = {**pipeline_engine.config, "logging": {
        "enable_subtitle_logs": subtitle_logs, "enable_detailed_logs": detailed,
        "log_dir": str(comparison_dir)}}
    path = write_lecture(workdir, 2)
    assert pipeline_engine.process_subtitle_file(path) is True
    if not subtitle_logs:
        assert ("INFO", "日志记录已禁用") in records() and not comparison_dir.exists()
        return
    assert ("INFO", "详细API响应记录: 已禁用") in records()
    text = comparison_logs(comparison_dir)[0].read_text(encoding="utf-8")
    assert "API响应原始内容" not in text
    assert "处理窗口 1 [块索引 1 到 2]\n" + "-" * 80 + "\n\n字幕块 #1 - 使用API返回内容\n" in text


def test_relative_log_dir_lies_under_the_module(engine, service, brivane_module, workdir, pauses):
    import os

    engine.api_url = service.url
    engine.config = {**engine.config, "logging": {"log_dir": "comparison-test-logs"}}
    path = write_lecture(workdir, 1)
    assert engine.process_subtitle_file(path)
    directory = pathlib.Path(os.path.dirname(os.path.abspath(brivane_module.__file__))) / "comparison-test-logs"
    try:
        assert len(comparison_logs(directory)) == 1
    finally:
        for log in comparison_logs(directory):
            log.unlink()
        directory.rmdir()


def test_replaced_methods_are_honoured(pipeline_engine, service, workdir):
    sent = []

    def fake_client(text):
        sent.append(text)
        return text.replace("血案", "血痕"), []

    pipeline_engine.call_deepseek_api_with_subtitle_prompt = fake_client
    path = write_lecture(workdir, 2)
    assert pipeline_engine.process_subtitle_file(path) is True
    assert len(sent) == 1 and service.requests == []
    assert "血痕" in (workdir / "output" / "lecture_corrected.srt").read_text(encoding="utf-8")


def test_same_second_keeps_every_comparison_log(pipeline_engine, service, workdir, comparison_dir,
                                                brivane_module, monkeypatch):
    import datetime as real

    class Frozen(real.datetime):
        @classmethod
        def now(cls, tz=None):
            return cls(2026, 1, 2, 3, 4, 5)

    monkeypatch.setattr(brivane_module, "datetime", Frozen)
    first = write_lecture(workdir, 1, name="a.srt")
    second = write_lecture(workdir, 1, name="b.srt")
    assert pipeline_engine.process_subtitle_file(first) and pipeline_engine.process_subtitle_file(second)
    logs = comparison_logs(comparison_dir)
    assert [p.name for p in logs] == ["subtitle_comparison_20260102_030405.log",
                                      "subtitle_comparison_20260102_030405_2.log"]
    assert [p.read_text(encoding="utf-8").split("\n", 1)[0] for p in logs] == [
        f"字幕文件: {first}", f"字幕文件: {second}"]
    assert "处理时间: 2026-01-02 03:04:05\n" in logs[0].read_text(encoding="utf-8")
    # Another process claims the next name between a check and a create:
    # the name is taken by exclusive creation, never by truncation.
    (comparison_dir / "subtitle_comparison_20260102_030405_3.log").write_text("other")
    monkeypatch.setattr(brivane_module.os.path, "exists", lambda path: False)
    assert pipeline_engine.process_subtitle_file(first)
    assert [p.read_text(encoding="utf-8").split("\n", 1)[0] for p in comparison_logs(comparison_dir)] == [
        f"字幕文件: {first}", f"字幕文件: {second}", "other", f"字幕文件: {first}"]


def _second_copy_dropped(text):
    blocks = text.strip("\n").split("\n\n")
    seen = [b.split("\n", 1)[0] for b in blocks]
    return "\n\n".join(b for k, b in enumerate(blocks) if seen[k] not in seen[:k]) + "\n"


REPEATED = ("1\n00:00:01,000 --> 00:00:02,000\n血案甲\n\n2\n00:00:03,000 --> 00:00:04,000\n血案乙\n\n"
            "2\n00:00:05,000 --> 00:00:06,000\n血案丙\n")


@pytest.mark.parametrize(
    "content, reply, expected, missing",
    [
        ("\ufeff" + make_srt(2), b.echo(), make_srt(2).replace("血案", "血氨") + "\n", None),
        (make_srt(2).replace("1\n", "1 \n", 1), b.echo(),
         make_srt(2).replace("1\n", "1 \n", 1).replace("血案", "血氨") + "\n", None),
        (REPEATED, b.echo(), REPEATED.replace("血案", "血氨") + "\n", None),
        (REPEATED, b.combine(b.echo(), b.edit(_second_copy_dropped)),
         REPEATED.replace("血案甲", "血氨甲").replace("血案乙", "血氨乙") + "\n", "['2']"),
    ],
    ids=["byte-order mark", "index with trailing blank", "repeated index", "repeated index, one copy"],
)
def test_real_world_files_keep_every_block(pipeline_engine, service, workdir, records, content,
                                           reply, expected, missing):
    path = workdir / "input" / "lecture.srt"
    path.write_text(content, encoding="utf-8")
    service.default = reply
    assert pipeline_engine.process_subtitle_file(str(path)) is True
    assert (workdir / "output" / "lecture_corrected.srt").read_bytes() == expected.encode("utf-8")
    warnings = [m for _, m in records("WARNING") if m.startswith("API返回结果中缺少")]
    assert warnings == ([f"API返回结果中缺少以下字幕块，已使用原始内容: {missing}"] if missing else [])


@pytest.mark.parametrize("content, corrected", [
    ("1\n00:00:01 - 00:00:02\n文字\n", None),
    ("\ufeff1\n00:00:01,000\n", None),
    ("\ufeff \n\n", ""),
])
def test_file_without_readable_block(pipeline_engine, service, workdir, records, comparison_dir,
                                     content, corrected):
    path = workdir / "input" / "lecture.srt"
    path.write_text(content, encoding="utf-8")
    ok = pipeline_engine.process_subtitle_file(str(path))
    output = workdir / "output" / "lecture_corrected.srt"
    if corrected is None:
        assert ok is False and not output.exists() and comparison_logs(comparison_dir) == []
        assert records()[-1] == ("ERROR", f"未能从字幕文件中解析出任何字幕块: {path}")
    else:
        assert ok is True and output.read_text(encoding="utf-8") == corrected


CUT = len(make_srt(3)) - 4  # the reply stops inside block 3's text


@pytest.mark.parametrize("first, second, block_two, block_three, still_missing", [
    (b.combine(b.echo(), b.drop_blocks([2])), b.echo(), "血氨升高2", "血氨升高3，需要治疗", None),
    (b.finish_length(CUT), b.echo(), "血氨升高2", "血氨升高3，需要治疗", None),
    (b.combine(b.echo(), b.drop_blocks([2])), b.combine(b.echo(), b.drop_blocks([2])),
     "血案升高2", "血氨升高3，需要治疗", "['2']"),
], ids=["dropped", "cut off", "still missing"])
def test_asking_again_for_missing_blocks(pipeline_engine, service, workdir, records, comparison_dir,
                                         first, second, block_two, block_three, still_missing):
    path = write_lecture(workdir, 3)
    pipeline_engine.config = {**pipeline_engine.config, "retry_missing_blocks": True}
    service.script(first, second)
    assert pipeline_engine.process_subtitle_file(path) is True
    asked = "['2']" if still_missing or first.finish_reason == "stop" else "['3']"
    assert ("INFO", f"重新请求缺失的字幕块: {asked}") in records()
    assert len(service.requests) == 2 and service.requests[1].user_text.startswith(asked[2] + "\n")
    written = (workdir / "output" / "lecture_corrected.srt").read_text(encoding="utf-8")
    assert block_two in written and block_three + "\n" in written
    warnings = [m for _, m in records("WARNING") if m.startswith("API返回结果中缺少")]
    assert warnings == ([f"API返回结果中缺少以下字幕块，已使用原始内容: {still_missing}"] if still_missing else [])
    [log] = comparison_logs(comparison_dir)
    assert ("\n补充请求: 是\n" in log.read_text(encoding="utf-8")) is (still_missing is None)


@pytest.mark.parametrize("setting", ["auto", None])
def test_gb18030_lecture(pipeline_engine, service, workdir, records, setting):
    path = workdir / "input" / "gbk.srt"
    path.write_bytes(make_srt(10).encode("gb18030"))
    if setting:
        pipeline_engine.config = {**pipeline_engine.config, "input_encoding": setting}
    ok = pipeline_engine.process_subtitle_file(str(path))
    output = workdir / "output" / "gbk_corrected.srt"
    if setting:
        assert ok is True and ("WARNING", f"字幕文件不是UTF-8编码，已按 gb18030 读取: {path}") in records()
        assert output.read_text(encoding="utf-8") == make_srt(10).replace("血案", "血氨") + "\n"
    else:
        assert ok is False and not output.exists()
        assert records("ERROR")[-1][1].startswith("字幕文件处理失败: 'utf-8' codec can't decode")


@pytest.mark.parametrize("value, ok", [(0.3, True), (0, False), ("5", False), (True, False)])
def test_request_timeout(pipeline_engine, service, workdir, records, pauses, value, ok):
    path = write_lecture(workdir, 2)
    pipeline_engine.config = {**pipeline_engine.config, "request_timeout": value}
    service.default = b.delay(5.0)  # a service that never answers in time
    started = time.monotonic()
    if not ok:
        assert pipeline_engine.process_subtitle_file(path) is False
        assert records("ERROR") == [("ERROR", f"配置项 request_timeout 必须是正数，当前值: {value}")]
        assert service.requests == []
        return
    with pytest.raises(RuntimeError, match=r"API在 5 次尝试后仍然失败: .*Read timed out"):
        pipeline_engine.process_subtitle_file(path)
    assert len(service.requests) == 5 and time.monotonic() - started < 4
