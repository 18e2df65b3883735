"""Times the cleaner's per-path cost: a dry run over N paths, and trashing N
items that all share one name.

    PYTHONPATH=build/dev/py python bench/bench_trash.py [--paths N] [--mounts M] [--same N] [--repeat R]

Everything happens in a temporary folder with HOME and XDG_DATA_HOME pointed
into it, so the real trash is never touched. The dry run requests a mix of
files and folders at depths 1 to 4 (a quarter of them folders); it prints the
median time, the cost per path, and its ratio to a peer measured in the same
run: Python looking at each path the least any checker must (lstat of the
path, realpath of its parent). With --mounts M (root only) the whole run
happens in a mount namespace of its own with M small tmpfs mounted beside the
tree: what a system with many mounts costs. The same-name run moves --same
files called "x.txt" from separate folders into the (temporary) home trash.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

_IN_NAMESPACE = "ORVALNEST_BENCH_PRIVATE_MOUNTS"


def build_tree(root: Path, count: int, all_folders: bool) -> list[str]:
    paths = []
    for i in range(count):
        folder = root / f"d{i % 50}" / f"e{i % 7}" / f"f{i % 3}"
        folder.mkdir(parents=True, exist_ok=True)
        if all_folders or i % 4 == 0:
            item = folder / f"dir{i}"
            item.mkdir()
        else:
            item = folder / f"file{i}.txt"
            item.write_bytes(b"")
        paths.append(str(item))
    return paths


def median_seconds(run, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def least_look(paths: list[str]) -> None:
    for path in paths:
        os.lstat(path)
        os.path.realpath(os.path.dirname(path))


def mount_many(folder: Path, count: int) -> list[str]:
    points = []
    for i in range(count):
        point = folder / f"m{i}"
        point.mkdir(parents=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4k", "bench", str(point)], check=True)
        points.append(str(point))
    return points


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--paths", type=int, default=10000)
    parser.add_argument("--mounts", type=int, default=0)
    parser.add_argument("--all-folders", action="store_true", help="request folders only")
    parser.add_argument("--same", type=int, default=10000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if args.mounts and not os.environ.get(_IN_NAMESPACE):
        # Mounts only ever in a namespace of the run's own: they vanish with it.
        if os.geteuid() != 0 or shutil.which("unshare") is None:
            sys.exit("--mounts needs root and unshare")
        command = ["unshare", "--mount", "--propagation", "private", sys.executable, *sys.argv]
        sys.exit(subprocess.run(command, env={**os.environ, _IN_NAMESPACE: "1"}).returncode)

    with tempfile.TemporaryDirectory(prefix="orvalnest-bench-") as base:
        base_path = Path(base)
        (base_path / "home").mkdir()
        os.environ["HOME"] = str(base_path / "home")
        os.environ["XDG_DATA_HOME"] = str(base_path / "home" / ".local" / "share")
        from orvalnest._native import Cleaner

        points = mount_many(base_path / "mounts", args.mounts)
        try:
            run_all(args, base_path, Cleaner)
        finally:
            for point in points:
                subprocess.run(["umount", "-l", point], check=False)


def run_all(args: argparse.Namespace, base_path: Path, cleaner_class: type) -> None:
    with open("/proc/self/mountinfo") as table:
        mounted = sum(1 for _ in table)
    root = base_path / "root"
    paths = build_tree(root, args.paths, args.all_folders)
    cleaner = cleaner_class(str(root), str(base_path / "audit"))
    report = cleaner.trash(paths, dry_run=True)
    assert report.ok, report.failed[:3]
    ours = median_seconds(lambda: cleaner.trash(paths, dry_run=True), args.repeat)
    peer = median_seconds(lambda: least_look(paths), args.repeat)
    print(
        f"dry run      {args.paths} paths, {mounted} mounts: {ours:.3f} s median of {args.repeat}, "
        f"{ours / args.paths * 1e6:.1f} us per path; least look {peer:.3f} s; ratio {ours / peer:.2f}"
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
        report = cleaner_class(str(same_root), str(base_path / "audit")).trash(same)
        elapsed = time.perf_counter() - started
        assert report.ok, report.failed[:3]
        per_item = elapsed / args.same * 1e6
        print(f"same name    {args.same} items named x.txt: {elapsed:.2f} s, {per_item:.0f} us per item")


if __name__ == "__main__":
    main()
