"""How the terminal browser holds up: opening a folder of 10,000 entries inside
a scan of about a million, and the memory of a browse session next to ncdu's
and gdu's on the same folder.

    PYTHONPATH=build/dev/py python bench/bench_browse.py [--entries N] [--memory-on /usr] [--repeat R]

Timing runs headless (Textual's test driver): from the Enter key on the wide
folder until the next screen is composed in full, and the first listing of the
root (which counts the items below every folder once). Memory: each program
runs in its own tmux pane on --memory-on until its listing is up; its peak
resident set (VmHWM) is read from /proc. The tree of --entries is made once
under --base and kept; delete it by hand.
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


async def time_browsing(root: Path, repeat: int) -> tuple[float, list[float]]:
    from orvalnest.browse.app import BrowseApp, BrowserScreen, ScanOptions

    app = BrowseApp(ScanOptions(str(root)), "/nonexistent-audit-dir-not-written")
    async with app.run_test(size=(120, 40)) as pilot:
        started = time.perf_counter()
        while not isinstance(app.screen, BrowserScreen):
            await pilot.pause(0.01)
        screen = app.screen
        screen._compositor.render_strips()
        first = time.perf_counter() - started
        session = app.session
        assert session is not None
        from orvalnest.view import Counts

        began = time.perf_counter()
        Counts().below(session.result.root)
        counting = time.perf_counter() - began
        print(f"scan of {Counts().below(session.result.root) + 1} entries to its first listing: {first * 1000:.0f} ms")
        print(f"  of which counting the items below every folder (done once, kept): {counting * 1000:.0f} ms")
        wide = next(i for i, node in enumerate(session.entries()) if node.name == "wide")
        timings = []
        for _ in range(repeat):
            session.sort_by("size")  # a fresh listing each round
            session.sort_by("size")
            screen.refresh_all()
            screen.entries.go(wide)
            await pilot.pause()
            began = time.perf_counter()
            await pilot.press("enter")
            screen._compositor.render_strips()
            timings.append(time.perf_counter() - began)
            assert session.folder.name == "wide" and len(session.entries()) == WIDE
            await pilot.press("h")
        return first, timings


def peak_memory(command: list[str], ready: str, timeout: float = 600) -> int:
    """VmHWM in KiB of `command` once its screen shows `ready`."""
    socket = f"orvalnest-bench-{os.getpid()}-{command[0]}"
    tmux = ["tmux", "-L", socket]
    subprocess.run([*tmux, "new-session", "-d", "-x", "120", "-y", "40", *command], check=True)
    try:
        pid = int(subprocess.run([*tmux, "list-panes", "-F", "#{pane_pid}"], capture_output=True, text=True).stdout)
        deadline = time.monotonic() + timeout
        while ready not in subprocess.run([*tmux, "capture-pane", "-p"], capture_output=True, text=True).stdout:
            if time.monotonic() > deadline:
                raise TimeoutError(" ".join(command))
            time.sleep(0.2)
        time.sleep(0.5)
        status = Path(f"/proc/{pid}/status").read_text()
        return int(next(line.split()[1] for line in status.splitlines() if line.startswith("VmHWM:")))
    finally:
        subprocess.run([*tmux, "kill-server"], capture_output=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--entries", type=int, default=1_000_000)
    parser.add_argument("--base", type=Path, default=Path("/tmp"))
    parser.add_argument("--memory-on", default="/usr")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    root = make_tree(args.base, args.entries)
    print(f"tree: {root}")
    first, timings = asyncio.run(time_browsing(root, args.repeat))
    print(
        f"Enter on a folder of {WIDE} entries to the next screen: median {statistics.median(timings) * 1000:.1f} ms "
        f"(min {min(timings) * 1000:.1f}, max {max(timings) * 1000:.1f}, {len(timings)} runs)"
    )

    if shutil.which("tmux") is None:
        print("memory: skipped (needs tmux)")
        return
    target = args.memory_on
    ours = peak_memory(
        ["env", f"PYTHONPATH={os.environ.get('PYTHONPATH', '')}", sys.executable, "-m", "orvalnest", "-i", target],
        "? help",
    )
    print(f"memory of a browse session on {target} (peak resident set):")
    print(f"  orvalnest browse  {ours / 1024:8.1f} MiB")
    for name, command in [("ncdu", ["ncdu", target]), ("gdu", ["gdu", target])]:
        if shutil.which(name) is None:
            print(f"  {name:<16}  skipped (not installed)")
            continue
        peer = peak_memory(command, "Total disk usage")
        print(f"  {name:<16}  {peer / 1024:8.1f} MiB   orvalnest/{name} = {ours / peer:.2f}")


if __name__ == "__main__":
    main()
