"""Several requests in flight: the same outputs and ordered records as one at
a time, a bounded number of requests, back-pressure, failure and interrupt."""
import os
import re
import signal
import subprocess
import sys
import time
import zipfile

import pytest
from conftest import make_srt

from standin_service import StandinService
from standin_service import behaviours as b

# Three files, numbered through so each window's request is told apart by
# its first index; window size 2 gives 4 + 2 + 3 windows.
FILES = {"a.srt": (1, 7), "b.srt": (8, 3), "c.srt": (11, 5)}
CLIENT_OWN = re.compile(r"^(正在调用API|API响应|API完整响应|API使用情况|API完成原因|正在应用错误术语库|术语库精确替换"
                        r"|替换详情|将在 |并发请求数调整为|文件备份成功)")


@pytest.fixture
def service():
    """A stand-in of the test's own, so no other test's request is in flight."""
    with StandinService() as fresh:
        yield fresh


def first_index(request):
    return int(request.user_text.split("\n", 1)[0])


def write_inputs(workdir):
    (workdir / "input").mkdir(exist_ok=True)
    for name, (start, count) in FILES.items():
        (workdir / "input" / name).write_text(make_srt(count, start=start), encoding="utf-8")


def outputs(workdir, comparison_dir):
    corrected = {p.name: p.read_bytes() for p in sorted((workdir / "output").iterdir())}
    logs = [re.sub(r"处理时间: .*", "", p.read_text(encoding="utf-8"))
            for p in sorted(comparison_dir.glob("*.log"))]
    return corrected, logs


def run_batch(engine, records, caplog, jobs):
    engine.config = {**engine.config, "max_concurrent_requests": jobs, "window_size": 2}
    engine.window_size = 2
    caplog.clear()
    assert engine.process_all_files() is True
    # Comparison-log names differ only by their time stamps.
    return [(level, re.sub(r"subtitle_comparison_[\d_]+\.log", "<log>", message))
            for level, message in records() if not CLIENT_OWN.match(message)]


def test_many_in_flight_gives_the_same_outputs_and_records(batch_engine, service, workdir, records,
                                                           caplog, comparison_dir):
    write_inputs(workdir)
    # Earlier windows answer later, so replies arrive in reverse order.
    service.latency = lambda request: (20 - first_index(request)) * 0.02
    sequential = run_batch(batch_engine, records, caplog, 1)
    expected = outputs(workdir, comparison_dir)
    assert service.most_in_flight == 1
    for directory in (workdir / "output", comparison_dir):
        for path in directory.iterdir():
            path.unlink()
    service.reset()
    service.latency = lambda request: (20 - first_index(request)) * 0.02
    concurrent = run_batch(batch_engine, records, caplog, 4)
    assert concurrent == sequential
    assert outputs(workdir, comparison_dir) == expected
    assert service.most_in_flight == 4
    # Batch order: the first request alone, then the next ones together.
    assert first_index(service.requests[0]) == 1
    assert sorted(first_index(r) for r in service.requests[1:5]) == [3, 5, 7, 8]
    with zipfile.ZipFile(workdir / "backup" / os.listdir(workdir / "backup")[0]) as first, \
            zipfile.ZipFile(sorted((workdir / "backup").iterdir())[-1]) as second:
        assert [(i.filename, first.read(i)) for i in first.infolist()] == [
            (i.filename, second.read(i)) for i in second.infolist()]


def test_failure_stops_at_the_earliest_failed_window(batch_engine, service, workdir, records,
                                                     comparison_dir, pauses, brivane_module,
                                                     monkeypatch):
    write_inputs(workdir)
    # b.srt's first window fails for good; everything else is slow.
    service.default = b.by_content(lambda r: b.http_error(500) if first_index(r) == 8 else b.echo())
    service.latency = lambda request: 0 if first_index(request) == 8 else 0.2
    batch_engine.config = {**batch_engine.config, "max_concurrent_requests": 2}
    batch_engine.window_size = 2
    at_decision = []
    critical = brivane_module.logger.critical
    monkeypatch.setattr(brivane_module.logger, "critical",
                        lambda m: (at_decision.append(len(service.requests)), critical(m)))
    assert batch_engine.process_all_files() is False
    time.sleep(0.5)
    # Only requests already admitted when the failure was decided may arrive.
    assert len(service.requests) - at_decision[0] <= 2
    assert not any(first_index(r) >= 13 for r in service.requests)
    assert sorted(p.name for p in (workdir / "output").iterdir()) == ["a_corrected.srt"]
    a_log, b_log = [p.read_text(encoding="utf-8") for p in sorted(comparison_dir.glob("*.log"))]
    assert a_log.count("字幕块 #") == 7 and b_log.endswith("程序因API调用失败而终止执行！\n" + "=" * 80 + "\n\n")
    assert records("ERROR")[-1][1].startswith("处理字幕文件时发生错误: API调用失败，程序终止执行！")


def test_back_pressure_halves_then_recovers(batch_engine, service, workdir, records, pauses):
    write_inputs(workdir)
    service.throttle_above = 2
    service.latency = 0.05
    batch_engine.config = {**batch_engine.config, "max_concurrent_requests": 4}
    batch_engine.window_size = 2
    assert batch_engine.process_all_files() is True
    limits = [int(m.rsplit(" ", 1)[1]) for _, m in records("INFO") if m.startswith("并发请求数调整为")]
    assert min(limits) < 4 and limits.index(min(limits)) < len(limits) - 1  # lowered, then raised
    assert limits[-1] > min(limits)
    assert len(list((workdir / "output").iterdir())) == 3


