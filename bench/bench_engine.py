"""Times the scan with options against plain scan() and GNU du, and the cost of
hard links, in one run:

    PYTHONPATH=build/dev/py python bench/bench_engine.py [--files N] [--dirs N] [--repeat R]
        [--baseline PYTHONPATH_OF_AN_OLDER_BUILD]

- scan() and du -s (apparent and disk usage) on the synthetic tree of
  bench_scan.py, alternating, medians; with --baseline, the scan() of another
  build too (run in a child process per round, timed inside it);
- scan_tree(threads=1, progress=...) with a callback that formats a status line;
- a tree of --links files that all share one inode against the same tree of
  distinct files;
- peak memory per entry of scan() (growth of the peak resident set).
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from bench_scan import (  # noqa: E402
    add_tree_options,
    count_nodes,
    measure_memory,
    rotation_medians,
    synthetic_tree,
    timed,
)


def du(root: Path, *flags: str) -> None:
    subprocess.run(["du", "-s", "-B1", *flags, str(root)], check=True, capture_output=True)


def link_trees(base: Path, files: int) -> tuple[Path, Path]:
    """Two trees of `files` names in 100 folders: all links to one inode, or all distinct files."""
    linked, distinct = base / f"orvalnest-bench-links-{files}", base / f"orvalnest-bench-distinct-{files}"
    for root, share in ((linked, True), (distinct, False)):
        if root.exists():
            continue
        building = root.with_name(root.name + ".partial")
        shutil.rmtree(building, ignore_errors=True)
        building.mkdir()
        origin = building / "origin"
        origin.write_bytes(b"x" * 10_000)
        for i in range(files):
            folder = building / f"d{i % 100:03d}"
            folder.mkdir(exist_ok=True)
            target = folder / f"f{i:06d}"
            if share:
                os.link(origin, target)
            else:
                target.write_bytes(b"x" * 10_000)
        building.rename(root)
    return linked, distinct


BASELINE_CHILD = """
import sys, time
from orvalnest._native import scan
start = time.perf_counter(); scan(sys.argv[1]); print(time.perf_counter() - start)
"""


def baseline_time(pythonpath: str, root: Path) -> float:
    env = dict(os.environ, PYTHONPATH=pythonpath)
    out = subprocess.run([sys.executable, "-c", BASELINE_CHILD, str(root)], check=True, capture_output=True, env=env)
    return float(out.stdout)


def current_time(root: Path) -> float:
    return baseline_time(os.environ.get("PYTHONPATH", ""), root)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_tree_options(parser, repeat=7)
    parser.add_argument("--links", type=int, default=100_000)
    # ext4 caps a file at 65,000 links; tmpfs has no such cap.
    parser.add_argument("--links-base", type=Path, default=Path("/dev/shm"))
    parser.add_argument("--baseline", metavar="PYTHONPATH", help="an older build to compare scan() with")
    args = parser.parse_args()

    from orvalnest import scan, scan_tree

    root = synthetic_tree(args)
    entries = count_nodes(scan(str(root)).root)
    print(f"tree: {root} ({entries} entries)")

    lines: list[str] = []

    def progress(update) -> None:  # the work a status line does
        lines.append(f"{update.entries} entries, {update.disk_usage / 2**20:.1f} MiB, {update.directory[-40:]}")

    tools = {
        "scan()": lambda: scan(str(root)),
        "scan_tree(threads=1, progress)": lambda: scan_tree(str(root), threads=1, progress=progress),
        "du -s --apparent-size": lambda: du(root, "--apparent-size"),
        "du -s": lambda: du(root),
    }
    # Both builds in child processes, so start-up costs are alike; each child times its own scan.
    this_build, baseline = (lambda: current_time(root)), (lambda: baseline_time(args.baseline, root))
    if args.baseline:
        tools["scan() in a child, this build"] = this_build
        tools["scan() in a child, baseline"] = baseline
    in_child = (this_build, baseline)
    medians = rotation_medians(tools, args.repeat, lambda tool: tool() if tool in in_child else timed(tool))
    print(f"\nmedian of {args.repeat} alternating runs:")
    for name, median in medians.items():
        print(f"  {name:34s} {median * 1000:9.1f} ms")
    scan_time = medians["scan()"]
    print(f"\nscan() / du -s --apparent-size:          {scan_time / medians['du -s --apparent-size']:5.3f}x")
    print(f"scan_tree(progress) / scan():            {medians['scan_tree(threads=1, progress)'] / scan_time:5.3f}x")
    if args.baseline:
        ratio = medians["scan() in a child, this build"] / medians["scan() in a child, baseline"]
        print(f"scan() this build / baseline:            {ratio:5.3f}x")

    linked, distinct = link_trees(args.links_base, args.links)
    link_runs: dict[str, list[float]] = {"linked": [], "distinct": []}
    for _ in range(args.repeat):
        link_runs["linked"].append(timed(lambda: scan_tree(str(linked), threads=1)))
        link_runs["distinct"].append(timed(lambda: scan_tree(str(distinct), threads=1)))
    # tmpfs holds them in memory: give it back.
    shutil.rmtree(linked)
    shutil.rmtree(distinct)
    one_inode = statistics.median(link_runs["linked"]) / statistics.median(link_runs["distinct"])
    print(f"{args.links} hard links to one inode / distinct files: {one_inode:5.3f}x")

    out = subprocess.run(
        [sys.executable, __file__, "--measure-memory", str(root)], check=True, capture_output=True, text=True
    )
    peak, counted = (int(field) for field in out.stdout.split())
    print(f"peak memory of scan(): {peak / counted:5.0f} bytes/entry")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--measure-memory":
        measure_memory(sys.argv[2])
    else:
        main()
