"""The compact tree's memory and the walk's speed, against ncdu, gdu, du and a bare C walk, in one run:

    PYTHONPATH=build/dev/py python bench/bench_tree.py [--entries N ...] [--repeat R] [--baseline PYTHONPATH]

- bytes per entry of measure() (peak resident set minus the idle interpreter's,
  names and the walk's transient state included) on generated trees of each
  --entries size, beside interactive ncdu's and gdu's peaks on the same trees;
- walk times on the largest generated tree, a flat folder of 200,000 files and
  /usr: measure() with 1 and 2 threads, the C floor (bench/walk_floor.c, a bare
  getdents64 + fstatat walk) with 1 and 2 threads, du -s, ncdu -o /dev/null, gdu;
- with --baseline (the PYTHONPATH of a build from before the compact tree):
  scan_tree(threads=1) of both builds, time and bytes per entry, each in a child
  process per round.

Generated trees go under --base and are deleted after their measurements (the
machine's inodes are shared). Each tool runs --repeat times in rotation on a
warm cache; medians are compared.
"""

from __future__ import annotations

import argparse
import os
import pty
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from bench_scan import generate, rotation_medians  # noqa: E402

HERE = Path(__file__).resolve().parent

# VmHWM, not ru_maxrss: the latter keeps the parent's peak across fork and exec.
CHILD = """
import sys, time
def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) for line in lines if line.startswith(field + ":")) * 1024
import orvalnest  # a build from before measure() has scan_tree only
idle = status("VmRSS")
start = time.perf_counter()
tree = getattr(orvalnest, sys.argv[1])(sys.argv[2], threads=int(sys.argv[3]))
elapsed = time.perf_counter() - start
print(elapsed, status("VmHWM") - idle)
"""


def child(function: str, root: Path, threads: int, pythonpath: str | None = None) -> tuple[float, int]:
    """Seconds and resident bytes grown of one scan in a fresh interpreter."""
    env = dict(os.environ)
    if pythonpath is not None:
        env["PYTHONPATH"] = pythonpath
    out = subprocess.run(
        [sys.executable, "-c", CHILD, function, str(root), str(threads)],
        check=True,
        capture_output=True,
        text=True,
        env=env,
    )
    elapsed, grown = out.stdout.split()
    return float(elapsed), int(grown)


def entry_count(root: Path) -> int:
    from orvalnest import measure

    return len(measure(root, threads=1))


def peak_rss(pid: int) -> int:
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) * 1024


def cpu_ticks(pid: int) -> int:
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def interactive_peak(argv: list[str]) -> int | None:
    """Peak resident bytes of an interactive tool once it has scanned and holds
    its tree: it runs on a pseudo-terminal until its CPU time stops growing."""
    if not shutil.which(argv[0]):
        return None
    pid, master = pty.fork()
    if pid == 0:  # pragma: no cover - the child
        os.environ["TERM"] = "xterm"
        os.execvp(argv[0], argv)
    try:
        last, still = -1, 0
        while still < 10:  # one second without work
            time.sleep(0.1)
            while select.select([master], [], [], 0)[0]:  # keep its screen output flowing
                try:
                    os.read(master, 1 << 16)
                except OSError:
                    break
            ticks = cpu_ticks(pid)
            still = still + 1 if ticks == last else 0
            last = ticks
        return peak_rss(pid)
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(master)


def floor_binary(work: Path) -> Path:
    binary = work / "walk_floor"
    subprocess.run(["cc", "-O2", "-pthread", "-o", str(binary), str(HERE / "walk_floor.c")], check=True)
    return binary


