"""The scan with options and the disk usage every scan reports."""

import os
import subprocess
import time
from pathlib import Path

import pytest
from helpers import make_file, walk

from orvalnest import scan_tree


def du_bytes(path: Path) -> int:
    out = subprocess.run(["du", "-s", "-B1", str(path)], check=True, capture_output=True, text=True)
    return int(out.stdout.split()[0])


def apparent_bytes(path: Path) -> int:
    """st_size of every regular file, each link counted (what Node.size adds up)."""
    files = [os.path.join(folder, name) for folder, _, names in os.walk(path) for name in names]
    return sum(os.lstat(file).st_size for file in files if not os.path.islink(file))


def hard_links(tmp: Path) -> None:
    make_file(tmp / "a" / "data", 300_000)
    (tmp / "b").mkdir()
    os.link(tmp / "a" / "data", tmp / "b" / "link1")  # across directories
    os.link(tmp / "a" / "data", tmp / "a" / "link2")  # inside one
    make_file(tmp / "b" / "pair", 70_000)
    os.link(tmp / "b" / "pair", tmp / "pair")  # a file with just two names is one too


def sparse_files(tmp: Path) -> None:
    make_file(tmp / "part" / "log", 70_000)
    os.truncate(tmp / "part" / "log", 5 << 20)  # written at the start, a hole after
    make_file(tmp / "vm.img", 0)
    os.truncate(tmp / "vm.img", 1 << 30)


def many_entries(tmp: Path) -> None:
    for i in range(3000):  # the directory itself grows past one block
        make_file(tmp / "big" / f"entry-with-a-long-name-{i:05d}", i % 7)
    os.symlink("big", tmp / "link")


@pytest.mark.parametrize("build", [hard_links, sparse_files, many_entries])
def test_disk_usage_matches_du_and_size_stays_apparent(tmp_path, build):
    build(tmp_path)
    root = scan_tree(tmp_path).root
    assert root.disk_usage == du_bytes(tmp_path)
    assert root.size == apparent_bytes(tmp_path)
    for node in walk(root):
        if node.is_dir:
            own = os.lstat(node.path).st_blocks * 512
            assert node.disk_usage == own + sum(child.disk_usage for child in node.children)


@pytest.mark.parametrize(
    ("patterns", "expected", "excluded"),
    [
        (["*.log"], {"keep.txt", "sub", "sub/deep.txt", "cache", "cache/y"}, 2),
        (["*/sub/*.txt"], {"keep.txt", "sub", "sub/x.log", "drop.log", "cache", "cache/y"}, 1),
        (["sub", "cache", "*.txt"], {"drop.log"}, 3),
    ],
)
def test_exclude_by_name_and_by_path(tmp_path, patterns, expected, excluded):
    for name, size in [("keep.txt", 10), ("sub/deep.txt", 20), ("sub/x.log", 40), ("drop.log", 80), ("cache/y", 160)]:
        make_file(tmp_path / name, size)
    result = scan_tree(tmp_path, exclude=patterns)
    root = result.root
    found = {os.path.relpath(node.path, tmp_path) for node in walk(root) if node is not root}
    assert found == expected
    assert result.excluded == excluded
    assert root.size == sum(node.size for node in walk(root) if not node.is_dir)


def test_progress_polls_throttled_and_final(tmp_path):
    many_entries(tmp_path)  # 3003 entries: fifteen polls, one per 200
    calls = []

    def progress(update):
        calls.append((update.entries, update.size, update.disk_usage, update.directory, update.done))

    start = time.monotonic()
    root = scan_tree(tmp_path, progress=progress, threads=1).root
    elapsed = time.monotonic() - start
    *middle, last = calls
    assert last == (3003, root.size, root.disk_usage, str(tmp_path), True)
    assert [call[0] for call in middle] == sorted(call[0] for call in middle)
    assert all(call[0] % 200 == 0 and not call[4] for call in middle)
    # At the first poll, then at most ten times a second.
    assert 1 <= len(middle) <= 1 + elapsed / 0.1


@pytest.mark.parametrize(
    "kwargs, exception", [({"progress": 3}, TypeError), ({"threads": 0}, ValueError), ({"threads": -1}, OverflowError)]
)
def test_option_errors(tmp_path, kwargs, exception):
    with pytest.raises(exception):
        scan_tree(tmp_path, **kwargs)
