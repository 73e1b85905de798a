"""What the review report costs, and how its page of a long lecture behaves
in headless Chromium. Not a test.

1. A 20,000-block lecture (the sample lectures' texts over and over) corrected against the stand-in answering at once
   (so what is measured is the engine's own work plus the local HTTP round
   trip), with the report off and on, best of three each; and the time spent
   inside the report's own Python (collecting and writing), as a share of
   the batch without the report.
2. That lecture's page opened in Chromium: time to the rendered rows, then
   each filter and a search, each to the next painted frame.

    .venv/bin/python bench/bench_review.py [--blocks 20000]
"""
from __future__ import annotations

import argparse
import logging
import os
import pathlib
import shutil
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "bench"))

from bench_concurrency import Service  # noqa: E402


def lecture(count: int, shift: int = 0) -> str:
    """`count` blocks whose texts cycle through the sample lectures (from the
    `shift`-th text on), so the share of blocks the stand-in and the glossary
    edit is a real lecture's."""
    texts = []
    for path in sorted((REPO / "examples" / "lectures").glob("*.srt")):
        for block in path.read_text(encoding="utf-8").strip().split("\n\n"):
            texts.append("\n".join(block.split("\n")[2:]))
    blocks = []
    for i in range(1, count + 1):
        s = i * 2
        stamp = f"{s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d}"
        blocks.append(f"{i}\n{stamp},000 --> {stamp},900\n{texts[(i + shift) % len(texts)]}")
    return "\n\n".join(blocks) + "\n"


def timed_report_methods(review):
    """Adds up the time spent in the report's own methods."""
    spent = [0.0]
    for name in ("add_file", "write"):
        original = getattr(review.Report, name)

        def timed(*args, _original=original, **kwargs):
            start = time.perf_counter()
            try:
                return _original(*args, **kwargs)
            finally:
                spent[0] += time.perf_counter() - start

        setattr(review.Report, name, timed)
    return spent


def batch(module, url, work, report, tag):
    engine = module.Brivane("bench-key", str(work / "in"), str(work / f"out-{tag}"))
    engine.api_url = url
    engine.config = {**engine.config, "review_report": report, "reply_cache": None,
                     "logging": {"log_dir": str(work / f"logs-{tag}")}}
    start = time.perf_counter()
    assert engine.process_all_files() is True
    return time.perf_counter() - start


PAGE_TIMINGS = """
const done = arguments[arguments.length - 1];
const frame = () => new Promise(r => requestAnimationFrame(() => setTimeout(r, 0)));
(async () => {
  const out = {};
  const click = async (filter) => {
    const t = performance.now();
    document.querySelector(`.filters button[data-filter="${filter}"]`).click();
    document.body.offsetHeight;
    await frame();
    out[filter] = performance.now() - t;
  };
  await click("changed"); await click("flagged"); await click("all");
  const search = document.getElementById("search");
  search.value = "心衰";
  const t = performance.now();
  search.dispatchEvent(new Event("input"));
  await new Promise(r => setTimeout(r, 130));  // the debounce
  document.body.offsetHeight;
  await frame();
  out.search = performance.now() - t - 130;
  out.shown = document.getElementById("shown").textContent;
  done(out);
})();
"""


def page_timings(page: pathlib.Path):
    from selenium import webdriver
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1366,900"):
        options.add_argument(argument)
    driver = webdriver.Chrome(options=options,
                              service=webdriver.ChromeService(shutil.which("chromedriver")))
    try:
        results = []
        for _ in range(3):
            driver.get("about:blank")
            start = time.perf_counter()
            driver.get(page.as_uri())
            WebDriverWait(driver, 30).until(
                lambda d: d.find_elements(By.CSS_SELECTOR, "body[data-ready]"))
            driver.execute_script("return new Promise(r => requestAnimationFrame(() => r()))")
            opened = time.perf_counter() - start
            driver.set_script_timeout(30)
            results.append((opened, driver.execute_async_script(PAGE_TIMINGS)))
        return min(results, key=lambda r: r[0])
    finally:
        driver.quit()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--blocks", type=int, default=20000)
    args = parser.parse_args()
    work = pathlib.Path(tempfile.mkdtemp(prefix="brivane-review-bench-"))
    os.chdir(work)  # the module writes logs/ into the working directory
    (work / "in").mkdir()
    (work / "in" / "long_lecture.srt").write_text(lecture(args.blocks), encoding="utf-8")
    for name in ("config.json", "error_terms_library.json"):
        shutil.copy(REPO / "brivane" / name, work / name)

    import brivane.brivane as module
    from brivane import review

    logging.getLogger("Brivane").setLevel(logging.ERROR)
    module.print = lambda *args, **kwargs: None
    spent = timed_report_methods(review)
    service = Service(0.0)
    try:
        off, on, inside = [], [], []
        for k in range(3):
            off.append(batch(module, service.url, work, False, f"off{k}"))
            spent[0] = 0.0
            on.append(batch(module, service.url, work, True, f"on{k}"))
            inside.append(spent[0])
    finally:
        service.close()
    engine = min(off)
    print(f"{args.blocks} blocks, service answering at once (best of 3):")
    print(f"  batch without the report: {engine:.3f} s")
    print(f"  batch with the report:    {min(on):.3f} s  ({(min(on) - engine) / engine:+.1%})")
    print(f"  inside the report's own Python: {min(inside):.3f} s = "
          f"{min(inside) / engine:.1%} of the batch without it (target ≤ 5 %)")
    page = next((work / "out-on0" / "review").glob("long_lecture*.html"))
    print(f"  page size: {page.stat().st_size / 1e6:.1f} MB")
    if shutil.which("chromium") and shutil.which("chromedriver"):
        opened, timings = page_timings(page)
        print(f"page in headless Chromium (best of 3 openings; target < 2 s each):")
        print(f"  open to rendered rows: {opened:.2f} s")
        for name in ("changed", "flagged", "all", "search"):
            print(f"  {name:>8}: {timings[name] / 1e3:.3f} s")
        print(f"  after the search: {timings['shown']}")
    os.chdir(REPO)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
