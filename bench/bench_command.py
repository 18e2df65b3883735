"""The whole `orvalnest PATH` command, text report and each export, against du, ncdu and gdu, in one run:

    PYTHONPATH=build/dev/py python bench/bench_command.py [--entries N] [--flat N] [--repeat R] [--base DIR]

On a generated tree of --entries entries (shaped as bench_scan.py makes them),
a flat folder of --flat files, and /usr: each command runs as a person runs
it, output to /dev/null, --repeat times in rotation on a warm cache (one
untimed round first). Printed per tree: median wall time and peak resident
set of each, the ratio to the text command's time, the text command's bytes
per entry (peak minus an idle interpreter's), and the targets: every export
within 1.5x of the text command, the text command within 1.2x of
`ncdu -o /dev/null` (one thread, as ncdu walks) and ahead of `du -s`, a flat
folder as fast per entry as the generated tree, and the text report of the
generated tree under 300 MB.

Generated trees go under --base, one at a time, and are deleted after their
measurements (the machine's inodes are shared).
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from bench_tree import flat_folder, generated  # noqa: E402

HERE = Path(__file__).resolve().parent


def commands(path: Path) -> dict[str, list[str]]:
    orvalnest = [sys.executable, "-m", "orvalnest", str(path)]
    found = {
        "orvalnest (text)": orvalnest,
        "orvalnest --threads 1": [*orvalnest, "--threads", "1"],
        "orvalnest --json": [*orvalnest, "--json", "/dev/null"],
        "orvalnest --ncdu": [*orvalnest, "--ncdu", "/dev/null"],
        "orvalnest --html": [*orvalnest, "--html", "/dev/null"],
        "du -s": ["du", "-s", str(path)],
        "ncdu -o /dev/null": ["ncdu", "-q", "-o", "/dev/null", str(path)],
        "gdu -n": ["gdu", "-n", "-p", str(path)],
    }
    return {name: command for name, command in found.items() if shutil.which(command[0])}


def timed(command: list[str], report: Path) -> tuple[float, int]:
    """Wall seconds and peak resident bytes, as GNU time reads them from wait4."""
    subprocess.run(
        ["/usr/bin/time", "-o", str(report), "-f", "%e %M", *command],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        check=False,
    )
    seconds, kilobytes = report.read_text().split()[-2:]
    return float(seconds), int(kilobytes) * 1024


def idle_interpreter(report: Path) -> tuple[float, int]:
    """What starting the interpreter with the command's modules costs: seconds and resident bytes."""
    runs = [timed([sys.executable, "-c", "import orvalnest.cli"], report) for _ in range(3)]
    return min(runs, key=lambda run: run[0])


def entry_count(path: Path) -> int:
    """Files and folders as the text report counts them."""
    out = subprocess.run([sys.executable, "-m", "orvalnest", str(path), "--depth", "0"], capture_output=True, text=True)
    found = dict(re.findall(r"^(files|folders) +(\d+)$", out.stdout, re.M))
    return int(found["files"]) + int(found["folders"])


def measure_tree(label: str, path: Path, repeat: int, work: Path) -> tuple[float, int]:
    """Prints the rows of one tree; returns the text command's seconds per entry and peak bytes."""
    report = work / "time.txt"
    tools = commands(path)
    for command in tools.values():
        timed(command, report)  # the cache warm, the interpreter's files read
    runs: dict[str, list[tuple[float, int]]] = {name: [] for name in tools}
    for _ in range(repeat):
        for name, command in tools.items():
            runs[name].append(timed(command, report))
    entries = entry_count(path)
    start, idle = idle_interpreter(report)
    seconds = {name: statistics.median(run[0] for run in values) for name, values in runs.items()}
    peaks = {name: max(run[1] for run in values) for name, values in runs.items()}
    text = seconds["orvalnest (text)"]
    print(f"\n{label}: {entries} entries, median of {repeat} runs in rotation, warm cache")
    for name in tools:
        print(
            f"  {name:22} {seconds[name] * 1000:9.1f} ms  {seconds[name] / text:5.2f}x text"
            f"  peak {peaks[name] / 2**20:7.1f} MiB"
        )
    grown = peaks["orvalnest (text)"] - idle
    print(f"  text command: {grown / entries:.1f} bytes/entry over an idle interpreter ({idle / 2**20:.1f} MiB)")
    per_entry = (text - start) / entries
    print(f"  text command: {per_entry * 1e9:.0f} ns/entry after the interpreter's start ({start * 1000:.0f} ms)")
    worst = max(seconds[name] / text for name in ("orvalnest --json", "orvalnest --ncdu", "orvalnest --html"))
    print(f"  target: exports within 1.5x of the text command: {worst:.2f}x  {'met' if worst <= 1.5 else 'NOT met'}")
    if "ncdu -o /dev/null" in seconds:
        ncdu = seconds["ncdu -o /dev/null"]
        one = seconds["orvalnest --threads 1"] / ncdu
        print(f"  target: text within 1.2x of ncdu (one thread each): {one:.2f}x  {'met' if one <= 1.2 else 'NOT met'}")
        print(f"          (text with the default threads: {text / ncdu:.2f}x ncdu)")
    ahead = text / seconds["du -s"]
    print(f"  target: text ahead of du -s: {ahead:.2f}x du  {'met' if ahead < 1 else 'NOT met'}")
    return per_entry, peaks["orvalnest (text)"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, default=3_000_000)
    parser.add_argument("--flat", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--base", type=Path, default=HERE.parent / "build" / "bench-trees")
    args = parser.parse_args()
    args.base.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        root = generated(args.base, args.entries)
        try:
            per_entry, peak = measure_tree("generated tree", root, args.repeat, Path(work))
        finally:
            shutil.rmtree(root)
        print(f"  target: text report under 300 MB peak: {peak / 1e6:.0f} MB  {'met' if peak < 300e6 else 'NOT met'}")
        flat = flat_folder(args.base, args.flat)
        try:
            flat_per_entry, _ = measure_tree("flat folder", flat, args.repeat, Path(work))
        finally:
            shutil.rmtree(flat)
        ratio = flat_per_entry / per_entry
        verdict = "met" if ratio <= 1.1 else "NOT met"
        print(f"  target: as fast per entry as the generated tree: {ratio:.2f}x  {verdict}")
        measure_tree("/usr", Path("/usr"), args.repeat, Path(work))


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
