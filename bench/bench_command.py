"""Times the whole `orvalnest PATH` command against `du -sh`, `ncdu -o /dev/null` and `gdu -n`.

    PYTHONPATH=build/dev/py python bench/bench_command.py [PATH] [--repeat R]

Each command runs as a child process, the four in rotation, --repeat times on a
warm cache (one untimed round first); the medians are printed with their ratio
to orvalnest's. Output goes to /dev/null: the time is the scan plus the report,
as a user waits for it.
"""

from __future__ import annotations

import argparse
import shutil
import statistics
import subprocess
import sys
import time


def commands(path: str) -> dict[str, list[str]]:
    found = {
        "orvalnest": [sys.executable, "-m", "orvalnest", path],
        "du -sh": ["du", "-sh", path],
        "ncdu -o /dev/null": ["ncdu", "-o", "/dev/null", path],
        "gdu -n": ["gdu", "-n", path],
    }
    return {name: command for name, command in found.items() if shutil.which(command[0])}


def timed(command: list[str]) -> float:
    started = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("path", nargs="?", default="/usr")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    tools = commands(args.path)
    times: dict[str, list[float]] = {name: [] for name in tools}
    for command in tools.values():
        timed(command)  # warms the cache and the interpreter's files
    for _ in range(args.repeat):
        for name, command in tools.items():
            times[name].append(timed(command))
    base = statistics.median(times["orvalnest"])
    print(f"{args.path}: medians of {args.repeat}, run in rotation")
    for name, samples in times.items():
        median = statistics.median(samples)
        print(f"  {name:<18} {median * 1000:8.1f} ms   {median / base:5.2f}x orvalnest's time")


if __name__ == "__main__":
    main()
