"""measure(): the compact tree, its numbers against du, and its views."""

import os
import subprocess
from pathlib import Path

import pytest
from helpers import make_file
from test_parallel import build_random_tree, shared_tmp, unprivileged  # noqa: F401  (a fixture)
from test_scan_tree import hard_links, many_entries, sparse_files

from orvalnest import Entry, measure, scan_tree


def du(path: Path, *flags: str) -> int:
    out = subprocess.run(["du", "-s", *flags, str(path)], check=True, capture_output=True, text=True)
    return int(out.stdout.split()[0])


def entries(tree):
    stack = [tree.root]
    while stack:
        entry = stack.pop()
        yield entry
        stack.extend(entry.children)


def links_and_folders(tmp: Path) -> None:
    hard_links(tmp)
    os.symlink("a/data", tmp / "pointer")  # its own length counts, not the target's
    for i in range(40):
        (tmp / "many" / f"f{i}").mkdir(parents=True)


@pytest.mark.parametrize("build", [links_and_folders, sparse_files, many_entries])
@pytest.mark.parametrize("threads", [1, 2])
def test_totals_are_dus(tmp_path, build, threads):
    build(tmp_path)
    tree = measure(tmp_path, threads=threads)
    root = tree.root
    assert (root.apparent_size, root.disk_usage) == (du(tmp_path, "-b"), du(tmp_path, "-B1"))
    assert root.size == scan_tree(tmp_path).root.size
    for entry in entries(tree):
        own = os.lstat(entry.path_bytes)
        if entry.is_dir:
            children = list(entry.children)
            assert entry.apparent_size == own.st_size + sum(child.apparent_size for child in children)
            assert entry.entries_below == len(children) + sum(child.entries_below for child in children)
            assert entry.newest_mtime == max([int(own.st_mtime)] + [child.newest_mtime for child in children])
            order = [(-child.disk_usage, child.name_bytes) for child in children]
            assert order == sorted(order)
        else:
            assert entry.apparent_size == (own.st_size if entry.counted else 0)
        assert entry.mtime == int(own.st_mtime)
    # Each inode's blocks and length count once: at one of its links.
    linked = [(os.lstat(entry.path_bytes).st_ino, entry.counted) for entry in entries(tree) if entry.is_hardlink]
    assert sorted(inode for inode, counted in linked if counted) == sorted({inode for inode, _ in linked})


def test_any_depth_counts_what_du_counts(tmp_path):
    path = tmp_path
    for _ in range(300):
        path = path / "level"
    path.mkdir(parents=True)
    make_file(path / "big.bin", 10_000_000)
    os.utime(path / "big.bin", (2_000_000_000, 2_000_000_000))  # the newest time comes up 300 folders
    tree = measure(tmp_path)
    assert (tree.root.newest_mtime, tree.root.children[0].newest_mtime) == (2_000_000_000, 2_000_000_000)
    assert (tree.root.apparent_size, tree.root.disk_usage) == (du(tmp_path, "-b"), du(tmp_path, "-B1"))
    assert (tree.issues, tree.root.incomplete, tree.entries) == ([], False, 302)
    deepest = tree.largest_files(1)[0]
    assert deepest.path_bytes == os.fsencode(path / "big.bin") and deepest.size == 10_000_000
    # The scan that makes Node objects keeps its limit.
    assert scan_tree(tmp_path).root.size == 0


@pytest.mark.parametrize("pattern", ["share/doc", "doc", "*.log", "/nowhere/*", "a?b", "share"])
def test_exclude_matches_as_du_does(tmp_path, pattern):
    for name in ["usr/share/doc/readme", "usr/doc/notes.log", "usr/a/b", "usr/lib/x.log", "usr/share/man/page"]:
        make_file(tmp_path / name, 1000)
    tree = measure(tmp_path, exclude=[pattern])
    assert tree.root.apparent_size == du(tmp_path, "-b", f"--exclude={pattern}")
    assert tree.excluded == scan_tree(tmp_path, exclude=[pattern]).excluded
    assert tree.exclude == (pattern,)


