"""Batch wall time with several requests in flight, against the stand-in
service answering each request after a fixed latency. Not a test.

Input: the four example lectures plus a generated 1,200-block lecture. For
N = 1, 2, 4, 8, 16 it prints the wall time, the critical path
ceil(windows / N) x latency, their ratio, the most requests the service saw
in flight, and whether the outputs equal those of N = 1. Then the engine's
own time per window, with a service that answers at once.

    .venv/bin/python bench/bench_concurrency.py [--latency 1.0]
"""
from __future__ import annotations

import argparse
import json
import logging
import math
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tools"))
sys.path.insert(0, str(REPO / "bench"))

from bench_pipeline import lecture  # noqa: E402


class Service:
    """The stand-in in a process of its own, so its work does not compete
    with the engine for the interpreter lock."""

    def __init__(self, latency: float, limit: int | None = None):
        limits = ["--concurrency-limit", str(limit)] if limit else []
        self.process = subprocess.Popen(
            [sys.executable, str(REPO / "tools" / "standin_service.py"), "--latency", str(latency),
             *limits], stdout=subprocess.PIPE, text=True)
        self.url = self.process.stdout.readline().rsplit(" ", 1)[1].strip()
        self.stats_url = self.url.rsplit("/", 2)[0] + "/stats"

    def stats(self, reset: bool = False) -> dict:
        request = urllib.request.Request(self.stats_url, method="DELETE" if reset else "GET")
        with urllib.request.urlopen(request) as reply:
            return json.load(reply)

    def close(self) -> None:
        self.process.terminate()
        self.process.wait()


def outputs(out_dir: pathlib.Path, log_dir: pathlib.Path):
    corrected = {p.name: p.read_bytes() for p in sorted(out_dir.glob("*.srt"))}
    logs = [re.sub(r"处理时间: .*", "", p.read_text(encoding="utf-8")) for p in sorted(log_dir.iterdir())]
    return corrected, logs


def run(module, url, work: pathlib.Path, jobs: int, tag: str = "", cache: bool = False):
    out_dir, log_dir = work / f"out-{jobs}{tag}", work / f"logs-{jobs}{tag}"
    engine = module.Brivane("bench-key", str(work / "in"), str(out_dir))
    engine.api_url = url
    engine.config = {**engine.config, "max_concurrent_requests": jobs,
                     "logging": {"log_dir": str(log_dir)},
                     "reply_cache": ".brivane/replies.sqlite3" if cache else None}
    start = time.perf_counter()
    assert engine.process_all_files() is True
    return time.perf_counter() - start, outputs(out_dir, log_dir)


