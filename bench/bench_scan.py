"""Times orvalnest's scan() against GNU du and a pure-Python os.scandir walk.

    PYTHONPATH=build/dev/py python bench/bench_scan.py [--files N] [--dirs N] [--seed S] [--repeat R]

The synthetic tree is made once per (seed, files, dirs) under --base and kept
for later runs; delete it by hand. Each tool runs --repeat times in rotation on
a warm cache and the medians are compared. Peak memory is measured in a fresh
child process: the growth of its peak resident set during one scan(), result
included, per entry in the tree.
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

EXTENSIONS = ["txt", "jpg", "py", "log", "mp3", "zip", "json", "bin", "md", "cpp", ""]


def tree_path(base: Path, seed: int, files: int, dirs: int) -> Path:
    return base / f"orvalnest-bench-s{seed}-f{files}-d{dirs}"


def add_tree_options(parser: argparse.ArgumentParser, repeat: int = 5) -> None:
    """The synthetic tree's options and the number of rounds, for every benchmark that scans the tree."""
    parser.add_argument("--files", type=int, default=500_000)
    parser.add_argument("--dirs", type=int, default=20_000)
    parser.add_argument("--seed", type=int, default=20240601)
    parser.add_argument("--repeat", type=int, default=repeat)
    parser.add_argument("--base", type=Path, default=Path("/tmp"))


def synthetic_tree(args: argparse.Namespace) -> Path:
    """The tree the options name, made on first use and kept for later runs."""
    root = tree_path(args.base, args.seed, args.files, args.dirs)
    if not root.exists():
        print(f"generating {args.files} files in {args.dirs} directories under {root} ...", flush=True)
        start = time.perf_counter()
        generate(root, args.seed, args.files, args.dirs)
        print(f"  done in {time.perf_counter() - start:.1f} s", flush=True)
    return root


def generate(root: Path, seed: int, files: int, dirs: int) -> None:
    """Directories attach mostly to recently made ones (depths around 8-16,
    the deepest past 25); files spread evenly over them, 80% empty and the
    rest 1-8192 bytes (sparse: only their length matters)."""
    rng = random.Random(seed)
    building = root.with_name(root.name + ".partial")
    if building.exists():
        shutil.rmtree(building)
    paths = [str(building)]
    os.mkdir(building)
    for i in range(1, dirs):
        parent = min(i - 1, int(i * rng.random() ** 0.7))
        path = os.path.join(paths[parent], f"d{i:05d}")
        os.mkdir(path)
        paths.append(path)
    for j in range(files):
        directory = paths[rng.randrange(dirs)]
        extension = rng.choice(EXTENSIONS)
        name = f"f{j:06d}" + (f".{extension}" if extension else "")
        size = rng.randint(1, 8192) if rng.random() < 0.2 else 0
        fd = os.open(os.path.join(directory, name), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        if size:
            os.ftruncate(fd, size)
        os.close(fd)
    building.rename(root)


class PyNode:
    __slots__ = ("name", "path", "size", "is_dir", "children")

    def __init__(self, name: str, path: str, size: int, is_dir: bool, children: list[PyNode]):
        self.name = name
        self.path = path
        self.size = size
        self.is_dir = is_dir
        self.children = children


def python_walk(path: str, name: str | None = None) -> PyNode:
    """What one would write without the extension: a recursive os.scandir walk
    building a largest-first tree, never following symbolic links."""
    children = []
    total = 0
    with os.scandir(path) as entries:
        for entry in entries:
            if entry.is_dir(follow_symlinks=False):
                child = python_walk(entry.path, entry.name)
            elif entry.is_symlink():
                child = PyNode(entry.name, entry.path, 0, False, [])
            elif entry.is_file(follow_symlinks=False):
                child = PyNode(entry.name, entry.path, entry.stat(follow_symlinks=False).st_size, False, [])
            else:
                continue
            total += child.size
            children.append(child)
    children.sort(key=lambda node: node.size, reverse=True)
    return PyNode(name or os.path.basename(path), path, total, True, children)


def count_nodes(node) -> int:
    total = 0
    stack = [node]
    while stack:
        current = stack.pop()
        total += 1
        stack.extend(current.children)
    return total


def du_size(root: Path) -> int:
    out = subprocess.run(["du", "-s", "--apparent-size", "-B1", str(root)], check=True, capture_output=True, text=True)
    return int(out.stdout.split()[0])


def find_file_total(root: Path) -> int:
    out = subprocess.run(
        ["find", str(root), "-type", "f", "-printf", "%s\n"], check=True, capture_output=True, text=True
    )
    return sum(int(line) for line in out.stdout.split())


def status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def measure_memory(root: str) -> None:
    """Child process: prints the peak growth in bytes and the entry count."""
    from orvalnest._native import scan

    before = status_kib("VmRSS")
    result = scan(root)
    peak = status_kib("VmHWM")
    print((peak - before) * 1024, count_nodes(result.root))


def timed(function) -> float:
    start = time.perf_counter()
    result = function()
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def rotation_medians(
    tools: dict[str, Callable[[], object]], repeat: int, run: Callable[[Callable[[], object]], float] = timed
) -> dict[str, float]:
    """Every tool `repeat` times in rotation, so that a drift in the machine's
    load falls on all of them alike; the median time of each."""
    runs: dict[str, list[float]] = {name: [] for name in tools}
    for _ in range(repeat):
        for name, tool in tools.items():
            runs[name].append(run(tool))
    return {name: statistics.median(times) for name, times in runs.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_tree_options(parser)
    parser.add_argument("--measure-memory", metavar="ROOT", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure_memory:
        measure_memory(args.measure_memory)
        return

    from orvalnest._native import scan

    root = synthetic_tree(args)

    # Correctness first, and a warm cache for the timings.
    result = scan(str(root))
    entries = count_nodes(result.root)
    expected = find_file_total(root)
    print(f"tree: {root} ({entries} entries)")
    print(
        f"root size {result.root.size} == sum of st_size over regular files {expected}: "
        f"{result.root.size == expected}; issues: {len(result.issues)}"
    )
    py_tree = python_walk(str(root))
    if py_tree.size != expected or count_nodes(py_tree) != entries:
        sys.exit("the Python walk disagrees with scan(); the comparison would be meaningless")
    du_size(root)
    del result, py_tree

    tools = {
        "scan()": lambda: scan(str(root)),
        "du -s --apparent-size -B1": lambda: du_size(root),
        "Python os.scandir walk": lambda: python_walk(str(root)),
    }
    medians = rotation_medians(tools, args.repeat)

    print(f"\nmedian of {args.repeat} runs:")
    for name, median in medians.items():
        print(f"  {name:28s} {median * 1000:9.1f} ms  ({median / entries * 1e9:6.0f} ns/entry)")
    scan_time, du_time, py_time = medians.values()
    print(f"\nscan / du:              {scan_time / du_time:5.2f}x   (target <= 1.10x, stretch <= 1.00x)")
    print(f"Python walk / scan:     {py_time / scan_time:5.2f}x   (target >= 1.80x)")
    print(f"Python walk / du:       {py_time / du_time:5.2f}x")

    out = subprocess.run(
        [sys.executable, __file__, "--measure-memory", str(root)],
        check=True,
        capture_output=True,
        text=True,
        env=os.environ,
    )
    peak, counted = (int(field) for field in out.stdout.split())
    print(
        f"peak memory of scan():  {peak / counted:5.0f} bytes/entry (target <= 200), "
        f"{peak / 2**20:.1f} MiB for {counted} entries"
    )


if __name__ == "__main__":
    main()
