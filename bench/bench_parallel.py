"""Times the parallel scan_tree against its sequential form, scan(), du, gdu and ncdu.

    PYTHONPATH=build/dev/py python bench/bench_parallel.py [--files N] [--dirs N] [--repeat R] [--cold]

Uses bench_scan.py's synthetic tree (made once and kept). Every tool runs
--repeat times in rotation and the medians are compared; with --cold the page,
dentry and inode caches are dropped before every run (root only). Peaks are
measured in fresh child processes: resident memory growth per entry, and the
most descriptors and threads seen by a sampler polling /proc every millisecond.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path

from bench_scan import add_tree_options, count_nodes, rotation_medians, status_kib, synthetic_tree, timed

DROP_CACHES = Path("/proc/sys/vm/drop_caches")


def measure_peaks(root: str, threads: int) -> None:
    """Child process: prints memory growth in bytes, entries, and the peak
    descriptor and thread counts during one scan_tree()."""
    from orvalnest import scan_tree

    peaks = {"fd": 0, "task": 0}
    running = True

    def sample() -> None:
        while running:
            for kind in peaks:
                peaks[kind] = max(peaks[kind], len(os.listdir(f"/proc/self/{kind}")))
            time.sleep(0.001)

    sampler = threading.Thread(target=sample)
    sampler.start()
    time.sleep(0.01)
    idle = dict(peaks)
    before = status_kib("VmRSS")
    result = scan_tree(root, threads=threads)
    peak = status_kib("VmHWM")
    running = False
    sampler.join()
    # The sampler's own thread and descriptor are part of the idle figures.
    print((peak - before) * 1024, count_nodes(result.root), peaks["fd"] - idle["fd"], peaks["task"] - idle["task"])


def command_tools(root: Path) -> dict[str, list[str]]:
    tools = {"du -s": ["du", "-s", str(root)]}
    if shutil.which("gdu"):
        tools["gdu -n"] = ["gdu", "-n", "-p", str(root)]
    if shutil.which("ncdu"):
        tools["ncdu -o /dev/null"] = ["ncdu", "-q", "-o", "/dev/null", str(root)]
    return tools


def timed_run(function: Callable[[], object], cold: bool) -> float:
    if cold:
        os.sync()
        DROP_CACHES.write_text("3\n")
    return timed(function)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_tree_options(parser)
    parser.add_argument("--cold", action="store_true", help="drop the caches before every run")
    parser.add_argument("--measure-peaks", nargs=2, metavar=("ROOT", "THREADS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure_peaks:
        measure_peaks(args.measure_peaks[0], int(args.measure_peaks[1]))
        return

    from orvalnest import scan_tree
    from orvalnest._native import scan

    root = synthetic_tree(args)
    if args.cold and not os.access(DROP_CACHES, os.W_OK):
        sys.exit(f"--cold needs to write {DROP_CACHES} (root)")

    sequential = scan_tree(str(root), threads=1)
    parallel = scan_tree(str(root), threads=2)
    entries = count_nodes(sequential.root)
    same = (sequential.root.size, sequential.root.disk_usage) == (parallel.root.size, parallel.root.disk_usage)
    print(f"tree: {root} ({entries} entries); threads=1 and threads=2 agree on the totals: {same}")
    del sequential, parallel

    tools: dict[str, Callable[[], object]] = {
        "scan_tree threads=1": lambda: scan_tree(str(root), threads=1),
        "scan_tree threads=2": lambda: scan_tree(str(root), threads=2),
        "scan()": lambda: scan(str(root)),
    }
    for name, argv in command_tools(root).items():
        tools[name] = lambda argv=argv: subprocess.run(argv, check=True, capture_output=True)
    medians = rotation_medians(tools, args.repeat, lambda tool: timed_run(tool, args.cold))

    cache = "cold" if args.cold else "warm"
    print(f"\nmedian of {args.repeat} alternating runs, {cache} cache, {os.cpu_count()} CPUs:")
    du = medians["du -s"]
    for name, median in medians.items():
        print(f"  {name:22s} {median * 1000:9.1f} ms   {median / du:5.2f}x du")
    print(f"\nthreads=2 / du:        {medians['scan_tree threads=2'] / du:5.2f}x  (target <= 0.60x)")
    print(f"threads=1 / scan():    {medians['scan_tree threads=1'] / medians['scan()']:5.2f}x  (target <= 1.03x)")

    for threads in (1, 2):
        out = subprocess.run(
            [sys.executable, __file__, "--measure-peaks", str(root), str(threads)],
            check=True,
            capture_output=True,
            text=True,
        )
        grown, counted, fds, tasks = (int(field) for field in out.stdout.split())
        print(
            f"threads={threads}: peak memory {grown / counted:5.0f} bytes/entry, "
            f"at most {fds} more descriptors and {tasks} more threads than idle"
        )


if __name__ == "__main__":
    main()
