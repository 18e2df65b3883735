"""Size and time to first paint of the HTML report for large generated trees.

    PYTHONPATH=build/dev/py python bench/bench_html_report.py [--entries 100000 1000000] [--chromium PATH]

The tree is made in memory (objects with a scanned node's attributes), so a
million entries need no million files: folders of 2-40 entries, depths to about
10, file sizes log-normal (median 8 KB, a few large), disk usage rounded up to
4 KB blocks. For each size the report is written and opened in headless
Chromium from file://. Printed: file size, and as its peer the orvalnest JSON
export of the same tree; time to write in Python; time from navigation to the
browser's first contentful paint and to the end of the map's first drawing,
against the first paint of a plain text page of the same byte size.
"""

from __future__ import annotations

import argparse
import io
import math
import os
import random
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

from orvalnest.report.html_report import render_html
from orvalnest.report.json_export import write_json

EXTENSIONS = ["txt", "jpg", "py", "log", "mp3", "zip", "json", "so", "md", "mp4", "png", "pdf", ""]
CATEGORY = {
    "txt": "document", "md": "document", "pdf": "document", "jpg": "image", "png": "image", "py": "code",
    "json": "code", "log": "system", "so": "system", "mp3": "audio", "zip": "archive", "mp4": "video", "": "other",
}  # fmt: skip


@dataclass
class FakeNode:
    name: str
    path: str
    size: int
    disk_usage: int
    is_dir: bool
    category: str
    children: list[FakeNode] = field(default_factory=list)
    is_symlink: bool = False
    is_hardlink: bool = False


@dataclass
class FakeResult:
    root: FakeNode
    issues: list[object] = field(default_factory=list)
    excluded: int = 0


def generate(entries: int, seed: int = 1) -> FakeNode:
    rng = random.Random(seed)
    root = FakeNode("tree", "/bench/tree", 0, 0, True, "directory")
    folders = [(root, 0)]
    made = 0
    while made < entries:
        parent, depth = folders[rng.randrange(len(folders))] if made else (root, 0)
        for _ in range(min(rng.randint(2, 40), entries - made)):
            made += 1
            if depth < 10 and rng.random() < 0.12:
                child = FakeNode(f"dir{made}", f"{parent.path}/dir{made}", 0, 0, True, "directory")
                folders.append((child, depth + 1))
            else:
                ext = rng.choice(EXTENSIONS)
                name = f"file{made}.{ext}" if ext else f"file{made}"
                size = int(math.exp(rng.gauss(9, 2.2)))
                child = FakeNode(name, f"{parent.path}/{name}", size, -(-size // 4096) * 4096, False, CATEGORY[ext])
            parent.children.append(child)
    # Totals bottom-up: a folder's own 4 KB plus its children's.
    for folder, _ in reversed(folders):
        folder.size = 4096 + sum(child.size for child in folder.children)
        folder.disk_usage = 4096 + sum(child.disk_usage for child in folder.children)
    return root


def open_times(browser, url: str) -> tuple[float, float]:
    page = browser.new_page(viewport={"width": 1400, "height": 900})
    page.goto(url, wait_until="load", timeout=120_000)
    drawn = page.evaluate("window.orvalnestTreemap ? window.orvalnestTreemap.drawnAt : NaN")
    page.wait_for_function("performance.getEntriesByName('first-contentful-paint').length > 0", timeout=60_000)
    paint = page.evaluate("performance.getEntriesByName('first-contentful-paint')[0].startTime")
    page.close()
    return drawn, paint


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--entries", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    args = parser.parse_args()
    from playwright.sync_api import sync_playwright

    with tempfile.TemporaryDirectory() as folder, sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=args.chromium, args=["--no-sandbox"])
        for entries in args.entries:
            root = generate(entries)
            started = time.perf_counter()
            page = render_html(root, [])  # type: ignore[arg-type]
            written = time.perf_counter() - started
            report = Path(folder) / f"report-{entries}.html"
            report.write_text(page, encoding="utf-8")
            export = io.StringIO()
            write_json(FakeResult(root), export, 0)  # type: ignore[arg-type]
            json_size = len(export.getvalue().encode("utf-8"))
            # The peer page: the same number of bytes as inert text.
            plain = Path(folder) / f"plain-{entries}.html"
            plain.write_text("<!DOCTYPE html><title>x</title><pre>" + "x" * (report.stat().st_size - 40) + "</pre>")
            drawn, paint = open_times(browser, report.as_uri())
            _, plain_paint = open_times(browser, plain.as_uri())
            size = report.stat().st_size
            print(f"{entries} entries")
            ratio = size / json_size
            print(f"  report        {size / 1e6:6.2f} MB  ({ratio:.3f} x the JSON export, {json_size / 1e6:.1f} MB)")
            print(f"  written in    {written:6.2f} s (Python, tree in memory)")
            print(f"  first paint   {paint / 1000:6.2f} s  (header; the map script still runs)")
            print(f"  map drawn at  {drawn / 1000:6.2f} s  ({drawn / plain_paint:.2f} x the first paint of a plain")
            print(f"                          page of the same size, {plain_paint / 1000:.2f} s)")
        browser.close()


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
