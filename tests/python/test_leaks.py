"""Nothing leaks: memory stops growing after a warm-up however many calls
follow, every call (a failing one too) leaves the reference counts of its
arguments as they were, and result objects hold exactly one reference to
each object they keep."""

import gc
import os
import pathlib
import sys

import numpy as np
import pytest

from orvalnest._native import MAX_DEPTH, Cleaner, format_bytes, scan

SANITIZED = bool(os.environ.get("ORVALNEST_SANITIZED"))
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "root"
    for directory in ("a", "a/b", "c", "empty"):
        (root / directory).mkdir(parents=True)
    for index, name in enumerate(["a/one.txt", "a/b/two.mp3", "c/three.py", "four.zip", 'odd "name"\n.txt']):
        (root / name).write_bytes(b"x" * (index * 100 + 1))
    with open(os.path.join(os.fsencode(root), b"not-utf8-\xff\xfe.bin"), "wb") as handle:
        handle.write(b"y" * 7)
    (root / "link").symlink_to(root / "a")
    return root


def read_tree(result):
    stack = [result.root]
    while stack:
        node = stack.pop()
        node.name, node.path, node.size, node.is_dir, node.category, repr(node), len(node)
        stack.extend(node.children)
    for issue in result.issues:
        issue.path, issue.message, repr(issue)
    repr(result)


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


# ---- Memory ----


def growth_after_warm_up(work):
    """RSS gained over four more rounds of `work` once a first round has
    filled the caches and the allocator's pools."""
    work()
    gc.collect()
    before = rss()
    for _ in range(4):
        work()
    gc.collect()
    return rss() - before


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine keeps freed memory, so RSS grows regardless")
@pytest.mark.parametrize("workload", ["scan", "dry-run trash", "refused check"])
def test_memory_settles(tree, tmp_path, workload):
    cleaner = Cleaner(tree, tmp_path / "audit")
    inside = [str(tree / name) for name in ("four.zip", "a/one.txt", "c", "link", "missing")]
    outside = [str(tmp_path), "/etc/passwd", "relative", str(tree), str(tree / "a" / ".." / "c")]

    def scans():
        for _ in range(500):
            read_tree(scan(tree))

    def trashes():
        for _ in range(500):
            report = cleaner.trash(inside + outside, dry_run=True)
            report.trashed, report.failed, report.ok, report.dry_run, report.audit_log, repr(report)

    def checks():
        for _ in range(500):
            for path in outside:
                try:
                    cleaner.check(path)
                except (PermissionError, FileNotFoundError):
                    pass

    work = {"scan": scans, "dry-run trash": trashes, "refused check": checks}[workload]
    # Settled memory stays put; one leaked small object per call would
    # already be well over a hundred kilobytes after the 2000 measured calls.
    assert growth_after_warm_up(work) < 96 * 1024


# ---- Reference counts of the arguments ----


class FakeNumpyBool:
    """Named like numpy's boolean, so its __bool__ is called; it raises."""

    def __bool__(self):
        raise RuntimeError("no")


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = "bool_"


def fresh(text):
    # A new str object each time: literals are shared and interned.
    return "".join([text[:1], text[1:]])


def calls(tree, tmp_path):
    """(id, call, the argument objects whose counts must not change)."""
    audit = tmp_path / "audit"
    cleaner = Cleaner(tree, audit)
    root = fresh(str(tree))
    inside = fresh(str(tree / "four.zip"))
    missing = fresh(str(tree / "missing"))
    path_like = PathLike(fresh(str(tree / "a")))
    bytes_like = PathLike(os.fsencode(tree))
    path = tree / "c"
    paths = [inside, path_like, path, missing, fresh("/etc/passwd")]
    as_tuple = tuple(paths)
    flag = np.True_
    big = 10**30
    size = 123456789
    index = np.int64(5)
    fake = FakeNumpyBool()
    failing = [inside, b"/bytes", path_like]
    return [
        ("scan str", lambda: scan(root), [root]),
        ("scan path-like", lambda: scan(path_like), [path_like, path_like.path]),
        ("scan pathlib", lambda: scan(path=path), [path]),
        ("scan missing", lambda: scan(missing), [missing]),
        ("scan bytes path-like", lambda: scan(bytes_like), [bytes_like, bytes_like.path]),
        ("format_bytes", lambda: format_bytes(size), [size]),
        ("format_bytes index", lambda: format_bytes(index), [index]),
        ("format_bytes overflow", lambda: format_bytes(big), [big]),
        ("Cleaner", lambda: Cleaner(path, audit), [path, audit]),
        ("Cleaner missing", lambda: Cleaner(missing, audit), [missing, audit]),
        ("check accepted", lambda: cleaner.check(inside), [inside]),
        ("check refused", lambda: cleaner.check(paths[-1]), [paths[-1]]),
        ("check missing", lambda: cleaner.check(missing), [missing]),
        ("check path-like", lambda: cleaner.check(path_like), [path_like, path_like.path]),
        ("trash list", lambda: cleaner.trash(paths, dry_run=flag), [paths, flag, *paths]),
        ("trash tuple", lambda: cleaner.trash(paths=as_tuple, dry_run=True), [as_tuple, *as_tuple]),
        ("trash bad item", lambda: cleaner.trash(failing, dry_run=True), [failing, *failing]),
        ("trash bad flag", lambda: cleaner.trash(paths, dry_run=size), [paths, size, *paths]),
        ("trash raising flag", lambda: cleaner.trash(paths, dry_run=fake), [paths, fake, *paths]),
        ("trash str", lambda: cleaner.trash(inside), [inside]),
    ]


# Building the calls touches nothing on disk, so the ids can come from a dummy tree.
CALL_IDS = [case[0] for case in calls(pathlib.Path("/"), pathlib.Path("/nonexistent"))]


@pytest.mark.parametrize("case", CALL_IDS)
def test_arguments_keep_their_reference_counts(tree, tmp_path, case):
    _, call, arguments = next(item for item in calls(tree, tmp_path) if item[0] == case)

    def run():
        try:
            call()
        except (TypeError, OverflowError, OSError, RuntimeError):
            pass

    run()  # the first call may create the module's process-wide caches
    before = [sys.getrefcount(argument) for argument in arguments]
    for _ in range(5):
        run()
    assert [sys.getrefcount(argument) for argument in arguments] == before


# ---- References held by results ----


def test_result_objects_hold_one_reference_each(tree):
    # A chain one level deeper than the walk goes, so that there is an issue.
    chain = tree / "chain"
    chain.mkdir()
    for _ in range(MAX_DEPTH):
        chain = chain / "d"
        chain.mkdir()
    result = scan(tree)
    issues = result.issues
    assert len(issues) == 1
    root = result.root
    # The result's own reference, `root`, and getrefcount's argument.
    assert sys.getrefcount(root) == 3
    stack = [root]
    while stack:
        children = stack.pop().children
        for child in children:
            # The parent's, the list's, the loop variable's and the argument's.
            assert sys.getrefcount(child) == 4, child
        stack.extend(children)
        del children
    for issue in issues:
        assert sys.getrefcount(issue) == 4


def test_dropping_a_result_frees_its_tree(tree):
    # Without weak reference support, a kept node's count tells whether the
    # parent really let go of it.
    result = scan(tree)
    child = result.root.children[0]
    assert sys.getrefcount(child) == 3
    del result
    assert sys.getrefcount(child) == 2
