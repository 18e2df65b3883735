"""Opening a saved scan against scanning again, and its size against ncdu's export, in one run:

    PYTHONPATH=build/dev/py python bench/bench_saved.py [--entries N] [--repeat R] [--base DIR]

On a generated tree of --entries entries (shaped as bench_scan.py makes them):
- open_scan() of its saved scan against measure() of the tree on a warm cache,
  with 1 and 2 threads, and against open_scan() of ncdu's export of it;
- the saved scan's size against `ncdu -o`'s export and orvalnest's JSON export.

The tree goes under --base and is deleted after the run (the machine's inodes are shared).
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from bench_scan import rotation_medians  # noqa: E402
from bench_tree import generated  # noqa: E402

import orvalnest  # noqa: E402
from orvalnest.report.exports import write_json  # noqa: E402


def timed(call: object) -> float:
    start = time.perf_counter()
    call()  # type: ignore[operator]
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--base", default=tempfile.gettempdir())
    args = parser.parse_args()
    base = Path(args.base)
    root = generated(base, args.entries)
    work = Path(tempfile.mkdtemp(dir=base, prefix="orvalnest-saved-"))
    try:
        tree = orvalnest.measure(root)
        saved, ncdu, json = work / "tree.scan", work / "tree.ncdu.json", work / "tree.json"
        orvalnest.save_scan(tree, saved)
        subprocess.run(["ncdu", "-o", str(ncdu), str(root)], check=True, capture_output=True)
        with open(json, "w", encoding="utf-8") as stream:
            write_json(tree.root, stream)
        opened = orvalnest.open_scan(saved)
        assert (opened.entries, opened.root.disk_usage) == (tree.entries, tree.root.disk_usage)
        assert orvalnest.open_scan(ncdu).root.disk_usage == tree.root.disk_usage
        del tree, opened
        times = rotation_medians(
            {
                "open_scan(saved scan)": lambda: orvalnest.open_scan(saved),
                "measure(tree), 1 thread": lambda: orvalnest.measure(root, threads=1),
                "measure(tree), 2 threads": lambda: orvalnest.measure(root, threads=2),
                "open_scan(ncdu export)": lambda: orvalnest.open_scan(ncdu),
            },
            args.repeat,
            timed,
        )
        opening = times["open_scan(saved scan)"]
        print(f"\n{args.entries} entries, warm cache, median of {args.repeat}")
        for name, seconds in times.items():
            print(f"  {name:<28} {seconds * 1000:9.1f} ms  {seconds / opening:7.1f}x the saved scan's opening")
        sizes = {"saved scan": saved, "ncdu -o export": ncdu, "orvalnest JSON export": json}
        saved_size = saved.stat().st_size
        print("file sizes")
        for name, path in sizes.items():
            size = path.stat().st_size
            print(
                f"  {name:<28} {size / 2**20:9.1f} MiB  {size / args.entries:6.1f} B/entry  {size / saved_size:5.2f}x"
            )
    finally:
        shutil.rmtree(work)
        shutil.rmtree(root)
        os.sync()


if __name__ == "__main__":
    main()
