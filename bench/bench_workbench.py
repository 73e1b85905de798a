"""What the review workbench costs on a 20,000-block lecture. Not a test.

A lecture corrected against the stand-in (report on), then served by the
workbench and driven in headless Chromium:
  open        navigation to the rendered rows (best of 3)
  filter      需关注 and 已修改, each to the next painted frame
  decision    key `a` on a row to the saved state shown (the POST and SQLite
              write included), median of 20
  restart     a new server, and the page opened with its decisions
  export      `<name>_reviewed.srt` and the summary, with 2,000 decisions

    .venv/bin/python bench/bench_workbench.py [--blocks 20000] [--screenshot docs/workbench.png]

--screenshot instead takes the README's picture: a 40-block lecture with a
few decisions and a generated audio track.
"""
from __future__ import annotations

import argparse
import logging
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time
import wave

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "bench"))

from bench_concurrency import Service  # noqa: E402
from bench_review import batch, lecture  # noqa: E402

FILTER = """
const done = arguments[arguments.length - 1];
const frame = () => new Promise(r => requestAnimationFrame(() => setTimeout(r, 0)));
(async () => {
  const out = {};
  for (const filter of ["flagged", "changed", "all"]) {
    const t = performance.now();
    document.querySelector(`.filters button[data-filter="${filter}"]`).click();
    document.body.offsetHeight;
    await frame();
    out[filter] = performance.now() - t;
  }
  done(out);
})();
"""

DECISION = """
const done = arguments[arguments.length - 1];
const k = arguments[0];
const row = document.getElementById("block-" + k);
row.focus();
const status = document.getElementById("status");
status.textContent = "";
// Reaching the row (j / k) is not part of the decision: its layout settles first.
requestAnimationFrame(() => requestAnimationFrame(() => setTimeout(decide, 0)));
function decide() {
  const t = performance.now();
  row.dispatchEvent(new KeyboardEvent("keydown", {key: "a", bubbles: true}));
  const poll = () => {
    if (status.textContent.startsWith("已保存") && row.dataset.decision === "accept") {
      requestAnimationFrame(() => done(performance.now() - t));  // shown, not only set
    } else if (status.textContent.includes("失败")) done(-1);
    else setTimeout(poll, 1);
  };
  poll();
}
"""


def chromium(width=1400, height=900):
    from selenium import webdriver

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", f"--window-size={width},{height}",
                     "--autoplay-policy=no-user-gesture-required", "--hide-scrollbars"):
        options.add_argument(argument)
    return webdriver.Chrome(options=options, service=webdriver.ChromeService(shutil.which("chromedriver")))


def open_timed(driver, url):
    from selenium.webdriver.support.ui import WebDriverWait

    driver.get("about:blank")
    start = time.perf_counter()
    driver.get(url)
    WebDriverWait(driver, 60).until(lambda d: d.execute_script("return document.body.dataset.ready"))
    driver.execute_script("return new Promise(r => requestAnimationFrame(() => r()))")
    return time.perf_counter() - start


def corrected_batch(work, blocks, module, service):
    (work / "in").mkdir()
    (work / "in" / "long_lecture.srt").write_text(lecture(blocks), encoding="utf-8")
    for name in ("config.json", "error_terms_library.json"):
        shutil.copy(REPO / "brivane" / name, work / name)
    seconds = batch(module, service.url, work, True, "on")
    return work / "out-on", seconds


