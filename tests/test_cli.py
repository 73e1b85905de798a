"""`main` and the command line, end to end in fresh interpreters."""
import json
import pathlib
import re
import shutil

import pytest
from conftest import make_srt

KEY = "sk-test-7f3a9c-never-logged"

MAIN_ON_STANDIN = r"""
import sys
import brivane.brivane as m
url = sys.argv[1]
load = m.Brivane.load_config_from_package
def pointed_at_standin(self):
    load(self)
    self.api_url = url
    self.config = {**self.config, "logging": {"log_dir": sys.argv[2]}}
m.Brivane.load_config_from_package = pointed_at_standin
print("main returned", m.main())
"""


def messages(log_text):
    return [line.split(" - ", 3)[3] for line in log_text.splitlines() if line.count(" - ") >= 3]


def prepare(workdir, package_root, files=2):
    (workdir / "lectures").mkdir()
    for n in range(files):
        (workdir / "lectures" / f"l{n}.srt").write_text(make_srt(3), encoding="utf-8")
    shutil.copy(package_root / "brivane" / "error_terms_library.json", workdir)


def test_main_without_key(run_python, tmp_path):
    result = run_python("import brivane.brivane as m; print(m.main())", cwd=tmp_path)
    assert result.stdout == "None\n"
    logged = messages((tmp_path / "logs" / "brivane.log").read_text(encoding="utf-8"))
    assert logged == ["医学视频字幕校对系统启动",
                      "程序运行异常: 未设置API密钥：请设置环境变量 DEEPSEEK_API_KEY"]


def test_main_runs_a_batch(run_python, tmp_path, standin, package_root):
    standin.reset()
    prepare(tmp_path, package_root)
    env = {"DEEPSEEK_API_KEY": KEY, "BRIVANE_INPUT_DIR": "lectures", "BRIVANE_OUTPUT_DIR": "out"}
    result = run_python(MAIN_ON_STANDIN, cwd=tmp_path, env=env,
                        args=[standin.url, str(tmp_path / "comparison")])
    assert result.stdout.splitlines()[-1] == "main returned None"
    logged = messages((tmp_path / "logs" / "brivane.log").read_text(encoding="utf-8"))
    assert logged[0] == "医学视频字幕校对系统启动" and logged[-1] == "医学视频字幕校对系统结束"
    assert "字幕文件处理完成，成功: 2，失败: 0" in logged
    outputs = sorted(p.name for p in (tmp_path / "out").iterdir() if not p.name.startswith("."))
    # Beside the reply cache; the packaged configuration turns the review on.
    assert outputs == ["l0_corrected.srt", "l1_corrected.srt", "review"]
    assert standin.requests[0].headers["Authorization"] == f"Bearer {KEY}"
    assert KEY not in result.stdout + result.stderr
    assert KEY not in (tmp_path / "logs" / "brivane.log").read_text(encoding="utf-8")


