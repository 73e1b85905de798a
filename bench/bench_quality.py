"""Correction quality on the shipped benchmark (bench/quality/): the batch
corrects the sources, then `brivane score` scores its output against the
references. A measurement, not a test.

Without DEEPSEEK_API_KEY (or with --standin) the service is the local
stand-in echoing the text unchanged, so the figures are the glossary's
contribution alone; with the key, the configured service (the packaged
configuration, or --config). It prints the service, the model, the
prompt's hash, the glossary's size and every figure, with punctuation and
without; --append FILE adds the run as one JSON line, so that runs can be
compared over time.

    .venv/bin/python bench/bench_quality.py [--config FILE] [--append results.jsonl]
    .venv/bin/python bench/bench_quality.py --speed     # time to score 1,000 x 1,000 cues
"""
from __future__ import annotations

import argparse
import datetime
import hashlib
import json
import logging
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse

REPO = pathlib.Path(__file__).resolve().parent.parent
DATA = REPO / "bench" / "quality"


class Standin:
    """The stand-in service in a process of its own, echoing every window."""

    def __init__(self, work: pathlib.Path):
        fixes = work / "no_fixes.json"
        fixes.write_text("{}", encoding="utf-8")
        self.process = subprocess.Popen(
            [sys.executable, str(REPO / "tools" / "standin_service.py"), "--substitutions-file", str(fixes)],
            stdout=subprocess.PIPE, text=True)
        self.url = self.process.stdout.readline().rsplit(" ", 1)[1].strip()

    def close(self) -> None:
        self.process.terminate()
        self.process.wait()


def correct(work: pathlib.Path, key: str, config_file, url):
    """Runs the batch on the sources; returns the engine and the output folder."""
    import brivane.brivane as module

    logging.getLogger("Brivane").setLevel(logging.ERROR)
    module.print = lambda *args, **kwargs: None  # one printed line per reply otherwise
    source, output = work / "in", work / "out"
    shutil.copytree(DATA / "source", source)
    settings = {"logging": {"log_dir": str(work / "logs")}, "review_report": True}
    if url is not None:
        settings.update(api_url=url, reply_cache=None)
    engine = module.Brivane(key, str(source), str(output), config_file, settings=settings)
    if engine.process_all_files() is not True:
        raise SystemExit("the batch stopped; see the records above")
    return engine, output


def composition():
    """What the benchmark holds, from the generator's list of errors."""
    manifest = json.loads((DATA / "errors.json").read_text(encoding="utf-8"))
    return manifest["counts"]


def figures_line(total):
    keys = [key for key in total if key not in ("cues",)]
    return ", ".join(f"{key} {_shown(key, total[key])}" for key in keys)


def _shown(key, value):
    if value is None:
        return "—"
    if isinstance(value, float):
        return f"{value * 100:.2f}%"
    return str(value)