def test_entries_are_light_views(tmp_path):
    for i in range(5):
        make_file(tmp_path / "folder" / f"f{i}", 5000 * i)
    tree = measure(tmp_path)
    folder = tree.root.children[0]
    children = folder.children
    assert tree.children_reads == 2  # the root's and the folder's
    assert [child.size for child in children] == [20000, 15000, 10000, 5000, 0]
    assert len(children) == 5 and children[-1] == children[4] and children[4] in children
    assert [child.name for child in children[1:3]] == ["f3", "f2"] and children[::2][1].name == "f2"
    assert {folder, tree.entry(folder.index), children[0].parent} == {folder}
    assert folder != measure(tmp_path).root.children[0] and tree.root.parent is None
    assert [c.name for c in folder.sorted_children("name", reverse=True)] == ["f4", "f3", "f2", "f1", "f0"]
    assert [c.name for c in folder.sorted_children("size", reverse=True)] == ["f0", "f1", "f2", "f3", "f4"]
    assert tree.children_reads == 2
    with pytest.raises(IndexError):
        children[5]
    with pytest.raises(IndexError):
        tree.entry(len(tree))
    with pytest.raises(ValueError):
        folder.sorted_children("colour")
    with pytest.raises(AttributeError):
        folder.size = 1
    with pytest.raises(TypeError):
        Entry()


def test_exact_bytes_beside_lossy_text(tmp_path):
    raw = os.fsencode(tmp_path) + b"/report-\xe9t\xe9.pdf"
    with open(raw, "wb") as file:
        file.write(b"x" * 2000)
    make_file(tmp_path / "report-\ufffdt\ufffd.pdf", 10)
    tree = measure(tmp_path)
    first, second = tree.root.children
    assert (first.name, first.path_bytes, first.name_bytes) == ("report-\ufffdt\ufffd.pdf", raw, raw.rsplit(b"/", 1)[1])
    assert second.name == first.name and second.path_bytes == os.fsencode(tmp_path / second.name)


def unreadable_folder(root: str) -> list[str]:
    tree = measure(root)
    (issue,) = tree.issues
    locked = issue.entry
    facts = [locked.name, locked.unreadable, locked.incomplete, tree.root.incomplete, issue.skipped, issue.message]
    return [repr(fact) for fact in facts]


def test_an_unreadable_folder_is_marked_and_named(shared_tmp):  # noqa: F811  (the fixture)
    make_file(shared_tmp / "open" / "file", 10)
    (shared_tmp / "locked").mkdir()
    (shared_tmp / "locked").chmod(0)
    expected = ["'locked'", "True", "True", "True", "False", "'Permission denied (os error 13)'"]
    assert unprivileged(unreadable_folder, str(shared_tmp)) == expected


def flatten(entry):
    children = tuple(flatten(child) for child in entry.children)
    counts = (entry.size, entry.disk_usage, entry.apparent_size, entry.mtime, entry.newest_mtime, entry.entries_below)
    flags = (entry.counted, entry.unreadable, entry.skipped, entry.incomplete, entry.category)
    return (entry.path_bytes, counts, flags, children)


@pytest.mark.parametrize("seed", [5, 6])
def test_every_thread_count_gives_the_same_tree(tmp_path, seed):
    build_random_tree(tmp_path, seed)
    trees = [measure(tmp_path, threads=threads) for threads in (1, 2, 8)]
    for tree in trees[1:]:
        assert flatten(tree.root) == flatten(trees[0].root)
        assert [(i.path_bytes, i.message, i.entry and i.entry.path) for i in tree.issues] == [
            (i.path_bytes, i.message, i.entry and i.entry.path) for i in trees[0].issues
        ]
    subprocess.run(["chmod", "-R", "u+rwx", tmp_path], check=True)