@pytest.mark.parametrize(
    "scenario, exit_code, last_message",
    [
        ("ok", 0, "医学视频字幕校对系统结束"),
        ("service-down", 1, "医学视频字幕校对系统结束"),
        ("some-failed", 3, "医学视频字幕校对系统结束"),
        ("no-key", 1, "程序运行异常: 未设置API密钥：请设置环境变量 DEEPSEEK_API_KEY"),
    ],
)
def test_command_line(run_python, tmp_path, standin, package_root, scenario, exit_code, last_message):
    standin.reset()
    prepare(tmp_path, package_root, files=1)
    config = json.loads((package_root / "brivane" / "config.json").read_text(encoding="utf-8"))
    config["api_url"] = standin.url if scenario != "service-down" else "http://127.0.0.1:9/none"
    config["logging"]["log_dir"] = str(tmp_path / "comparison")
    (tmp_path / "config.json").write_text(json.dumps(config), encoding="utf-8")
    if scenario == "some-failed":
        (tmp_path / "lectures" / "l1.srt").write_bytes(b"\xff\xfe\x00")
    env = {} if scenario == "no-key" else {"DEEPSEEK_API_KEY": KEY}
    code = ("import sys, brivane.brivane as m; m.time.sleep = lambda s: None\n"
            "from brivane.__main__ import run; sys.exit(run(sys.argv[1:]))")
    result = run_python(code, cwd=tmp_path, env=env, check=False,
                        args=["--input", "lectures", "--output", "out", "--config", "config.json"])
    assert result.returncode == exit_code, result.stderr
    log = (tmp_path / "logs" / "brivane.log").read_text(encoding="utf-8")
    assert messages(log)[-1] == last_message
    assert KEY not in log + result.stdout + result.stderr
    if scenario == "some-failed":
        assert "失败的文件: l1.srt" in messages(log)
    if scenario == "ok":
        assert (tmp_path / "out" / "l0_corrected.srt").exists()
        # The command puts comparison logs beside its outputs.
        assert not (tmp_path / "comparison").exists()
        [comparison_log] = (tmp_path / "out" / "subtitle_logs").iterdir()
        assert KEY not in comparison_log.read_text(encoding="utf-8")
        assert len(list((tmp_path / "backup").iterdir())) == 1


def test_module_entry_point_help(run_python, tmp_path):
    result = run_python("import runpy, sys; sys.argv = ['brivane', '--help']; "
                        "runpy.run_module('brivane', run_name='__main__')", cwd=tmp_path, check=False)
    assert result.returncode == 0
    assert "--input" in result.stdout and "DEEPSEEK_API_KEY" in result.stdout


def test_version_and_help(run_python, tmp_path):
    import importlib.metadata

    import brivane

    result = run_python("import runpy, sys; sys.argv = ['brivane', '--version']; "
                        "runpy.run_module('brivane', run_name='__main__')", cwd=tmp_path, check=False)
    assert result.stdout.strip() == f"brivane {brivane.__version__}"
    assert brivane.__version__ == importlib.metadata.version("brivane")
    assert not (tmp_path / "logs").exists()  # the engine module was not imported
    result = run_python("import runpy, sys; sys.argv = ['brivane', '--help']; "
                        "runpy.run_module('brivane', run_name='__main__')", cwd=tmp_path, check=False)
    for name in ("DEEPSEEK_API_KEY", "BRIVANE_INPUT_DIR", "BRIVANE_OUTPUT_DIR", "_corrected.srt",
                 "logs/brivane.log", "--jobs", "--no-cache"):
        assert name in result.stdout


