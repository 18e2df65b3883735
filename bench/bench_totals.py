"""Disk-usage and apparent totals of the same folders by orvalnest, du, ncdu and gdu, side by side:

    PYTHONPATH=build/dev/py python bench/bench_totals.py [PATH ...]   (default /usr /usr/share)

orvalnest's figures are the root Entry's disk_usage and apparent_size of
measure(); du's are `du -sB1` and `du -sb`; gdu's are its non-interactive
summary in bytes (`-n -s --no-prefix`, with `-a` for apparent); ncdu's are
summed from its export (`ncdu -o`), each hard-linked inode once, as ncdu's
own total counts it. Not a timing: the figures must agree to the byte where
the tools mean the same thing.
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from orvalnest import measure


def orvalnest_totals(path: str) -> tuple[int, int]:
    root = measure(path).root
    return root.disk_usage, root.apparent_size


def du_totals(path: str) -> tuple[int, int]:
    def one(*flags: str) -> int:
        out = subprocess.run(["du", "-s", *flags, path], capture_output=True, text=True).stdout
        return int(out.split()[0])

    return one("-B1"), one("-b")


def gdu_totals(path: str) -> tuple[int, int] | None:
    if shutil.which("gdu") is None:
        return None

    def one(*flags: str) -> int:
        out = subprocess.run(["gdu", "-n", "-p", "-s", "--no-prefix", *flags, path], capture_output=True, text=True)
        return int(out.stdout.split()[0])

    return one(), one("-a")


def ncdu_totals(path: str) -> tuple[int, int] | None:
    if shutil.which("ncdu") is None:
        return None
    with tempfile.TemporaryDirectory() as scratch:
        export = Path(scratch) / "ncdu.json"
        subprocess.run(["ncdu", "-o", str(export), path], capture_output=True, check=True)
        data = json.loads(export.read_bytes().decode("utf-8", "surrogateescape"))
    disk = apparent = 0
    seen: set[tuple[int, int]] = set()
    stack = [data[3]]
    while stack:
        item = stack.pop()
        info = item[0] if isinstance(item, list) else item
        if isinstance(item, list):
            stack.extend(item[1:])
        if info.get("excluded") or info.get("read_error") and "asize" not in info:
            continue
        if info.get("hlnkc"):
            key = (info.get("dev", 0), info["ino"])
            if key in seen:
                continue
            seen.add(key)
        disk += info.get("dsize", 0)
        apparent += info.get("asize", 0)
    return disk, apparent


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="*", default=["/usr", "/usr/share"])
    args = parser.parse_args()
    tools = [("orvalnest", orvalnest_totals), ("du", du_totals), ("ncdu", ncdu_totals), ("gdu", gdu_totals)]
    for path in args.paths:
        print(f"{path}")
        print(f"  {'tool':<10} {'disk usage':>16} {'apparent':>16}")
        reference = None
        for name, totals in tools:
            figures = totals(path)
            if figures is None:
                print(f"  {name:<10} {'(not installed)':>16}")
                continue
            reference = reference or figures
            marks = ["" if value == expected else " *" for value, expected in zip(figures, reference, strict=True)]
            print(f"  {name:<10} {figures[0]:>16,}{marks[0]:2} {figures[1]:>16,}{marks[1]:2}")
        print("  (* differs from orvalnest)")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
