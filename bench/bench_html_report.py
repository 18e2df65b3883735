"""The HTML report of a large tree: time to write it, its size, and its first paint in a browser.

    PYTHONPATH=build/dev/py python bench/bench_html_report.py [--entries 1000000] [--base DIR] [--chromium PATH]

A tree of --entries entries is generated on disk as bench_scan.py shapes them
(one folder per 25 entries, 80% empty files), measured once, and deleted after
the run (the machine's inodes are shared). Printed: the time to write the page
(ranking, trimming to the best 200,000 entries and the page around them),
beside the JSON export of the same tree written in the same run, with their
sizes; then the page opened from file:// in headless Chromium: the time to the
browser's first contentful paint and to the end of the map's first drawing,
against the first paint of a plain text page of the same byte size.
Target: the page of a million entries written in under 2 s.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any, TextIO

sys.path.insert(0, str(Path(__file__).parent))
from bench_tree import generated  # noqa: E402

from orvalnest import measure  # noqa: E402
from orvalnest.report.exports import write_json  # noqa: E402
from orvalnest.report.html_report import write_html  # noqa: E402

HERE = Path(__file__).resolve().parent


def open_times(browser: Any, url: str) -> tuple[float, float]:
    page = browser.new_page(viewport={"width": 1400, "height": 900})
    page.goto(url, wait_until="load", timeout=120_000)
    drawn = page.evaluate("window.orvalnestTreemap ? window.orvalnestTreemap.drawnAt : NaN")
    page.wait_for_function("performance.getEntriesByName('first-contentful-paint').length > 0", timeout=60_000)
    paint = page.evaluate("performance.getEntriesByName('first-contentful-paint')[0].startTime")
    page.close()
    return drawn, paint


def written(write: Callable[[TextIO], None], target: Path) -> float:
    """Seconds to write one export, best of three."""
    best = float("inf")
    for _ in range(3):
        with open(target, "w", encoding="utf-8") as stream:
            started = time.perf_counter()
            write(stream)
            stream.flush()
            best = min(best, time.perf_counter() - started)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, default=1_000_000)
    parser.add_argument("--base", type=Path, default=HERE.parent / "build" / "bench-trees")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    args = parser.parse_args()
    args.base.mkdir(parents=True, exist_ok=True)
    root = generated(args.base, args.entries)
    try:
        tree = measure(root)
    finally:
        shutil.rmtree(root)
    with tempfile.TemporaryDirectory() as folder:
        page, export = Path(folder) / "report.html", Path(folder) / "scan.json"
        page_seconds = written(lambda stream: write_html(tree.root, stream), page)
        json_seconds = written(lambda stream: write_json(tree.root, stream), export)
        size, json_size = page.stat().st_size, export.stat().st_size
        print(f"{len(tree)} entries, best of 3 writes")
        verdict = "met" if page_seconds < 2 else "NOT met"
        print(f"  page written in   {page_seconds:6.2f} s  ({size / 1e6:.1f} MB; target under 2 s: {verdict})")
        print(f"  JSON export in    {json_seconds:6.2f} s  ({json_size / 1e6:.1f} MB, the whole tree)")
        from playwright.sync_api import sync_playwright

        # The peer page: the same number of bytes as inert text.
        plain = Path(folder) / "plain.html"
        plain.write_text("<!DOCTYPE html><title>x</title><pre>" + "x" * (size - 40) + "</pre>")
        with sync_playwright() as playwright:
            browser = playwright.chromium.launch(executable_path=args.chromium, args=["--no-sandbox"])
            drawn, paint = open_times(browser, page.as_uri())
            _, plain_paint = open_times(browser, plain.as_uri())
            browser.close()
        print(f"  first paint       {paint / 1000:6.2f} s  (header; the map script still runs)")
        print(f"  map drawn at      {drawn / 1000:6.2f} s  ({drawn / plain_paint:.2f} x the first paint of a plain")
        print(f"                             page of the same size, {plain_paint / 1000:.2f} s)")


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
