"""Nothing leaks: memory stops growing after a warm-up however many calls
follow, every call (a failing one too) leaves the reference counts of its
arguments as they were, and result objects hold exactly one reference to
each object they keep."""

import gc
import os
import sys

import numpy as np
import pytest
from helpers import PathLike

from orvalnest._native import MAX_DEPTH, Cleaner, format_bytes, scan


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "root"
    for directory in ("a/b", "c", "empty"):
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


@pytest.mark.skipif(
    bool(os.environ.get("ORVALNEST_SANITIZED")),
    reason="the sanitizer's quarantine keeps freed memory, so RSS grows regardless",
)
@pytest.mark.parametrize("workload", ["scan", "dry-run trash", "refused check"])
def test_memory_settles(tree, tmp_path, workload):
    cleaner = Cleaner(tree, tmp_path / "audit")
    inside = [str(tree / name) for name in ("four.zip", "a/one.txt", "c", "link", "missing")]
    outside = [str(tmp_path), "/etc/passwd", "relative", str(tree), str(tree / "a" / ".." / "c")]

    def checks():
        for path in outside:
            try:
                cleaner.check(path)
            except (PermissionError, FileNotFoundError):
                pass

    def trashes():
        report = cleaner.trash(inside + outside, dry_run=True)
        report.trashed, report.failed, report.ok, report.dry_run, report.audit_log, repr(report)

    work = {"scan": lambda: read_tree(scan(tree)), "dry-run trash": trashes, "refused check": checks}[workload]

    def rss_after(calls):
        for _ in range(calls):
            work()
        gc.collect()
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    # A first round fills the caches and the allocator's pools; after it,
    # settled memory stays put. One leaked small object per call would
    # already be well over a hundred kilobytes after the 2000 measured calls.
    before = rss_after(500)
    assert rss_after(2000) - before < 96 * 1024


class FakeNumpyBool:
    """Named like numpy's boolean, so its __bool__ is called; it raises."""

    def __bool__(self):
        raise RuntimeError("no")


FakeNumpyBool.__module__, FakeNumpyBool.__name__ = "numpy", "bool_"


def fresh(text):
    # A new str object each time: literals are shared and interned.
    return "".join([text[:1], text[1:]])


def test_arguments_keep_their_reference_counts(tree, tmp_path):
    audit = tmp_path / "audit"
    cleaner = Cleaner(tree, audit)
    root, inside, missing = fresh(str(tree)), fresh(str(tree / "four.zip")), fresh(str(tree / "missing"))
    path_like, bytes_like, path = PathLike(fresh(str(tree / "a"))), PathLike(os.fsencode(tree)), tree / "c"
    paths = [inside, path_like, path, missing, fresh("/etc/passwd")]
    failing = [inside, b"/bytes", path_like]
    flag, big, size, index, fake = np.True_, 10**30, 123456789, np.int64(5), FakeNumpyBool()
    calls = [  # (id, call, the argument objects whose counts must not change)
        ("scan str", lambda: scan(root), [root]),
        ("scan path-like", lambda: scan(path_like), [path_like, path_like.value]),
        ("scan missing", lambda: scan(missing), [missing]),
        ("scan bytes path-like", lambda: scan(bytes_like), [bytes_like, bytes_like.value]),
        ("format_bytes index", lambda: format_bytes(index), [index]),
        ("format_bytes overflow", lambda: format_bytes(big), [big]),
        ("Cleaner", lambda: Cleaner(path, audit), [path, audit]),
        ("Cleaner missing", lambda: Cleaner(missing, audit), [missing, audit]),
        ("check accepted", lambda: cleaner.check(inside), [inside]),
        ("check refused", lambda: cleaner.check(paths[-1]), [paths[-1]]),
        ("check path-like", lambda: cleaner.check(path_like), [path_like, path_like.value]),
        ("trash list", lambda: cleaner.trash(paths, dry_run=flag), [paths, flag, *paths]),
        ("trash bad item", lambda: cleaner.trash(failing, dry_run=True), [failing, *failing]),
        ("trash bad flag", lambda: cleaner.trash(paths, dry_run=size), [paths, size, *paths]),
        ("trash raising flag", lambda: cleaner.trash(paths, dry_run=fake), [paths, fake, *paths]),
        ("trash str", lambda: cleaner.trash(inside), [inside]),
    ]
    changed = []
    for name, call, arguments in calls:
        counts = []
        for _ in range(6):  # the first call may create the module's process-wide caches
            try:
                call()
            except (TypeError, OverflowError, OSError, RuntimeError):
                pass
            counts.append([sys.getrefcount(argument) for argument in arguments])
        if counts[1:] != [counts[0]] * 5:
            changed.append((name, counts))
    assert changed == []


def test_result_objects_hold_one_reference_each(tree):
    # A chain one level deeper than the walk goes, so that there is an issue.
    (tree / "chain").joinpath(*["d"] * MAX_DEPTH).mkdir(parents=True)
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
    # Without weak reference support, a kept node's count tells whether its
    # parent really let go of it once the result is dropped.
    kept = root.children[0]
    del result, root, child
    assert sys.getrefcount(kept) == 2