def generated(base: Path, entries: int) -> Path:
    """A tree of `entries` entries shaped as bench_scan.py makes them (one folder per 25 entries)."""
    dirs = max(1, entries // 25)
    root = base / f"orvalnest-tree-{entries}"
    if not root.exists():
        print(f"generating {entries} entries under {root} ...", flush=True)
        generate(root, 20240601, entries - dirs, dirs)
    return root


def flat_folder(base: Path, files: int) -> Path:
    root = base / f"orvalnest-flat-{files}"
    if not root.exists():
        building = base / f"orvalnest-flat-{files}.partial"
        shutil.rmtree(building, ignore_errors=True)
        building.mkdir(parents=True)
        for i in range(files):
            os.close(os.open(building / f"file-{i:06d}.dat", os.O_WRONLY | os.O_CREAT, 0o644))
        building.rename(root)
    return root


def memory_rows(root: Path, entries: int) -> None:
    for threads in (1, 2):
        _, grown = child("measure", root, threads)
        print(f"  measure(threads={threads}): {grown / entries:6.1f} bytes/entry ({grown / 2**20:7.1f} MiB)")
    for name, argv in (("ncdu (interactive)", ["ncdu", str(root)]), ("gdu (interactive)", ["gdu", str(root)])):
        peak = interactive_peak(argv)
        if peak is not None:
            print(f"  {name:19s} {peak / entries:6.1f} bytes/entry ({peak / 2**20:7.1f} MiB, whole process)")


def time_rows(label: str, root: Path, floor: Path, repeat: int) -> None:
    from orvalnest import measure

    def run(argv: list[str]):
        return lambda: subprocess.run(argv, check=True, capture_output=True)

    floor_seconds: dict[int, list[float]] = {1: [], 2: []}

    def floor_run(threads: int):
        def timed_floor() -> None:
            out = subprocess.run([str(floor), str(root), str(threads)], check=True, capture_output=True, text=True)
            floor_seconds[threads].append(float(out.stdout.split()[2]))

        return timed_floor

    tools = {
        "measure threads=1": lambda: measure(root, threads=1),
        "measure threads=2": lambda: measure(root, threads=2),
        "C floor 1 thread": floor_run(1),
        "C floor 2 threads": floor_run(2),
        "du -s": run(["du", "-s", str(root)]),
    }
    if shutil.which("ncdu"):
        tools["ncdu -o /dev/null"] = run(["ncdu", "-q", "-o", "/dev/null", str(root)])
    if shutil.which("gdu"):
        tools["gdu -n"] = run(["gdu", "-n", "-p", str(root)])
    medians = rotation_medians(tools, repeat)
    # The floor times its walk inside its own process: no start-up in its figure.
    for threads in (1, 2):
        medians[f"C floor {threads} thread" + ("s" if threads > 1 else "")] = statistics.median(floor_seconds[threads])
    du = medians["du -s"]
    print(f"\n{label} ({entry_count(root)} entries), median of {repeat} runs, warm cache:")
    for name, median in medians.items():
        print(f"  {name:20s} {median * 1000:9.1f} ms   {median / du:5.2f}x du")
    for threads, floor_name in ((1, "C floor 1 thread"), (2, "C floor 2 threads")):
        ratio = medians[f"measure threads={threads}"] / medians[floor_name]
        print(f"  measure threads={threads} / {floor_name}: {ratio:5.2f}x")


def baseline_rows(root: Path, entries: int, baseline: str, repeat: int) -> None:
    runs: dict[str, list[tuple[float, int]]] = {"this build": [], "baseline": []}
    for _ in range(repeat):
        runs["this build"].append(child("scan_tree", root, 1))
        runs["baseline"].append(child("scan_tree", root, 1, baseline))
    print(f"\nscan_tree(threads=1) against the build before the compact tree, median of {repeat}:")
    medians = {}
    for name, values in runs.items():
        seconds = statistics.median(value[0] for value in values)
        grown = statistics.median(value[1] for value in values)
        medians[name] = (seconds, grown)
        print(f"  {name:10s} {seconds * 1000:9.1f} ms  {grown / entries:6.1f} bytes/entry")
    (new_s, new_b), (old_s, old_b) = medians["this build"], medians["baseline"]
    print(f"  time {new_s / old_s:5.3f}x, memory {(new_b - old_b) / entries:+5.1f} bytes/entry")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, nargs="+", default=[300_000, 1_000_000, 3_000_000])
    parser.add_argument("--flat", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--base", type=Path, default=HERE.parent / "build" / "bench-trees")
    parser.add_argument("--baseline", metavar="PYTHONPATH", help="a build from before the compact tree")
    parser.add_argument("--no-times", action="store_true", help="memory figures only")
    args = parser.parse_args()
    args.base.mkdir(parents=True, exist_ok=True)

    with tempfile.TemporaryDirectory() as work:
        floor = floor_binary(Path(work))
        for index, entries in enumerate(sorted(args.entries)):
            root = generated(args.base, entries)
            try:
                counted = entry_count(root)
                print(f"\ngenerated tree of {counted} entries: peak memory")
                memory_rows(root, counted)
                last = index == len(args.entries) - 1
                if last and not args.no_times:
                    time_rows("generated tree", root, floor, args.repeat)
                    if args.baseline:
                        baseline_rows(root, counted, args.baseline, args.repeat)
            finally:
                shutil.rmtree(root)
        if args.no_times:
            return
        flat = flat_folder(args.base, args.flat)
        try:
            time_rows("flat folder", flat, floor, args.repeat)
        finally:
            shutil.rmtree(flat)
        time_rows("/usr", Path("/usr"), floor, args.repeat)


if __name__ == "__main__":
    main()
