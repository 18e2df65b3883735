"""A trash request racing a directory that keeps turning into a symbolic link
to a folder outside the scan root: nothing outside ever moves, and every path
is either trashed from inside the root or reported failed."""

import ctypes
import errno
import os
import pathlib
import subprocess
import sys
import urllib.parse

import pytest

from orvalnest._native import Cleaner

SANITIZED = bool(os.environ.get("ORVALNEST_SANITIZED"))
FILES = 1000 if SANITIZED else 2000
ROUNDS = 3  # later rounds retry what earlier ones could not move
MIN_SWAPS = 1000

_libc = ctypes.CDLL(None, use_errno=True)
_AT_FDCWD = -100
_RENAME_EXCHANGE = 2


def exchange(first, second):
    """Swaps two names in one step (renameat2 with RENAME_EXCHANGE), so the
    name flips between directory and link with no moment of absence."""
    if _libc.renameat2(_AT_FDCWD, os.fsencode(first), _AT_FDCWD, os.fsencode(second), _RENAME_EXCHANGE) != 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code))


SWAPPER = """
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
first, second, enough, stop = (os.fsencode(arg) for arg in sys.argv[1:5])
minimum = int(sys.argv[5])
print("ready", flush=True)
swaps = 0
# Stops only after an even number of swaps: the directory is back in place.
while swaps % 256 or not os.path.exists(stop):
    if libc.renameat2(-100, first, -100, second, 2) != 0:
        sys.exit(os.strerror(ctypes.get_errno()))
    swaps += 1
    if swaps == minimum:
        open(enough, "w").close()
print(swaps)
"""


def exchange_supported(directory):
    if not hasattr(_libc, "renameat2"):
        return False
    first, second = directory / "probe-a", directory / "probe-b"
    first.mkdir()
    second.symlink_to(first)
    try:
        exchange(first, second)
    except OSError as error:
        if error.errno in (errno.EINVAL, errno.ENOSYS):
            return False
        raise
    finally:
        first.unlink() if first.is_symlink() else first.rmdir()
        second.unlink() if second.is_symlink() else second.rmdir()
    return True


def snapshot(directory):
    """Every entry below `directory` with its inode and content."""
    listing = {}
    for parent, directories, files in os.walk(directory):
        for name in directories + files:
            path = os.path.join(parent, name)
            status = os.lstat(path)
            content = None if os.path.isdir(path) else pathlib.Path(path).read_bytes()
            listing[os.path.relpath(path, directory)] = (status.st_ino, content)
    return listing


def trash_info_paths(trash):
    """Name in files/ -> the original path its .trashinfo records."""
    recorded = {}
    info = trash / "info"
    for entry in os.listdir(info) if info.exists() else []:
        assert entry.endswith(".trashinfo")
        lines = (info / entry).read_bytes().decode().splitlines()
        path = next(line[len("Path=") :] for line in lines if line.startswith("Path="))
        recorded[entry[: -len(".trashinfo")]] = urllib.parse.unquote(path, errors="surrogateescape")
    return recorded


def test_swapping_a_directory_for_a_link_never_moves_anything_outside(tmp_path):
    base = tmp_path.resolve()
    if not exchange_supported(base):
        pytest.skip("this filesystem cannot exchange names atomically")
    root = base / "root"
    swapped = root / "swapped"
    outside = base / "outside"
    swapped.mkdir(parents=True)
    outside.mkdir()
    # The same names on both sides: a move that followed the link would find
    # its target and take the outside file.
    names = [f"f{index:05}" for index in range(FILES)]
    for name in names:
        (swapped / name).write_bytes(b"inside " + name.encode())
        (outside / name).write_bytes(b"outside " + name.encode())
    link = root / "link"
    link.symlink_to(outside)
    before = snapshot(outside)

    cleaner = Cleaner(root, base / "audit")
    requested = [str(swapped / name) for name in names]
    # The swapping runs in its own process, so that it flips the name as fast
    # as the kernel allows instead of waiting for this interpreter's lock.
    enough, stop = base / "enough", base / "stop"
    swapper = subprocess.Popen(
        [sys.executable, "-c", SWAPPER, str(swapped), str(link), str(enough), str(stop), str(MIN_SWAPS)],
        stdout=subprocess.PIPE,
        text=True,
    )
    reports = []
    try:
        assert swapper.stdout.readline() == "ready\n"
        # However slow the machine, the requests keep coming until the name
        # has flipped often enough under them.
        while len(reports) < ROUNDS or (not enough.exists() and len(reports) < 100):
            reports.append(cleaner.trash(requested))
    finally:
        stop.touch()
        output, _ = swapper.communicate(timeout=60)
    assert swapper.returncode == 0
    assert not swapped.is_symlink()
    assert int(output) >= MIN_SWAPS

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
        name = os.path.basename(original)
        assert (trash / "files" / trash_name).read_bytes() == b"inside " + name.encode()
    remaining = set(requested) - set(trashed)
    assert {str(swapped / name) for name in os.listdir(swapped)} == remaining
