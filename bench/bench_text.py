"""Times the native text steps against their plain-Python rendering.

    .venv/bin/python bench/bench_text.py [--quick]

(uses the installed package; PYTHONPATH=. picks up a module built in place)

Each step runs at three input sizes so linear growth shows; every run checks
that both sides give identical results. Prints best-of-N times and ratios.
This is a measurement, not a test: nothing here fails on a slow machine.
"""

import argparse
import logging
import os
import pathlib
import random
import shutil
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))

import text_reference as ref  # noqa: E402

LINES = [
    "血氨升高提示肝功能受损", "患者出现心房颤动", "给予阿莫西林克拉维酸钾", "CT显示右肺下叶结节",
    "白细胞计数一万二", "这是今天要讲的内容", "  缩进的一行", "乙型肝炎病毒DNA定量", "我们来看下一张片子",
    "幽门螺杆菌感染", "血压一百四十over九十", "注意观察尿量变化",
]


def stamp(ms):
    h, ms = divmod(ms, 3_600_000)
    m, ms = divmod(ms, 60_000)
    s, ms = divmod(ms, 1000)
    return f"{h:02d}:{m:02d}:{s:02d},{ms:03d}"


def srt_text(count, rng, notes=False):
    blocks = []
    for i in range(1, count + 1):
        lines = [rng.choice(LINES) for _ in range(rng.randint(1, 2))]
        if notes and rng.random() < 0.03:
            lines[0] += rng.choice(["（注：原文为血案）", "(注:同音误识)", "【修正为血氨】", "（保持原文不变）"])
        if notes and rng.random() < 0.01:
            lines.append("说明：此处为术语修正")
        blocks.append(f"{i}\n{stamp(i * 2000)} --> {stamp(i * 2000 + 1500)}\n" + "\n".join(lines))
    return blocks


