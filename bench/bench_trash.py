"""Times the cleaner's per-path cost: a dry run over N paths, and trashing N
items that all share one name.

    PYTHONPATH=build/dev/py python bench/bench_trash.py [--paths N] [--same N] [--repeat R]

Everything happens in a temporary folder with HOME and XDG_DATA_HOME pointed
into it, so the real trash is never touched. The dry run requests a mix of
files and folders at depths 1 to 4 (a quarter of them folders); it prints the
median time and the cost per path. The same-name run moves --same files called
"x.txt" from separate folders into the (temporary) home trash.
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from pathlib import Path


def build_tree(root: Path, count: int) -> list[str]:
    paths = []
    for i in range(count):
        folder = root / f"d{i % 50}" / f"e{i % 7}" / f"f{i % 3}"
        folder.mkdir(parents=True, exist_ok=True)
        if i % 4 == 0:
            item = folder / f"dir{i}"
            item.mkdir()
        else:
            item = folder / f"file{i}.txt"
            item.write_bytes(b"")
        paths.append(str(item))
    return paths


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--paths", type=int, default=10000)
    parser.add_argument("--same", type=int, default=10000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="orvalnest-bench-") as base:
        base_path = Path(base)
        os.environ["HOME"] = str(base_path / "home")
        os.environ["XDG_DATA_HOME"] = str(base_path / "home" / ".local" / "share")
        from orvalnest._native import Cleaner

        root = base_path / "root"
        paths = build_tree(root, args.paths)
        cleaner = Cleaner(str(root), str(base_path / "audit"))
        times = []
        for _ in range(args.repeat):
            started = time.perf_counter()
            report = cleaner.trash(paths, dry_run=True)
            times.append(time.perf_counter() - started)
            assert report.ok, report.failed[:3]
        median = statistics.median(times)
        print(
            f"dry run      {args.paths} paths: {median:.3f} s median of {args.repeat}, "
            f"{median / args.paths * 1e6:.1f} us per path"
        )

        if args.same:
            same_root = base_path / "same"
            same = []
            for i in range(args.same):
                folder = same_root / f"s{i}"
                folder.mkdir(parents=True)
                (folder / "x.txt").write_bytes(b"")
                same.append(str(folder / "x.txt"))
            started = time.perf_counter()
            report = Cleaner(str(same_root), str(base_path / "audit")).trash(same)
            elapsed = time.perf_counter() - started
            assert report.ok, report.failed[:3]
            print(
                f"same name    {args.same} items named x.txt: {elapsed:.2f} s, "
                f"{elapsed / args.same * 1e6:.0f} us per item"
            )


if __name__ == "__main__":
    main()
