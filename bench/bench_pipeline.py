"""Pipeline benchmark against the local stand-in service (answers at once).

Prints: engine time per 50-block window with the time spent waiting on the
service taken out; end-to-end blocks per second for a batch of 20 files of
1,000 blocks; peak memory for one 100,000-block file. Not a test.

    .venv/bin/python bench/bench_pipeline.py [--quick]
"""
from __future__ import annotations

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tools"))
sys.path.insert(0, str(REPO / "tests"))

LINES = ["患者血案升高，需要及时处理", "头皮脂可以用于癫痫治疗", "测得血糖7.8，", "心肌梗塞的患者", "格兰氏阳性菌感染"]


def lecture(count: int) -> str:
    blocks = []
    for i in range(1, count + 1):
        s = i * 2
        blocks.append(f"{i}\n{s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d},000 --> "
                      f"{s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d},900\n{LINES[i % len(LINES)]}{i}")
    return "\n\n".join(blocks) + "\n"


def timed_transport(module):
    """Wraps requests.post (through the module global) to add up time spent waiting."""
    import types

    real = module.requests
    waited = [0.0]

    def post(*args, **kwargs):
        start = time.perf_counter()
        try:
            return real.post(*args, **kwargs)
        finally:
            waited[0] += time.perf_counter() - start

    module.requests = types.SimpleNamespace(post=post, RequestException=real.RequestException)
    return waited


def engine_for(module, url, workdir, comparison_dir):
    engine = module.Brivane("bench-key", str(workdir / "in"), str(workdir / "out"))
    engine.api_url = url
    # One request at a time and no reply cache: the time spent waiting on the
    # service is then the calling thread's own and can be taken out.
    engine.config = {**engine.config, "logging": {"log_dir": str(comparison_dir)},
                     "max_concurrent_requests": 1, "reply_cache": None}
    return engine


def quiet_stdout():
    """The client prints every reply and the log goes to stderr too; both are
    still written (they are part of the engine's work), just not shown."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = (os.dup(1), os.dup(2))
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.dup2(devnull, 2)
    os.close(devnull)
    return saved


def restore_stdout(saved):
    sys.stdout.flush()
    sys.stderr.flush()
    os.dup2(saved[0], 1)
    os.dup2(saved[1], 2)


def per_window(module, url, workdir, windows: int):
    path = workdir / "in" / "windows.srt"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(lecture(50 * windows), encoding="utf-8")
    engine = engine_for(module, url, workdir, workdir / "cmp")
    waited = timed_transport(module)
    saved = quiet_stdout()
    start = time.perf_counter()
    try:
        assert engine.process_subtitle_file(str(path))
    finally:
        elapsed = time.perf_counter() - start
        restore_stdout(saved)
    return (elapsed - waited[0]) / windows, waited[0] / windows


def batch(module, url, workdir, files: int, blocks: int):
    inputs = workdir / "batch_in"
    inputs.mkdir()
    text = lecture(blocks)
    for n in range(files):
        (inputs / f"lecture_{n:02d}.srt").write_text(text, encoding="utf-8")
    engine = module.Brivane("bench-key", str(inputs), str(workdir / "batch_out"))
    engine.api_url = url
    engine.config = {**engine.config, "logging": {"log_dir": str(workdir / "batch_cmp")}}
    saved = quiet_stdout()
    start = time.perf_counter()
    try:
        assert engine.process_all_files()
    finally:
        elapsed = time.perf_counter() - start
        restore_stdout(saved)
    return files * blocks / elapsed, elapsed


PEAK = r"""
import os, sys, pathlib
sys.path.insert(0, sys.argv[3])

def high_water_mb():
    # VmHWM belongs to this process image; ru_maxrss would count the parent's
    # pages from before exec.
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024

import brivane.brivane as m
e = m.Brivane("bench-key", sys.argv[1], sys.argv[1] + "_out")
e.api_url = sys.argv[2]
e.config = {**e.config, "logging": {"enable_subtitle_logs": False}}
before = high_water_mb()
out = os.dup(1); os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
ok = e.process_subtitle_file(str(pathlib.Path(sys.argv[1]) / "big.srt"))
os.dup2(out, 1)
print(ok, before, high_water_mb())
"""


def peak_memory(url, workdir, blocks: int):
    folder = workdir / "peak"
    folder.mkdir()
    (folder / "big.srt").write_text(lecture(blocks), encoding="utf-8")
    result = subprocess.run([sys.executable, "-c", PEAK, str(folder), url, str(REPO / "tools")],
                            cwd=workdir, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            text=True, check=True)
    ok, before, after = result.stdout.split()
    assert ok == "True"
    size_mb = (folder / "big.srt").stat().st_size / 2**20
    return float(before), float(after), size_mb


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    args = parser.parse_args()
    from standin_service import StandinService

    workdir = pathlib.Path(tempfile.mkdtemp(prefix="brivane-bench-"))
    os.chdir(workdir)
    for name in ("config.json", "error_terms_library.json"):
        shutil.copy(REPO / "brivane" / name, workdir / name)
    import brivane.brivane as module

    with StandinService() as service:
        windows = 4 if args.quick else 40
        engine_ms, wait_ms = (x * 1000 for x in per_window(module, service.url, workdir, windows))
        print(f"engine time per 50-block window: {engine_ms:.2f} ms "
              f"(service wait {wait_ms:.2f} ms/window, {windows} windows; target <= 2 ms)")
        module.requests = __import__("requests")
        files, blocks = (4, 200) if args.quick else (20, 1000)
        rate, seconds = batch(module, service.url, workdir, files, blocks)
        print(f"batch of {files} files x {blocks} blocks: {rate:,.0f} blocks/s ({seconds:.1f} s end to end)")
        big = 5_000 if args.quick else 100_000
        before, after, size = peak_memory(service.url, workdir, big)
        print(f"one {big:,}-block file ({size:.1f} MB): peak RSS {after:.0f} MB "
              f"(after import {before:.0f} MB, +{after - before:.0f} MB)")
    shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
