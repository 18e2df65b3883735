"""How the terminal browser holds up on a generated tree of about a million
entries: the time from the command to its first listing and the peak memory
of the session, next to ncdu and gdu on the same tree in the same run, and
opening a folder of 10,000 entries.

    PYTHONPATH=build/dev/py python bench/bench_browse.py [--entries N] [--before PYTHONPATH] [--repeat R]

Start-up and memory: each program runs in its own tmux pane until its listing
is on screen; the time is taken from starting the pane, and the peak resident
set (VmHWM) is read from /proc. `--before` names the PYTHONPATH of another
build of the package (an older checkout's `src` beside the same extension) to
measure in the same run. Opening the wide folder runs headless (Textual's test
driver): from the Enter key until the next screen is composed in full.

The tree is made once under --base and kept; delete it by hand.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from bench_scan import generate, tree_path  # noqa: E402

WIDE = 10_000


def make_tree(base: Path, entries: int) -> Path:
    dirs = max(entries // 100, 10)
    root = tree_path(base, 7, entries - dirs - WIDE, dirs)
    if not root.exists():
        print(f"making {root} ({entries} entries; kept for later runs)", flush=True)
        generate(root, 7, entries - dirs - WIDE, dirs)
        wide = root / "wide"
        wide.mkdir()
        for i in range(WIDE):
            (wide / f"entry{i:05d}").write_bytes(b"x" * (i % 97))
    return root


async def time_opening_wide(root: Path, repeat: int) -> list[float]:
    from orvalnest.browse.app import BrowseApp, BrowserScreen, ScanOptions

    app = BrowseApp(ScanOptions(str(root)), "/nonexistent-audit-dir-not-written")
    async with app.run_test(size=(120, 40)) as pilot:
        while not isinstance(app.screen, BrowserScreen):
            await pilot.pause(0.01)
        screen = app.screen
        session = app.session
        assert session is not None
        timings = []
        for _ in range(repeat):
            wide = next(i for i, entry in enumerate(session.entries()) if entry.name == "wide")
            screen.entries.go(wide)
            await pilot.pause()
            began = time.perf_counter()
            await pilot.press("enter")
            screen._compositor.render_strips()
            timings.append(time.perf_counter() - began)
            assert session.folder.name == "wide" and len(session.entries()) == WIDE
            await pilot.press("h")
        return timings


def start_up(command: list[str], ready: str, timeout: float = 900) -> tuple[float, int]:
    """Seconds until `command` shows `ready` in a 120x40 terminal, and its VmHWM in KiB then."""
    socket = f"orvalnest-bench-{os.getpid()}-{time.monotonic_ns()}"  # a server of its own each time
    tmux = ["tmux", "-L", socket]
    began = time.perf_counter()
    subprocess.run([*tmux, "new-session", "-d", "-x", "120", "-y", "40", *command], check=True)
    try:
        pid = int(subprocess.run([*tmux, "list-panes", "-F", "#{pane_pid}"], capture_output=True, text=True).stdout)
        while ready not in subprocess.run([*tmux, "capture-pane", "-p"], capture_output=True, text=True).stdout:
            if time.perf_counter() - began > timeout:
                raise TimeoutError(" ".join(command))
            time.sleep(0.02)
        elapsed = time.perf_counter() - began
        time.sleep(0.5)  # whatever it does right after drawing counts as well
        status = Path(f"/proc/{pid}/status").read_text()
        return elapsed, int(next(line.split()[1] for line in status.splitlines() if line.startswith("VmHWM:")))
    finally:
        subprocess.run([*tmux, "kill-server"], capture_output=True)


def browser(pythonpath: str, root: Path) -> list[str]:
    return ["env", f"PYTHONPATH={pythonpath}", sys.executable, "-m", "orvalnest", "-i", "-r", str(root)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--entries", type=int, default=1_000_000)
    parser.add_argument("--base", type=Path, default=Path("/tmp"))
    parser.add_argument("--before", metavar="PYTHONPATH", help="another build of the package to measure too")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    root = make_tree(args.base, args.entries)
    print(f"tree: {root}")
    timings = asyncio.run(time_opening_wide(root, args.repeat * 2))
    print(
        f"Enter on a folder of {WIDE} entries to the next screen: median {statistics.median(timings) * 1000:.1f} ms "
        f"(min {min(timings) * 1000:.1f}, max {max(timings) * 1000:.1f}, {len(timings)} runs)"
    )
    if shutil.which("tmux") is None:
        print("start-up and memory: skipped (needs tmux)")
        return

    programs = {"orvalnest browse": (browser(os.environ.get("PYTHONPATH", ""), root), "? help")}
    if args.before:
        programs["before"] = (browser(args.before, root), "? help")
    for name, command in [("ncdu", ["ncdu", "-r", str(root)]), ("gdu", ["gdu", str(root)])]:
        if shutil.which(name) is not None:
            programs[name] = (command, "Total disk usage")
        else:
            print(f"{name}: skipped (not installed)")
    # In rotation, warm cache: the first round only warms it.
    results: dict[str, list[tuple[float, int]]] = {name: [] for name in programs}
    for round_ in range(args.repeat + 1):
        for name, (command, ready) in programs.items():
            measured = start_up(command, ready)
            if round_:
                results[name].append(measured)
    print(f"start-up to the first listing and peak memory ({args.repeat} runs each, medians):")
    ours_time = statistics.median(t for t, _ in results["orvalnest browse"])
    ours_memory = statistics.median(m for _, m in results["orvalnest browse"])
    for name, runs in results.items():
        seconds = statistics.median(t for t, _ in runs)
        memory = statistics.median(m for _, m in runs)
        ratio = ""
        if name != "orvalnest browse":
            ratio = f"   orvalnest/{name}: {ours_time / seconds:.2f}× time, {ours_memory / memory:.2f}× memory"
        per_entry = memory * 1024 / args.entries
        print(f"  {name:<17} {seconds:7.2f} s  {memory / 1024:8.1f} MiB  {per_entry:6.0f} B/entry{ratio}")


if __name__ == "__main__":
    main()
