"""A batch stopped by a failing service, with requests in flight, ends the
process with its status: no worker outlives the interpreter's finalisation."""
import json
import os
import subprocess
import sys

from conftest import REPO, make_srt

from standin_service import behaviours as b

PROCESSES, BATCHES_EACH = 10, 10  # 100 stopped batches, 10 exits with fetches in flight

CHILD = """
import json, sys, time, types
from brivane import brivane as m
m.time = types.SimpleNamespace(sleep=lambda s: time.sleep(0.01))  # short real pauses
m.logger.parent.handlers[-1].setLevel(100)  # the console stays quiet
for batch in range(int(sys.argv[1])):
    engine = m.Brivane("sk-test", "input", f"output{batch}", "config.json")
    assert engine.process_all_files() is False
"""


def test_stopped_batches_never_die_at_exit(standin, tmp_path, package_root):
    standin.reset()
    standin.default = b.content_null()
    children = []
    for k in range(PROCESSES):
        work = tmp_path / str(k)
        (work / "input").mkdir(parents=True)
        for name in ("a", "b"):
            (work / "input" / f"{name}.srt").write_text(make_srt(8), encoding="utf-8")
        (work / "config.json").write_text(json.dumps({
            "api_url": standin.url, "model": "m", "window_size": 2, "max_concurrent_requests": 8,
            "logging": {"enable_subtitle_logs": False}}), encoding="utf-8")
        env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(package_root), str(REPO / "tools")])}
        with open(work / "stderr", "wb") as err:
            children.append((work, subprocess.Popen([sys.executable, "-c", CHILD, str(BATCHES_EACH)],
                                                    cwd=work, env=env, stdout=subprocess.DEVNULL,
                                                    stderr=err)))
        if len(children) >= 2:  # two at a time, one per core
            children[-2][1].wait(timeout=120)
    ended = [(child.wait(timeout=120), work) for work, child in children]
    assert [(code, (work / "stderr").read_text(encoding="utf-8", errors="replace")[-500:])
            for code, work in ended if code != 0] == []
    standin.reset()