@pytest.mark.parametrize("change, message", [
    ({"input": "typo"}, "--input: 输入目录不存在: typo"),
    ({"output": "lectures"}, "--output: 输出目录不能与输入目录相同: lectures"),
    ({"config_text": ""}, "--config: 无法读取配置文件 config.json: Expecting value"),
    ({"config_text": "[1]"}, "--config: 配置文件必须是JSON对象: config.json"),
    ({"api_url": ""}, "配置项 api_url 必须是非空字符串，当前值: ''"),
    ({"model": None}, "配置项 model 必须是非空字符串，当前值: None"),
    ({"window_size": "50"}, "配置项 window_size 必须是正整数，当前值: '50'"),
    ({"logging": []}, "配置项 logging 必须是JSON对象，当前值: []"),
    ({"extra_body": 3}, "配置项 extra_body 必须是JSON对象，当前值: 3"),
    ({"max_concurrent_requests": 0}, '配置项 max_concurrent_requests 必须是正整数或 "auto"，当前值: 0'),
    ({"request_timeout": "fast"}, "配置项 request_timeout 必须是正数，当前值: 'fast'"),
    ({"reply_cache": 5}, "配置项 reply_cache 必须是文件路径，当前值: 5"),
    ({"retry_missing_blocks": "yes"}, "配置项 retry_missing_blocks 必须是 true 或 false，当前值: 'yes'"),
    ({"review_report": 1}, "配置项 review_report 必须是 true 或 false，当前值: 1"),
    ({"input_encoding": "klingon"}, "配置项 input_encoding 必须是 \"auto\" 或编码名称，当前值: 'klingon'"),
    ({"pricing": {"deepseek-flash": {"currency": "CNY", "cache_hit": 0, "cache_miss": "2", "output": 8}}},
     "配置项 pricing.deepseek-flash.cache_miss 必须是非负数（每百万 tokens 的价格），当前值: '2'"),
])
def test_checks_before_anything_starts(run_python, tmp_path, standin, package_root, change, message):
    standin.reset()
    prepare(tmp_path, package_root, files=1)
    config = json.loads((package_root / "brivane" / "config.json").read_text(encoding="utf-8"))
    config["api_url"] = standin.url
    config.update({k: v for k, v in change.items() if k not in ("input", "output", "config_text")})
    text = change.get("config_text", json.dumps(config))
    (tmp_path / "config.json").write_text(text, encoding="utf-8")
    code = "import sys; from brivane.__main__ import run; sys.exit(run(sys.argv[1:]))"
    result = run_python(code, cwd=tmp_path, env={"DEEPSEEK_API_KEY": KEY}, check=False,
                        args=["--input", change.get("input", "lectures"),
                              "--output", change.get("output", "out"), "--config", "config.json"])
    assert result.returncode == 2
    assert result.stderr.startswith(f"brivane: {message}")
    assert standin.requests == [] and not (tmp_path / "logs").exists()


def test_dry_run_on_the_examples(run_python, tmp_path):
    examples = pathlib.Path(__file__).resolve().parent.parent / "examples" / "lectures"
    code = "import sys; from brivane.__main__ import run; sys.exit(run(sys.argv[1:]))"
    result = run_python(code, cwd=tmp_path, check=False,
                        args=["--dry-run", "--input", str(examples), "--output", "out"])
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [line.split(", 约")[0] for line in lines[:4]] == [
        "cardiology_heart_failure.srt: 177 块, 4 个窗口, 4 个请求",
        "infectious_sepsis.srt: 59 块, 2 个窗口, 2 个请求",
        "nephrology_electrolytes.srt: 60 块, 2 个窗口, 2 个请求",
        "neurology_antiepileptic_drugs.srt: 39 块, 1 个窗口, 1 个请求"]
    tokens_in, tokens_out = map(int, re.findall(r"约 (\d+) 输入 tokens, (\d+) 输出", lines[4])[0])
    assert lines[4].startswith("合计: 4 个文件, 335 块, 9 个请求") and tokens_in > 9 * 2000 > tokens_out
    assert not (tmp_path / "out").exists()  # nothing written, no key needed


ALWAYS = {"peak_days": [1, 2, 3, 4, 5, 6, 7], "peak_hours": ["00:00-24:00"]}
NEVER = {"peak_days": [], "peak_hours": ["00:00-24:00"]}


@pytest.mark.parametrize("currency, hours, factor, symbol", [
    (None, None, None, None), ("CNY", ALWAYS, 1, "¥"), ("USD", NEVER, 0.5, "$")])
