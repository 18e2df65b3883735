"""Nothing leaks: after a warm-up, however many calls follow (failing ones
too), memory stops growing and the reference counts of their arguments stay
as they were."""

import gc
import os
import sys

import numpy as np
import pytest
from helpers import Boom, boom, make_file, odd, path_like, read_whole

from orvalnest._native import Cleaner, format_bytes, scan


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "root"
    names = ["a/one.txt", "a/b/two.mp3", "c/three.py", "four.zip", 'odd "name"\n.txt', os.fsdecode(b"bad-\xff\xfe.bin")]
    for index, name in enumerate(names):
        make_file(root / name, index * 100 + 1)
    (root / "empty").mkdir()
    (root / "link").symlink_to(root / "a")
    return root


def fresh(text):
    # A new str object each time: literals are shared and interned.
    return "".join([text[:1], text[1:]])


def memory():
    gc.collect()
    with open("/proc/self/statm") as statm:
        return sys.getallocatedblocks(), int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_repeated_calls_leak_neither_references_nor_memory(tree, tmp_path):
    audit = tmp_path / "audit"
    cleaner = Cleaner(tree, audit)
    root, inside, missing = fresh(str(tree)), fresh(str(tree / "four.zip")), fresh(str(tree / "missing"))
    pseudo = fresh("/proc")  # not listed: a result with an issue
    inner, inner_bytes, path = fresh(str(tree / "a")), os.fsencode(tree), tree / "c"
    like, bytes_like = path_like(inner), path_like(inner_bytes)
    paths = [inside, like, path, missing, fresh("/etc/passwd"), fresh("relative"), root, str(tree / "a/../c")]
    failing = [inside, b"/bytes", like]
    flag, big, index = np.True_, 10**30, np.int64(5)
    fake = odd("bool_", "numpy", __bool__=boom)  # taken for numpy's, so its __bool__ is called: it raises

    def trash_and_read():
        report = cleaner.trash(paths, dry_run=flag)
        return report.trashed, report.failed, report.ok, report.dry_run, report.audit_log, repr(report)

    calls = [  # (id, call, the argument objects whose counts must not change)
        ("scan str", lambda: read_whole(scan(root)), [root]),
        ("scan with issue", lambda: read_whole(scan(pseudo)), [pseudo]),
        ("scan path-like", lambda: scan(like), [like, inner]),
        ("scan missing", lambda: scan(missing), [missing]),
        ("scan bytes path-like", lambda: scan(bytes_like), [bytes_like, inner_bytes]),
        ("format_bytes index", lambda: format_bytes(index), [index]),
        ("format_bytes overflow", lambda: format_bytes(big), [big]),
        ("Cleaner", lambda: Cleaner(path, audit), [path, audit]),
        ("Cleaner missing", lambda: Cleaner(missing, audit), [missing, audit]),
        ("check accepted", lambda: cleaner.check(inside), [inside]),
        ("check refused", lambda: cleaner.check(paths[4]), [paths[4]]),
        ("trash list", trash_and_read, [paths, flag, *paths]),
        ("trash bad item", lambda: cleaner.trash(failing, dry_run=True), [failing, *failing]),
        ("trash raising flag", lambda: cleaner.trash(paths, dry_run=fake), [paths, fake, *paths]),
    ]

    def run(rounds):
        for _ in range(rounds):
            for _, call, _ in calls:
                try:
                    call()
                except (TypeError, OverflowError, OSError, Boom):
                    pass
        return {name: [sys.getrefcount(argument) for argument in arguments] for name, _, arguments in calls}

    # A first round fills the caches and the allocator's pools (and trashes the
    # one real file); after it, reference counts and memory stay put. One
    # object leaked by any one call would be a thousand blocks, and well over
    # a hundred kilobytes, after the measured rounds.
    counts, (blocks, rss) = run(300), memory()
    assert run(1000) == counts
    after_blocks, after_rss = memory()
    assert after_blocks - blocks < 300
    # The sanitizer's quarantine keeps freed memory, so there RSS grows regardless.
    assert os.environ.get("ORVALNEST_SANITIZED") or after_rss - rss < 96 * 1024