def reply_of_size(target_bytes, rng):
    """A model reply: preamble, blocks with occasional notes, runs of empty
    lines, and a change list at the end."""
    blocks = srt_text(target_bytes // 75, rng, notes=True)
    body = "".join(b + rng.choice(["\n\n", "\n\n", "\n\n\n"]) for b in blocks)
    return "以下是校正后的字幕：\n\n" + body + "修正说明：\n1. 血案→血氨\n2. 房颤→心房颤动\n"


def library_of_size(entries, rng):
    chars = "血氨肝功能心房颤动阿莫西林克拉维酸钾肺结节白细胞乙型病毒幽门螺杆菌尿量压力素酶激"
    library = {c: [] for c in ref.CATEGORIES}
    present = sorted({w for line in LINES for w in (line[:2], line[2:4])})
    for k in range(entries):
        if k % 97 == 0:
            wrong = rng.choice(present)
        else:
            wrong = "".join(rng.choice(chars) for _ in range(rng.randint(2, 5)))
        right = "".join(rng.choice(chars) for _ in range(rng.randint(2, 5)))
        arrow = rng.choice(["→", "->", " -> ", " → "])
        library[ref.CATEGORIES[k % len(ref.CATEGORIES)]].append(f"{wrong}{arrow}{right}")
    return library


def best(fn, repeat, fresh=None):
    """Best of `repeat` runs. `fresh()` makes the argument anew for each run,
    so no run profits from state cached on the previous run's objects."""
    times, result = [], None
    for _ in range(repeat):
        args = (fresh(),) if fresh else ()
        result = None  # free the previous result outside the timed region
        t0 = time.perf_counter()
        result = fn(*args)
        times.append(time.perf_counter() - t0)
    return min(times), result


class Quiet:
    """A log sink for the plain rendering (the native side's logger is set
    to drop these records too)."""

    def debug(self, m): pass
    def info(self, m): pass
    def warning(self, m): pass
    def error(self, m): pass


def report(rows, title, unit, target, extra=None, bound=False):
    """rows: (size, label, native s, plain s, extra s or None). `extra` names
    a host-side cost shown beside; with `bound` it is a lower bound for any
    implementation, and the best ratio it leaves is shown too."""
    print(f"\n{title}  (target ≥ {target}×)")
    head = f"  {'size':>14} {'native ms':>10} {'plain ms':>10} {'ratio':>7} {'native ns/' + unit:>14}"
    if extra:
        head += f" {extra[0]:>9}" + (f" {'max ratio':>9} {'÷ floor':>8}" if bound else "")
    print(head)
    for size, label, native, plain, cost in rows:
        line = (f"  {label:>14} {native * 1e3:10.2f} {plain * 1e3:10.2f} {plain / native:7.1f}"
                f" {native / size * 1e9:14.1f}")
        if extra:
            line += f" {cost * 1e3:9.2f}" + (f" {plain / cost:9.1f} {native / cost:8.2f}" if bound else "")
        print(line)
    if extra:
        print(f"  {extra[0]}: {extra[1]}")
    if bound:
        print(f"  ÷ floor: native time over the floor (target ≤ {bound})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, one repeat")
    args = parser.parse_args()
    scale = 10 if args.quick else 1
    repeat = 1 if args.quick else 3

    work = pathlib.Path(tempfile.mkdtemp(prefix="brivane-bench-"))
    os.chdir(work)  # the module writes logs/ into the working directory
    import brivane.brivane as native_module

    logging.getLogger("Brivane").setLevel(logging.ERROR)
    engine = native_module.Brivane("bench", str(work / "in"), str(work / "out"))
    quiet = Quiet()
    rng = random.Random(20240501)

    # SRT files: parse and write.
    parse_rows, write_rows = [], []
    for count in (25_000 // scale, 50_000 // scale, 100_000 // scale):
        path = work / f"in_{count}.srt"
        path.write_text("\n\n".join(srt_text(count, rng)) + "\n", encoding="utf-8")
        t_native, native = best(lambda: engine.parse_srt(str(path)), repeat)
        t_plain, plain = best(lambda: ref.parse_srt(str(path), quiet), repeat)
        assert native == plain
        t_read, _ = best(lambda: open(path, encoding="utf-8").read(), repeat)
        parse_rows.append((count, f"{count} blocks", t_native, t_plain, t_read))
        out_n, out_p = work / "out_native.srt", work / "out_plain.srt"
        # Writes are short and the disk is noisy: more runs for a stable best.
        t_native, ok_n = best(lambda: engine.write_srt(native, str(out_n)), repeat * 5)
        t_plain, ok_p = best(lambda: ref.write_srt(plain, str(out_p), quiet), repeat)
        assert ok_n and ok_p and out_n.read_bytes() == out_p.read_bytes()
        whole = out_p.read_text(encoding="utf-8")

        def write_whole():
            with open(work / "out_floor.srt", "w", encoding="utf-8") as f:
                f.write(whole)

        floor, _ = best(write_whole, repeat * 5)
        write_rows.append((count, f"{count} blocks", t_native, t_plain, floor))
    report(parse_rows, "parse_srt", "block", 5,
           ("read ms", "the host's open+read of the file, paid by both sides"))
    report(write_rows, "write_srt", "block", 3,
           ("floor ms", "one host text-mode write of the finished file content "
                        "(encode + write + close), paid by any implementation"), bound=1.25)

    # Model replies: annotation stripping and block extraction.
    remove_rows, extract_rows = [], []
    for size in (256 * 1024 // scale, 512 * 1024 // scale, 1024 * 1024 // scale):
        reply = reply_of_size(size, rng)
        nbytes = len(reply.encode())
        label = f"{nbytes / 1024:.0f} KiB"
        fresh = lambda: reply.encode().decode()  # noqa: E731
        t_native, native = best(engine.remove_annotations, repeat, fresh)
        t_plain, plain = best(lambda t: ref.remove_annotations(t, quiet), repeat, fresh)
        assert native == plain
        remove_rows.append((nbytes, label, t_native, t_plain, None))
        cleaned = native
        fresh = lambda: cleaned.encode().decode()  # noqa: E731
        t_native, native = best(engine.extract_blocks_from_text, repeat, fresh)
        t_plain, plain = best(lambda t: ref.extract_blocks_from_text(t, quiet), repeat, fresh)
        assert native == plain
        extract_rows.append((nbytes, label, t_native, t_plain, None))
    report(remove_rows, "remove_annotations", "byte", 10)
    report(extract_rows, "extract_blocks_from_text", "byte", 5)

    # Term replacement: one 50-block window against libraries of three sizes.
    window = "\n\n".join(srt_text(50, rng))
    term_rows = []
    for entries in (1250, 2500, 5000):
        library = library_of_size(entries, rng)
        engine.error_terms = library
        fresh = lambda: window.encode().decode()  # noqa: E731
        t_native, native = best(engine.apply_term_corrections, repeat * 5, fresh)
        t_plain, plain = best(lambda t: ref.apply_term_corrections(t, library, quiet), repeat * 5, fresh)
        assert native == plain
        term_rows.append((entries, f"{entries} entries", t_native, t_plain, None))
    report(term_rows, f"apply_term_corrections ({len(window.encode())} B window)", "entry", 3)
    print("\nall outputs identical")
    os.chdir(REPO)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