def test_dry_run_estimates_the_cost(run_python, tmp_path, currency, hours, factor, symbol):
    for name in ("a.srt", "b.srt"):  # the same text: only the prompt's cache hits differ
        (tmp_path / "lectures").mkdir(exist_ok=True)
        (tmp_path / "lectures" / name).write_text(make_srt(5), encoding="utf-8")
    config = {"api_url": "http://127.0.0.1:9/none", "model": "m", "window_size": 2}
    if currency:
        # Only misses are charged, a token each.
        config["pricing"] = {"m": {"currency": currency, "cache_hit": 0, "cache_miss": 1e6, "output": 0,
                                   "off_peak": {"factor": 0.5, "utc_offset": "+08:00", **hours}}}
    (tmp_path / "config.json").write_text(json.dumps(config), encoding="utf-8")
    code = "import sys; from brivane.__main__ import run; sys.exit(run(sys.argv[1:]))"
    result = run_python(code, cwd=tmp_path, args=["--dry-run", "--input", "lectures", "--config",
                                                  "config.json"])
    pattern = r"(\d+) 个请求, 约 (\d+) 输入 tokens, (\d+) 输出 tokens(?:, 费用约 (.)(\d+\.\d\d))? "
    rows = [re.search(pattern, line + " ").groups() for line in result.stdout.splitlines()]
    if currency is None:
        assert [row[3:] for row in rows] == [(None, None)] * 3
        return
    (requests, tokens_in, window), second, total = [[int(n) for n in row[:3]] for row in rows]
    prompt = (tokens_in - window) / requests
    # The run's first request pays the prompt; every later one finds it cached.
    expected = [(prompt + window) * factor, window * factor]
    assert {row[3] for row in rows} == {symbol}
    assert [float(row[4]) for row in rows] == pytest.approx([*expected, sum(expected)], abs=2)
    assert second == [requests, tokens_in, window]


@pytest.mark.parametrize("config, warned", [
    ({"api_url": "https://api.deepseek.com/chat/completions", "model": "m"}, True),
    (None, False),  # the packaged configuration turns thinking off
    ({"api_url": "http://127.0.0.1:9/chat/completions", "model": "m"}, False),
])
def test_thinking_warning(run_python, tmp_path, package_root, config, warned):
    prepare(tmp_path, package_root, files=1)
    args = ["--input", "lectures", "--output", "out"]
    if config:
        (tmp_path / "config.json").write_text(json.dumps(config), encoding="utf-8")
        args += ["--config", "config.json"]
    code = "import sys; from brivane.__main__ import run; sys.exit(run(sys.argv[1:]))"
    # No key: the run stops before any request.
    result = run_python(code, cwd=tmp_path, check=False, args=args)
    assert result.returncode == 1
    warnings = [line for line in result.stderr.splitlines() if "thinking" in line]
    assert len(warnings) == warned
    if warned:
        assert '"extra_body": {"thinking": {"type": "disabled"}}' in warnings[0] and "2048" in warnings[0]


def test_progress_line_on_a_terminal(tmp_path, standin, package_root):
    import os
    import pty
    import subprocess
    import sys

    standin.reset()
    prepare(tmp_path, package_root, files=2)
    config = {"api_url": standin.url, "model": "m", "window_size": 2}
    (tmp_path / "config.json").write_text(json.dumps(config), encoding="utf-8")
    command = [sys.executable, "-m", "brivane", "--input", "lectures", "--output", "out",
               "--config", "config.json"]
    env = {**os.environ, "DEEPSEEK_API_KEY": KEY, "PYTHONPATH": str(package_root),
           "COLUMNS": "120"}
    leader, follower = pty.openpty()
    cli = subprocess.Popen(command, cwd=tmp_path, env=env, stdout=subprocess.DEVNULL,
                           stderr=follower)
    os.close(follower)
    seen = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # the terminal closes with the last writer
            break
        if not chunk:
            break
        seen += chunk
    assert cli.wait() == 0
    screen = seen.decode("utf-8", "replace")
    assert "文件 2/2" in screen and "4/4" in screen and "窗口" in screen  # files, windows
    assert "字幕文件处理完成，成功: 2，失败: 0" in screen  # records still scroll above it
    plain = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True)
    assert plain.returncode == 0 and "4/4" not in plain.stderr and "窗口]" not in plain.stderr


@pytest.mark.parametrize("configured, flag, written", [
    (True, [], True), (True, ["--no-report"], False), (None, ["--report"], True)])
