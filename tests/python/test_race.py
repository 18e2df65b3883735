"""Trash requests racing someone who changes the tree between the check and the
move: a directory that keeps turning into a symbolic link to a folder outside
the scan root, and a folder exchanged with one that holds a mounted disk.
Nothing outside ever moves, no mounted disk ever lands in the trash, and every
path is either trashed from inside the root or reported failed."""

import os
import pathlib
import subprocess
import sys

import pytest
from helpers import in_private_mounts, trash_info_paths

from orvalnest._native import Cleaner

FILES = 1000 if os.environ.get("ORVALNEST_SANITIZED") else 2000
ROUNDS = 3  # later rounds retry what earlier ones could not move
MIN_SWAPS = 1000

# Swaps two names in one step (renameat2 with RENAME_EXCHANGE), so the name
# flips between directory and link with no moment of absence. It stops only
# after an even number of swaps: the directory is back in place. A filesystem
# that cannot exchange names refuses the first swap with EINVAL.
SWAPPER = """
import ctypes, errno, os, sys
libc = ctypes.CDLL(None, use_errno=True)
first, second, enough, stop = (os.fsencode(arg) for arg in sys.argv[1:5])
if not hasattr(libc, "renameat2") or libc.renameat2(-100, first, -100, second, 2) != 0:
    print("unsupported" if ctypes.get_errno() in (0, errno.EINVAL, errno.ENOSYS) else os.strerror(ctypes.get_errno()))
    sys.exit()
print("ready", flush=True)
swaps = 1
while swaps % 256 or not os.path.exists(stop):
    if libc.renameat2(-100, first, -100, second, 2) != 0:
        sys.exit(os.strerror(ctypes.get_errno()))
    swaps += 1
    if swaps == int(sys.argv[5]):
        open(enough, "w").close()
print(swaps)
"""


def snapshot(directory):
    """Every entry below `directory` with its inode and content."""
    return {path: (path.lstat().st_ino, None if path.is_dir() else path.read_bytes()) for path in directory.rglob("*")}


def test_swapping_a_directory_for_a_link_never_moves_anything_outside(tmp_path):
    base = tmp_path.resolve()
    root, outside = base / "root", base / "outside"
    swapped, link = root / "swapped", root / "link"
    swapped.mkdir(parents=True)
    outside.mkdir()
    link.symlink_to(outside)
    # The same names on both sides: a move that followed the link would find
    # its target and take the outside file.
    names = [f"f{index:05}" for index in range(FILES)]
    for name in names:
        (swapped / name).write_bytes(b"inside " + name.encode())
        (outside / name).write_bytes(b"outside " + name.encode())
    before = snapshot(outside)

    cleaner = Cleaner(root, base / "audit")
    requested = [str(swapped / name) for name in names]
    # The swapping runs in its own process, so that it flips the name as fast
    # as the kernel allows instead of waiting for this interpreter's lock.
    swap = [str(swapped), str(link), str(base / "enough"), str(base / "stop"), str(MIN_SWAPS)]
    swapper = subprocess.Popen([sys.executable, "-c", SWAPPER, *swap], stdout=subprocess.PIPE, text=True)
    reports = []
    try:
        if (line := swapper.stdout.readline()) == "unsupported\n":
            pytest.skip("this filesystem cannot exchange names atomically")
        assert line == "ready\n"
        # However slow the machine, the requests keep coming until the name
        # has flipped often enough under them.
        while len(reports) < ROUNDS or (not (base / "enough").exists() and len(reports) < 100):
            reports.append(cleaner.trash(requested))
    finally:
        (base / "stop").touch()
        output, _ = swapper.communicate(timeout=60)
    assert swapper.returncode == 0 and int(output) >= MIN_SWAPS
    assert not swapped.is_symlink()

    assert snapshot(outside) == before
    for report in reports:
        assert sorted(report.trashed + [path for path, _ in report.failed]) == requested
    trashed = [path for report in reports for path in report.trashed]
    assert len(trashed) == len(set(trashed)), "a path was trashed twice"
    # Each trashed item is in the trash, recorded with its place inside the root,
    # and really is the inside file; each other one is still where it was.
    trash = pathlib.Path(os.environ["XDG_DATA_HOME"]) / "Trash"
    recorded = trash_info_paths(trash)
    assert sorted(recorded.values()) == sorted(trashed)
    for trash_name, original in recorded.items():
        assert original.startswith(str(root) + "/")
        assert (trash / "files" / trash_name).read_bytes() == b"inside " + os.path.basename(original).encode()
    assert {str(swapped / name) for name in os.listdir(swapped)} == set(requested) - set(trashed)


# The exchanger swaps the names "target" and "holder" as fast as it can
# (renameat2 with RENAME_EXCHANGE), in a process of its own.
EXCHANGER = """
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
target, holder = (os.fsencode(sys.argv[1] + name) for name in ("/target", "/holder"))
swaps = 0
while not os.path.exists(sys.argv[1] + "/stop"):
    swaps += libc.renameat2(-100, target, -100, holder, 2) == 0
print(swaps)
"""

# Run in a mount namespace of its own: "holder" has a disk (a tmpfs) mounted
# inside it, and "target" is trashed again and again while the exchanger runs.
# An escape is a request after which a mount point sits inside the trash:
# emptying it would wipe that disk.
EXCHANGE = """
import json, os, subprocess, sys, time
from orvalnest._native import Cleaner
base, rounds, seconds, exchanger = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
os.environ["HOME"] = os.environ["XDG_DATA_HOME"] = base + "/home"
root, trash = base + "/root", base + "/home/Trash"
os.makedirs(root + "/holder/disk")
os.makedirs(trash)
subprocess.run(["mount", "-t", "tmpfs", "orvalnest-race", root + "/holder/disk"], check=True)
open(root + "/holder/disk/data", "w").write("on the disk")
swapping = subprocess.Popen([sys.executable, "-c", exchanger, root], stdout=subprocess.PIPE, text=True)
def mounts_in_trash():
    with open("/proc/self/mountinfo") as table:
        return [line.split()[4] for line in table if line.split()[4].startswith(trash + "/")]
cleaner = Cleaner(root, base + "/audit")
escapes = moved = done = 0
deadline = time.monotonic() + seconds
while done < rounds and time.monotonic() < deadline:
    try:
        os.mkdir(root + "/target")
    except FileExistsError:
        pass
    moved += len(cleaner.trash([root + "/target"]).trashed)
    done += 1
    for point in mounts_in_trash():
        escapes += 1
        subprocess.run(["umount", "-l", point])
open(root + "/stop", "w").close()
swaps = int(swapping.communicate(timeout=60)[0])
print(json.dumps({"escapes": escapes, "rounds": done, "moved": moved, "swaps": swaps}))
"""


def test_exchanging_a_folder_with_one_that_holds_a_disk_never_gets_the_disk_into_the_trash(tmp_path):
    rounds = 300 if os.environ.get("ORVALNEST_SANITIZED") else 1500
    result = in_private_mounts(EXCHANGE, tmp_path.resolve(), rounds, 40, EXCHANGER)
    assert result["escapes"] == 0, result
    # The race really ran: names were exchanged under the requests, and some
    # requests still got a plain folder to the trash.
    assert result["swaps"] > 1000 and result["moved"] > 0, result