def peak_memory_mb() -> float:
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def course(module, work: pathlib.Path, limit: int, windows: int, latency: float, jobs) -> None:
    """A course of `windows` one-window-per-block lectures (ten files) against a
    service that refuses beyond `limit` in flight, as the real one does."""
    course_in = work / f"course-{windows}"
    course_in.mkdir(exist_ok=True)
    per_file = windows // 10
    for k in range(10):
        (course_in / f"l{k:02d}.srt").write_text(lecture(per_file), encoding="utf-8")
    service = Service(latency, limit)
    try:
        engine = module.Brivane("bench-key", str(course_in), str(work / f"course-out-{windows}-{jobs}"))
        engine.api_url = service.url
        engine.window_size = 1
        engine.config = {**engine.config, "max_concurrent_requests": jobs, "window_size": 1,
                         "max_concurrent_requests_start": 16, "max_concurrent_requests_cap": 512,
                         "logging": {"log_dir": str(work / f"course-logs-{windows}-{jobs}")},
                         "reply_cache": None, "review_report": False}
        peaks = []
        handler = logging.Handler()
        handler.emit = lambda record: peaks.append(record.getMessage())
        module.logger.addHandler(handler)
        module.logger.setLevel(logging.INFO)
        module.logger.propagate = False  # only the peak record is wanted here
        start = time.perf_counter()
        assert engine.process_all_files() is True
        wall = time.perf_counter() - start
        module.logger.removeHandler(handler)
        module.logger.setLevel(logging.ERROR)
        module.logger.propagate = True
        stats = service.stats()
        ideal = math.ceil(windows / limit) * latency + latency
        threads = next((m for m in peaks if m.startswith("并发请求数峰值")), "-")
        print(f"  K={limit:<4} {jobs!s:>5} {windows:>7} {wall:8.2f} {ideal:8.2f} {wall / ideal:6.2f} "
              f"{stats['peak_in_flight']:>5} {stats['refused']:>6} "
              f"({100 * stats['refused'] / max(stats['requests'], 1):.1f}%) {peak_memory_mb():7.0f} MB  {threads}")
    finally:
        service.close()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--latency", type=float, default=1.0, help="seconds per request")
    parser.add_argument("--course-only", action="store_true", help="only the course case")
    args = parser.parse_args()

    work = pathlib.Path(tempfile.mkdtemp(prefix="brivane-concurrency-"))
    os.chdir(work)  # the module writes logs/ into the working directory
    (work / "in").mkdir()
    for path in sorted((REPO / "examples" / "lectures").glob("*.srt")):
        shutil.copy(path, work / "in" / path.name)
    (work / "in" / "zz_long_lecture.srt").write_text(lecture(1200), encoding="utf-8")
    for name in ("config.json", "error_terms_library.json"):
        shutil.copy(REPO / "brivane" / name, work / name)

    import brivane.brivane as module

    logging.getLogger("Brivane").setLevel(logging.ERROR)
    module.print = lambda *args, **kwargs: None  # one printed line per reply otherwise

    print(f"course: 10 lectures, one window per block, service refusing beyond K in flight, "
          f"latency {args.latency:.1f} s")
    print(f"  {'K':<6} {'N':>5} {'windows':>7} {'wall s':>8} {'ideal s':>8} {'ratio':>6} "
          f"{'peak':>5} {'refused':>6}        {'peak RSS':>7}")
    for limit, windows in ((40, 200), (200, 2000)):
        course(module, work, limit, windows, args.latency, "auto")
    course(module, work, 40, 200, args.latency, 8)  # the fixed number of before
    print("  (ideal = ceil(windows / K) x latency + latency; target ratio ≤ 1.25, refusals ≤ 5%)")
    if args.course_only:
        return

    service = Service(args.latency)
    try:
        baseline = None
        print(f"latency {args.latency:.1f} s per request")
        print(f"  {'N':>3} {'wall s':>8} {'critical s':>10} {'ratio':>6} {'most in flight':>15} {'same':>5}")
        for jobs in (1, 2, 4, 8, 16):
            service.stats(reset=True)
            wall, result = run(module, service.url, work, jobs)
            stats = service.stats()
            windows = stats["requests"]
            critical = math.ceil(windows / jobs) * args.latency
            baseline = baseline or result
            print(f"  {jobs:>3} {wall:8.2f} {critical:10.2f} {wall / critical:6.2f} "
                  f"{stats['most_in_flight']:>15} {str(result == baseline):>5}")
        print(f"  ({windows} windows; target ratio ≤ 1.25)")
    finally:
        service.close()

    instant = Service(0.0)  # what is left is the engine's own time
    try:
        for jobs in (1, 8):
            instant.stats(reset=True)
            wall, _ = run(module, instant.url, work, jobs, tag="-instant")
            per_window = wall / instant.stats()["requests"] * 1e3
            print(f"engine time per window, N = {jobs}, service answering at once: "
                  f"{per_window:.2f} ms (with the local HTTP round trip; target ≤ 2 ms)")
        # A rerun with a warm reply cache against the same run with no cache.
        run(module, instant.url, work, 8, tag="-cached", cache=True)
        instant.stats(reset=True)
        warm = min(run(module, instant.url, work, 8, tag="-cached", cache=True)[0] for _ in range(3))
        sent = instant.stats()["requests"]
        fresh = min(run(module, instant.url, work, 8, tag=f"-nocache{k}")[0] for k in range(3))
        print(f"warm-cache rerun: {sent} requests, {warm:.2f} s vs {fresh:.2f} s with no cache "
              f"against a service answering at once: {warm / fresh:.2f}× (target ≤ 1.2)")
    finally:
        instant.close()
    os.chdir(REPO)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