@pytest.mark.parametrize("value", [0, -2, "8", 2.5, True])
def test_setting_must_be_a_positive_integer(batch_engine, service, workdir, records, value):
    write_inputs(workdir)
    batch_engine.config = {**batch_engine.config, "max_concurrent_requests": value}
    message = ("ERROR", f'配置项 max_concurrent_requests 必须是正整数或 "auto"，当前值: {value}')
    assert batch_engine.process_all_files() is False
    assert batch_engine.process_subtitle_file(str(workdir / "input" / "a.srt")) is False
    assert records("ERROR") == [message, message] and service.requests == []


@pytest.mark.parametrize("jobs", [4, "auto"])
def test_the_first_request_goes_out_alone(batch_engine, service, workdir, jobs):
    write_inputs(workdir)
    arrived = []
    service.latency = lambda request: arrived.append(time.monotonic()) or 0.3
    batch_engine.config = {**batch_engine.config, "max_concurrent_requests": jobs}
    batch_engine.window_size = 2
    assert batch_engine.process_all_files() is True
    assert len(arrived) == 9
    assert arrived[1] - arrived[0] >= 0.3  # after the first reply, so its prompt is cached
    assert arrived[3] - arrived[1] < 0.25  # then the rest together


def test_auto_finds_the_accounts_limit(batch_engine, service, workdir, records, caplog,
                                       comparison_dir):
    (workdir / "input").mkdir(exist_ok=True)
    (workdir / "input" / "course.srt").write_text(make_srt(40), encoding="utf-8")
    batch_engine.window_size = 1
    batch_engine.config = {**batch_engine.config, "window_size": 1}
    assert batch_engine.process_all_files() is True
    one_at_a_time = outputs(workdir, comparison_dir)
    for path in [*(workdir / "output").glob("*.srt"), *comparison_dir.glob("*.log")]:
        path.unlink()
    service.reset()
    service.concurrency_limit, service.latency = 5, 0.2
    batch_engine.config = {**batch_engine.config, "max_concurrent_requests": "auto",
                           "max_concurrent_requests_start": 2, "max_concurrent_requests_cap": 64}
    caplog.clear()
    assert batch_engine.process_all_files() is True
    assert outputs(workdir, comparison_dir) == one_at_a_time
    assert service.peak_in_flight == 5 and service.refused < 20  # refused ones go again
    infos = [m for _, m in records("INFO")]
    limits = [int(m.rsplit(" ", 1)[1]) for m in infos if m.startswith("并发请求数调整为")]
    assert limits[:2] == [4, 8] and min(limits[2:]) <= 5  # doubled, then halved at the refusal
    assert any(m.startswith("并发请求数峰值: ") for m in infos)
    assert not records("ERROR")


def test_range_of_one_file(pipeline_engine, service, workdir):
    write_inputs(workdir)
    path = str(workdir / "input" / "a.srt")
    results = []
    for jobs in (1, 3):
        pipeline_engine.config = {**pipeline_engine.config, "max_concurrent_requests": jobs}
        service.reset()
        service.latency = lambda request: (10 - first_index(request)) * 0.02
        assert pipeline_engine.process_subtitle_file(path, custom_window_size=2, start_window=2,
                                                     end_window=3)
        results.append(((workdir / "output" / "a_corrected.srt").read_bytes(),
                        sorted(first_index(r) for r in service.requests)))
    assert results[0] == results[1] and results[0][1] == [3, 5]


def test_interrupt_ends_within_a_second(service, workdir, make_config, package_root):
    write_inputs(workdir)
    service.latency = 30
    config = make_config({"api_url": service.url, "model": "m", "window_size": 2,
                          "logging": {"log_dir": str(workdir / "comparison")}})
    env = {**os.environ, "DEEPSEEK_API_KEY": "k", "PYTHONPATH": str(package_root)}
    cli = subprocess.Popen([sys.executable, "-m", "brivane", "--jobs", "4", "--input", "input",
                            "--output", "output", "--config", config],
                           cwd=workdir, env=env, stderr=subprocess.PIPE, text=True, encoding="utf-8")
    deadline = time.monotonic() + 30
    while not service.requests and time.monotonic() < deadline:
        time.sleep(0.05)
    assert len(service.requests) == 1  # the first request goes out alone
    cli.send_signal(signal.SIGINT)
    sent = time.monotonic()
    _, err = cli.communicate(timeout=10)
    assert time.monotonic() - sent < 1.0 and cli.returncode == 130
    assert "Traceback" not in err and err.strip().endswith("未完成的文件没有写出")
    assert [n for n in os.listdir(workdir / "output") if n != "subtitle_logs"] == []


def test_jobs_flag_must_be_positive(workdir, package_root):
    result = subprocess.run([sys.executable, "-m", "brivane", "--jobs", "0"], cwd=workdir,
                            env={**os.environ, "PYTHONPATH": str(package_root)},
                            capture_output=True, text=True)
    assert result.returncode == 2 and "--jobs" in result.stderr
