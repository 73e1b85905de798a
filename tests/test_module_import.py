"""What importing the module does, observed in fresh interpreters."""
import re

import pytest

LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} - Brivane - (\w+) - (.*)$")
MODULE_DOC = (
    "\n医学视频字幕校对系统\n"
    "用于自动校正医学视频字幕中的术语错误，同时保持原始字幕结构和时间戳不变\n"
    "支持处理分割成多个部分的字幕文件\n"
)

PROBE = r"""
import logging, json, sys
import brivane.brivane as m
root = logging.getLogger()
m.logger.debug("dropped debug")
m.logger.info("信息 record")
m.logger.warning("warn record")
import importlib
again = importlib.import_module("brivane.brivane")
print(json.dumps({
    "same": again is m,
    "handlers": [type(h).__name__ for h in root.handlers],
    "stream": [getattr(h, "stream", None) is sys.stderr for h in root.handlers],
    "encoding": [getattr(h, "encoding", None) for h in root.handlers],
    "format": [h.formatter._fmt if h.formatter else None for h in root.handlers],
    "level": root.level,
    "logger": [m.logger.name, m.logger.level, len(m.logger.handlers), m.logger.propagate],
}))
"""


def log_lines(text):
    return [LINE.match(line).groups() for line in text.splitlines() if line]


def test_import_creates_logs_and_configures_root(run_python, tmp_path):
    import json

    result = run_python(PROBE, cwd=tmp_path)
    state = json.loads(result.stdout)
    assert state["same"]
    assert state["handlers"] == ["FileHandler", "StreamHandler"]
    assert state["stream"] == [False, True]
    assert state["encoding"][0] == "utf-8"
    assert state["format"] == ["%(asctime)s - %(name)s - %(levelname)s - %(message)s"] * 2
    assert state["level"] == 20
    assert state["logger"] == ["Brivane", 0, 0, True]
    expected = [("INFO", "信息 record"), ("WARNING", "warn record")]
    assert log_lines((tmp_path / "logs" / "brivane.log").read_text(encoding="utf-8")) == expected
    assert log_lines(result.stderr) == expected


def test_existing_log_is_appended(run_python, tmp_path):
    (tmp_path / "logs").mkdir()
    (tmp_path / "logs" / "brivane.log").write_text("earlier line\n", encoding="utf-8")
    run_python("import brivane.brivane as m; m.logger.info('later')", cwd=tmp_path)
    lines = (tmp_path / "logs" / "brivane.log").read_text(encoding="utf-8").splitlines()
    assert lines[0] == "earlier line" and lines[1].endswith(" - Brivane - INFO - later")


def test_host_configuration_is_kept(run_python, tmp_path):
    code = r"""
import logging, sys
logging.basicConfig(level=logging.WARNING, stream=sys.stdout, format="HOST %(message)s")
import brivane.brivane as m
m.logger.info("hidden")
m.logger.warning("shown")
print([type(h).__name__ for h in logging.getLogger().handlers])
"""
    result = run_python(code, cwd=tmp_path)
    assert result.stdout.splitlines() == ["HOST shown", "['StreamHandler']"]
    assert result.stderr == ""
    # The log file is opened all the same, and stays empty.
    assert (tmp_path / "logs" / "brivane.log").read_text() == ""


def test_logs_path_taken_by_a_file_fails_the_import(run_python, tmp_path):
    (tmp_path / "logs").write_text("not a directory")
    result = run_python("import brivane.brivane", cwd=tmp_path, check=False)
    assert result.returncode != 0
    assert result.stderr.rstrip().splitlines()[-1] == "FileExistsError: [Errno 17] File exists: 'logs'"
    assert "initialization failed" not in result.stderr


def test_reimport_after_collection(run_python, tmp_path):
    run_python(
        "import gc, sys, brivane.brivane as m\n"
        "del sys.modules['brivane.brivane'], m\n"
        "gc.collect()\n"
        "import brivane.brivane as m\n"
        "m.Brivane('k', 'in', 'out').get_output_path('a.srt')\n",
        cwd=tmp_path)


def test_module_surface(brivane_module):
    import datetime
    import importlib
    import importlib.resources
    import json
    import logging

    m = brivane_module
    assert m.__doc__ == MODULE_DOC
    assert m.datetime is datetime.datetime
    assert m.importlib is importlib and m.importlib.resources is importlib.resources
    assert m.json is json and m.logging is logging
    assert m.logger is logging.getLogger("Brivane")
    methods = [name for name, value in vars(m.Brivane).items() if callable(value)]
    assert len(methods) == 16 and m.main.__module__ == "brivane.brivane"
    for name in methods:
        method = getattr(m.Brivane, name)
        assert (method.__qualname__, method.__module__) == (f"Brivane.{name}", "brivane.brivane")


def test_main_refuses_arguments(brivane_module):
    with pytest.raises(TypeError):
        brivane_module.main(1)