def run(args):
    from brivane import score

    key = os.environ.get("DEEPSEEK_API_KEY")
    use_standin = args.standin or not key
    work = pathlib.Path(tempfile.mkdtemp(prefix="brivane-quality-"))
    here = os.getcwd()
    os.chdir(work)  # the module writes logs/ into the working directory
    config_file = os.path.abspath(os.path.join(here, args.config)) if args.config else None
    service = Standin(work) if use_standin else None
    try:
        started = time.perf_counter()
        engine, output = correct(work, "standin-key" if use_standin else key, config_file,
                                 service.url if service else None)
        seconds = time.perf_counter() - started
    finally:
        if service:
            service.close()
    terms = score.known_terms(config_file)
    documents = {punct: score.score(str(DATA / "reference"), str(output), str(DATA / "source"),
                                    terms, punctuation=punct) for punct in (True, False)}
    run_info = {
        "time": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "service": "stand-in (echo)" if use_standin else urllib.parse.urlsplit(engine.api_url).netloc,
        "model": engine.model,
        "prompt_sha256": hashlib.sha256(engine.system_prompt.encode("utf-8")).hexdigest(),
        "glossary_entries": sum(len(entries) for entries in engine.error_terms.values()),
        "known_terms": len(terms),
        "seconds": round(seconds, 2),
        "benchmark": composition(),
    }
    counts = run_info["benchmark"]
    print(f"service {run_info['service']}, model {run_info['model']}, "
          f"prompt sha256 {run_info['prompt_sha256'][:16]}, glossary {run_info['glossary_entries']} entries, "
          f"{run_info['known_terms']} known terms, batch {seconds:.1f} s")
    print(f"benchmark: {counts['cues']} cues, {counts['clean']} without error "
          f"({counts['clean'] / counts['cues']:.0%}); errors put in: "
          + ", ".join(f"{kind} {n}" for kind, n in counts.items() if kind not in ("cues", "clean")))
    print()
    print(score.table(documents[True]))
    for line in score.unpaired_lines(documents[True]):
        print(line)
    print()
    print("total, punctuation counted: " + figures_line(documents[True]["total"]))
    print("total, punctuation ignored: " + figures_line(documents[False]["total"]))
    result = {**run_info, "total": documents[True]["total"], "total_no_punct": documents[False]["total"],
              "files": {entry["file"]: {k: v for k, v in entry.items() if k not in score.ROLES}
                        for entry in documents[True]["files"]}}
    if args.append:
        with open(os.path.join(here, args.append), "a", encoding="utf-8") as stream:
            stream.write(json.dumps(result, ensure_ascii=False) + "\n")
    if args.json:
        pathlib.Path(here, args.json).write_text(
            json.dumps({**result, "score": documents[True]}, ensure_ascii=False, indent=1) + "\n",
            encoding="utf-8")
    if args.html:
        pathlib.Path(here, args.html).write_text(score.html(documents[True]), encoding="utf-8")
    os.chdir(here)
    shutil.rmtree(work, ignore_errors=True)


def speed(lectures=1000, cues=1000):
    """Seconds to score `lectures` lectures of `cues` cues each, with a source."""
    from brivane import score

    work = pathlib.Path(tempfile.mkdtemp(prefix="brivane-score-speed-"))
    lines = [line for path in sorted((DATA / "reference").glob("*.srt"))
             for line in path.read_text(encoding="utf-8").split("\n\n") if line.strip()]
    texts = {"reference": [], "hypothesis": [], "source": []}
    sources = [block for path in sorted((DATA / "source").glob("*.srt"))
               for block in path.read_text(encoding="utf-8").split("\n\n") if block.strip()]
    for k in range(cues):
        stamp = f"{k // 3600:02d}:{k // 60 % 60:02d}:{k % 60:02d},000 --> {k // 3600:02d}:{k // 60 % 60:02d}:{k % 60:02d},900"
        reference = lines[k % len(lines)].split("\n")[2]
        source = sources[k % len(sources)].split("\n")[2]
        # Every third cue of the hypothesis keeps the source's errors.
        for role, text in (("reference", reference), ("source", source),
                           ("hypothesis", source if k % 3 == 0 else reference)):
            texts[role].append(f"{k + 1}\n{stamp}\n{text}\n")
    for role, blocks in texts.items():
        folder = work / role
        folder.mkdir()
        first = folder / "lecture0000.srt"
        first.write_text("\n".join(blocks), encoding="utf-8")
        for n in range(1, lectures):
            os.link(first, folder / f"lecture{n:04d}.srt")
    terms = score.known_terms()
    started = time.perf_counter()
    document = score.score(str(work / "reference"), str(work / "hypothesis"), str(work / "source"), terms)
    seconds = time.perf_counter() - started
    shutil.rmtree(work, ignore_errors=True)
    total = document["total"]
    print(f"scored {len(document['files'])} lectures, {total['cues']} cues ({total['chars']} reference "
          f"characters), with a source and {len(terms)} known terms: {seconds:.1f} s (target < 60 s)")


def main() -> None:
    parser = argparse.ArgumentParser(description="correction quality on bench/quality/")
    parser.add_argument("--config", default=None, help="configuration file (default: the packaged one)")
    parser.add_argument("--standin", action="store_true", help="use the stand-in even with DEEPSEEK_API_KEY set")
    parser.add_argument("--append", default=None, metavar="FILE", help="add the run to a JSON-lines file")
    parser.add_argument("--json", default=None, metavar="FILE", help="write the run and its score as JSON")
    parser.add_argument("--html", default=None, metavar="FILE", help="write the score's page")
    parser.add_argument("--speed", action="store_true", help="time the score on 1,000 lectures of 1,000 cues")
    args = parser.parse_args()
    if args.speed:
        speed()
    else:
        run(args)


if __name__ == "__main__":
    main()