def measure(args, work, module, service):
    from brivane import workbench
    from brivane.changes import load_batch
    from brivane.decisions import Decisions
    from brivane.export import export, summary_message

    output, seconds = corrected_batch(work, args.blocks, module, service)
    print(f"{args.blocks} blocks (batch with the report: {seconds:.2f} s)")
    bench = workbench.Workbench(str(output), "bench").start()
    driver = chromium()
    try:
        page = bench.url.replace("index.html", "long_lecture.html")
        opened = min(open_timed(driver, page) for _ in range(3))
        driver.set_script_timeout(60)
        filters = driver.execute_async_script(FILTER)
        step = max(1, args.blocks // 20)
        rounds = [driver.execute_async_script(DECISION, k) for k in range(0, args.blocks, step)][:20]
        assert min(rounds) >= 0, rounds
        bench.close()
        bench = workbench.Workbench(str(output), "bench").start()
        restarted = open_timed(driver, bench.url.replace("index.html", "long_lecture.html"))
        saved = driver.execute_script("return document.querySelectorAll('#rows .row.reviewed').length")
        assert saved == len(rounds), saved
    finally:
        driver.quit()
        bench.close()
    store = Decisions(str(output))
    file = load_batch(str(output))["files"][0]
    start = time.perf_counter()
    for position in range(0, min(2000, args.blocks)):
        store.set(file, position, ("accept", "reject", "edit")[position % 3],
                  "审阅后的文本" if position % 3 == 2 else None, "bench")
    stored = time.perf_counter() - start
    start = time.perf_counter()
    summary = export(str(output), store)
    exported = time.perf_counter() - start
    store.close()
    print(f"  open (through the workbench, best of 3): {opened:.2f} s")
    print(f"  filter 需关注 / 已修改 / 全部: {filters['flagged'] / 1e3:.3f} / "
          f"{filters['changed'] / 1e3:.3f} / {filters['all'] / 1e3:.3f} s")
    print(f"  decision round trip (key to saved, median of {len(rounds)}): "
          f"{statistics.median(rounds):.1f} ms (max {max(rounds):.1f} ms)")
    print(f"  reopen after a server restart, decisions shown: {restarted:.2f} s")
    print(f"  2,000 decisions stored directly: {stored:.2f} s")
    print(f"  export ({summary_message(summary)}): {exported:.3f} s")


def screenshot(path, work, module, service):
    from selenium.webdriver.common.by import By

    from brivane import workbench
    from brivane.changes import load_batch
    from brivane.decisions import Decisions

    output, _ = corrected_batch(work, 40, module, service)
    media = work / "media"
    media.mkdir()
    with wave.open(str(media / "long_lecture.wav"), "wb") as audio:
        audio.setnchannels(1), audio.setsampwidth(1), audio.setframerate(8000)
        audio.writeframes(b"\x80" * 8000 * 90)
    store = Decisions(str(output))
    file = load_batch(str(output))["files"][0]
    changed = [k for k, block in enumerate(file["blocks"]) if block["final"] != block["sent"]]
    for k, action in zip(changed, ("accept", "reject", "edit", "reviewed")):
        text = file["blocks"][k]["final"].replace("，", "，（审阅改）", 1) if action == "edit" else None
        store.set(file, k, action, text, "王医生")
    store.close()
    bench = workbench.Workbench(str(output), "王医生", str(media)).start()
    driver = chromium(1500, 1000)
    try:
        open_timed(driver, bench.url.replace("index.html", "long_lecture.html"))
        driver.find_element(By.TAG_NAME, "body").send_keys("j" * 22)
        driver.execute_script("window.scrollTo(0, document.getElementById('block-14').offsetTop)")
        time.sleep(0.5)
        driver.save_screenshot(str(path))
    finally:
        driver.quit()
        bench.close()
    print(f"saved {path}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--blocks", type=int, default=20000)
    parser.add_argument("--screenshot", type=pathlib.Path, default=None)
    args = parser.parse_args()
    shot = args.screenshot.resolve() if args.screenshot else None
    work = pathlib.Path(tempfile.mkdtemp(prefix="brivane-workbench-bench-"))
    os.chdir(work)  # the module writes logs/ into the working directory
    import brivane.brivane as module

    logging.getLogger("Brivane").setLevel(logging.ERROR)
    module.print = lambda *args, **kwargs: None
    service = Service(0.0)
    try:
        if shot:
            screenshot(shot, work, module, service)
        else:
            measure(args, work, module, service)
    finally:
        service.close()
        os.chdir(REPO)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