def test_report_flag_overrides_configuration(run_python, tmp_path, standin, package_root,
                                             configured, flag, written):
    standin.reset()
    prepare(tmp_path, package_root, files=1)
    config = {"api_url": standin.url, "model": "m", "logging": {"log_dir": str(tmp_path / "c")}}
    if configured is not None:
        config["review_report"] = configured
    (tmp_path / "config.json").write_text(json.dumps(config), encoding="utf-8")
    code = "import sys; from brivane.__main__ import run; sys.exit(run(sys.argv[1:]))"
    result = run_python(code, cwd=tmp_path, env={"DEEPSEEK_API_KEY": KEY}, check=False,
                        args=["--input", "lectures", "--output", "out", "--config", "config.json",
                              *flag])
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out" / "review" / "index.html").exists() is written
    logged = messages((tmp_path / "logs" / "brivane.log").read_text(encoding="utf-8"))
    assert any(m.startswith("本批次用量: 输入 ") for m in logged) is written


COUNT_OPENS = """
import collections, json, os, sys
opened = collections.Counter()
def count(event, args):
    # The backup's archive reads its members too; that is its own copy.
    if event == "open" and isinstance(args[0], str) and sys._getframe(1).f_globals.get("__name__") != "zipfile":
        opened[os.path.abspath(args[0])] += 1
sys.addaudithook(count)
import brivane.brivane as engine
written = collections.Counter()
class Counted:
    def __init__(self, stream, path):
        self.stream, self.path = stream, path
    def write(self, text):
        written[self.path] += 1
        return self.stream.write(text)
    def __getattr__(self, name):
        return getattr(self.stream, name)
    def __enter__(self):
        return self
    def __exit__(self, *failure):
        return self.stream.__exit__(*failure)
def counted_open(path, *args, **kwargs):
    stream = open(path, *args, **kwargs)
    return Counted(stream, os.path.abspath(path)) if "subtitle_comparison_" in str(path) else stream
engine.open = counted_open
from brivane.__main__ import run
status = run(sys.argv[1:])
print(json.dumps({"status": status, "opened": opened, "written": written}))
"""


def test_a_batch_reads_each_file_once(run_python, tmp_path, standin, package_root):
    standin.reset()
    prepare(tmp_path, package_root, files=2)
    (tmp_path / "error_terms_library.json").unlink()  # the packaged one is read
    config = json.loads((package_root / "brivane" / "config.json").read_text(encoding="utf-8"))
    # Two windows a file; the packaged configuration keeps each comparison log open.
    for name in ("team.json", "extra.json"):
        (tmp_path / name).write_text(json.dumps({"通用听写误差": [f"{name[0]}错→{name[0]}对"]}),
                                     encoding="utf-8")
    (tmp_path / "run.json").write_text(json.dumps({**config, "api_url": standin.url, "window_size": 2,
                                                   "glossary_files": ["team.json"]}),
                                       encoding="utf-8")
    result = run_python(COUNT_OPENS, cwd=tmp_path, env={"DEEPSEEK_API_KEY": KEY},
                        args=["--input", "lectures", "--output", "out", "--config", "run.json",
                              "--glossary", "extra.json"])
    report = json.loads(result.stdout.splitlines()[-1])
    assert report["status"] == 0
    opened = report["opened"]
    for path in (tmp_path / "lectures" / "l0.srt", tmp_path / "lectures" / "l1.srt",
                 tmp_path / "run.json", package_root / "brivane" / "error_terms_library.json",
                 tmp_path / "team.json", tmp_path / "extra.json"):
        assert opened.get(str(path)) == 1, (path, opened)
    logs = [count for path, count in opened.items() if "subtitle_comparison_" in path]
    # A second file within the same second tries the first one's name before its own.
    assert len(logs) == 2 and min(logs) == 1 and max(logs) <= 2, opened
    # The header, then one write a window.
    assert sorted(report["written"].values()) == [3, 3], report["written"]
