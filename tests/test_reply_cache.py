"""The reply cache: resume after a stop, free reruns after a glossary edit, a
store that survives kill -9, and a broken store that only costs a warning."""
import os
import signal
import sqlite3
import subprocess
import sys
import time
from contextlib import closing

from conftest import make_srt

from standin_service import StandinService
from standin_service import behaviours as b

CACHE = "cache/replies.sqlite3"


def with_cache(engine, **more):
    engine.config = {**engine.config, "reply_cache": CACHE, **more}
    engine.window_size = 2
    return engine


def write_inputs(workdir):
    (workdir / "input").mkdir(exist_ok=True)
    (workdir / "input" / "a.srt").write_text(make_srt(4), encoding="utf-8")
    (workdir / "input" / "b.srt").write_text(make_srt(6, start=5), encoding="utf-8")


def corrected(directory):
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir()) if p.suffix == ".srt"}


def test_resume_sends_only_unfinished_windows(batch_engine, service, workdir, pauses):
    write_inputs(workdir)
    with_cache(batch_engine)
    # b.srt's second window fails for good: a.srt is written, b.srt is not.
    service.default = b.by_content(lambda r: b.http_error(500) if r.user_text.startswith("7\n")
                                   else b.echo())
    assert batch_engine.process_all_files() is False
    assert sorted(corrected(workdir / "output")) == ["a_corrected.srt"]
    service.reset()
    service.default = b.echo()
    assert batch_engine.process_all_files() is True
    assert [r.user_text.split("\n", 1)[0] for r in service.requests] == ["7", "9"]
    # The same outputs as a run that never stopped, with a cache of its own.
    batch_engine.output_dir = str(workdir / "fresh")
    assert batch_engine.process_all_files() is True
    assert corrected(workdir / "output") == corrected(workdir / "fresh")


def test_glossary_edit_reruns_for_free(batch_engine, service, workdir, records):
    write_inputs(workdir)
    with_cache(batch_engine, max_concurrent_requests=4)
    assert batch_engine.process_all_files() is True
    sent = len(service.requests)
    batch_engine.error_terms = {**batch_engine.error_terms, "通用听写误差": ["需要治疗→需治疗"]}
    assert batch_engine.process_all_files() is True
    assert len(service.requests) == sent == 5
    assert "血氨升高1，需治疗" in (workdir / "output" / "a_corrected.srt").read_text(encoding="utf-8")
    hits = [m for _, m in records("INFO") if m.startswith("使用缓存的API响应")]
    assert len(hits) == 5 and "使用缓存的API响应 (窗口 1)" in hits


def test_broken_store_is_left_alone(batch_engine, service, workdir, records):
    write_inputs(workdir)
    with_cache(batch_engine)
    store = workdir / "output" / CACHE
    store.parent.mkdir(parents=True)
    store.write_bytes(b"not a database" * 100)
    assert batch_engine.process_all_files() is True
    warnings = [m for _, m in records("WARNING") if m.startswith("回复缓存不可用")]
    assert len(warnings) == 1 and str(store) in warnings[0]
    assert store.read_bytes() == b"not a database" * 100
    assert len(corrected(workdir / "output")) == 2 and len(service.requests) == 5


def test_kill_during_a_batch_leaves_a_sound_store(workdir, make_config, package_root):
    (workdir / "input").mkdir()
    for k in range(3):
        (workdir / "input" / f"l{k}.srt").write_text(make_srt(20, start=100 * k + 1), encoding="utf-8")
    with StandinService() as service:
        config = make_config({"api_url": service.url, "model": "m", "window_size": 2,
                              "max_concurrent_requests": 4, "reply_cache": CACHE,
                              "logging": {"log_dir": str(workdir / "comparison")}})
        env = {**os.environ, "DEEPSEEK_API_KEY": "k", "PYTHONPATH": str(package_root)}
        command = [sys.executable, "-m", "brivane", "--input", "input", "--output", "output",
                   "--config", config]
        service.latency = 0.2  # slow enough that the kill comes mid-batch even on a busy machine
        cli = subprocess.Popen(command, cwd=workdir, env=env, stderr=subprocess.DEVNULL)
        while len(service.requests) < 12:
            time.sleep(0.01)
        cli.send_signal(signal.SIGKILL)
        cli.wait()
        time.sleep(0.3)  # requests already on the wire still reach the stand-in
        store = workdir / "output" / CACHE
        with closing(sqlite3.connect(store)) as db:
            assert db.execute("PRAGMA integrity_check").fetchone() == ("ok",)
            stored = db.execute("SELECT count(*) FROM replies").fetchone()[0]
        assert 0 < stored < 30
        service.reset()
        assert subprocess.run(command, cwd=workdir, env=env, stderr=subprocess.DEVNULL).returncode == 0
        assert len(service.requests) == 30 - stored
        assert len(corrected(workdir / "output")) == 3
        # --no-cache neither reads nor writes the store.
        store.unlink()
        service.reset()
        assert subprocess.run(command + ["--no-cache"], cwd=workdir, env=env,
                              stderr=subprocess.DEVNULL).returncode == 0
        assert len(service.requests) == 30 and not store.exists()
