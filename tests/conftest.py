"""Shared fixtures.

Importing ``brivane.brivane`` creates ``logs/`` in the working directory, so
the whole session runs in a scratch directory of its own.
"""
from __future__ import annotations

import importlib
import json
import logging
import os
import pathlib
import subprocess
import sys
import tempfile

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent


def pytest_sessionstart(session):
    # Before any test imports the module, so logs/ lands in a scratch folder.
    os.chdir(tempfile.mkdtemp(prefix="brivane-tests-"))


@pytest.fixture(scope="session")
def brivane_module():
    return importlib.import_module("brivane.brivane")


@pytest.fixture(scope="session")
def package_root(brivane_module) -> pathlib.Path:
    """The directory that holds the importable ``brivane`` package."""
    return pathlib.Path(brivane_module.__file__).resolve().parent.parent


@pytest.fixture
def records(caplog):
    """Returns a function listing (level, message) of the engine's records so far."""
    caplog.set_level(logging.DEBUG, logger="Brivane")

    def collected(level: str | None = None):
        return [
            (r.levelname, r.getMessage())
            for r in caplog.records
            if r.name == "Brivane" and (level is None or r.levelname == level)
        ]

    return collected


@pytest.fixture
def workdir(tmp_path, monkeypatch) -> pathlib.Path:
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def engine(brivane_module, workdir):
    return brivane_module.Brivane("test-key", str(workdir / "input"), str(workdir / "output"))


@pytest.fixture
def make_config(workdir):
    """Writes a configuration file and returns its path."""

    def write(content, name="config.json") -> str:
        path = workdir / name
        text = content if isinstance(content, str) else json.dumps(content, ensure_ascii=False)
        path.write_text(text, encoding="utf-8")
        return str(path)

    return write


@pytest.fixture
def run_python(package_root):
    """Runs code in a fresh interpreter that imports the same package."""

    def run(code: str, cwd, env: dict | None = None, check: bool = True, args=()):
        full_env = {k: v for k, v in os.environ.items() if not k.startswith("BRIVANE_")}
        full_env.pop("DEEPSEEK_API_KEY", None)
        full_env["PYTHONPATH"] = os.pathsep.join([str(package_root), str(REPO / "tools")])
        full_env["PYTHONIOENCODING"] = "utf-8"
        full_env.update(env or {})
        result = subprocess.run(
            [sys.executable, "-c", code, *args], cwd=cwd, env=full_env,
            capture_output=True, text=True, encoding="utf-8", timeout=120,
        )
        if check and result.returncode != 0:
            raise AssertionError(f"exit {result.returncode}\n{result.stdout}\n{result.stderr}")
        return result

    return run


sys.path.insert(0, str(REPO / "tools"))
from standin_service import StandinService, behaviours  # noqa: E402


@pytest.fixture(scope="session")
def standin():
    with StandinService() as service:
        yield service


@pytest.fixture
def service(standin):
    standin.reset()
    standin.default = behaviours.echo()
    yield standin
    standin.reset()
    standin.default = behaviours.echo()  # tests that use the stand-in directly expect it


@pytest.fixture
def pauses(brivane_module, monkeypatch):
    """Records the pauses taken, through the module's own `time` global."""
    taken = []
    import types

    monkeypatch.setattr(brivane_module, "time", types.SimpleNamespace(sleep=taken.append))
    return taken


@pytest.fixture
def online_engine(engine, service, pauses):
    """An engine talking to the stand-in, with a one-entry library."""
    engine.api_url = service.url
    engine.error_terms = {"实验室检查术语": ["血案→血氨"]}
    # The client's own retries; refusals that end a call are tested on their own.
    engine.config = {k: v for k, v in engine.config.items() if k != "stop_on_client_errors"}
    return engine


def make_srt(count: int, start: int = 1, text="血案升高{i}，需要治疗") -> str:
    """SRT text of `count` numbered blocks, one text line each."""
    blocks = []
    for i in range(start, start + count):
        s, e = i * 2, i * 2 + 1
        blocks.append(f"{i}\n00:{s // 60:02d}:{s % 60:02d},000 --> 00:{e // 60:02d}:{e % 60:02d},500\n"
                      + text.format(i=i))
    return "\n\n".join(blocks) + "\n"


@pytest.fixture
def comparison_dir(workdir):
    return workdir / "comparison"


EXTRAS = ("max_concurrent_requests", "reply_cache", "retry_missing_blocks", "input_encoding",
          "request_timeout", "review_report", "stop_on_client_errors", "risk_checks")


@pytest.fixture
def pipeline_engine(online_engine, comparison_dir):
    """An engine on the stand-in whose comparison logs go to a scratch directory."""
    # Without the packaged extras (requests in flight, cache, follow-ups,
    # encoding detection, time-out): the engine's own behaviour, and scripted
    # replies pair with requests in order.
    config = {key: value for key, value in online_engine.config.items() if key not in EXTRAS}
    online_engine.config = {
        **config,
        "logging": {"enable_detailed_logs": True, "enable_subtitle_logs": True,
                    "log_dir": str(comparison_dir)},
    }
    return online_engine


@pytest.fixture
def review_engine(pipeline_engine):
    pipeline_engine.config = {**pipeline_engine.config, "review_report": True,
                              "retry_missing_blocks": True}
    return pipeline_engine


@pytest.fixture
def batch_engine(pipeline_engine, workdir, package_root):
    # The archive takes config.json and the library file from the working directory.
    import shutil

    for name in ("config.json", "error_terms_library.json"):
        shutil.copy(package_root / "brivane" / name, workdir / name)
    return pipeline_engine
