import _thread
import os
import sys
import threading
from pathlib import Path

import pytest
from helpers import Boom, boom, make_file, odd, other_thread_pace

from orvalnest import measure, scan_tree
from orvalnest._native import Cleaner, ScanIssue, scan

NOTES = sys.version_info >= (3, 11)  # exceptions carry notes from 3.11 on


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    make_file(tmp_path / "photos.zip" / "IMAGE.JPEG", 3000)
    make_file(tmp_path / "photos.zip" / "Song.FLAC", 2000)
    make_file(tmp_path / "notes.txt", 10)
    make_file(tmp_path / "Makefile", 0)
    (tmp_path / "empty").mkdir()
    os.symlink("photos.zip/IMAGE.JPEG", tmp_path / "lib.so")
    os.symlink("photos.zip", tmp_path / "album")
    os.mkfifo(tmp_path / "fifo")  # left out
    return tmp_path


def test_tree_sizes_order_and_categories(tree):
    result = scan(tree)
    root = result.root
    assert (root.path, root.name, root.size, result.issues) == (str(tree), tree.name, 5010, [])
    # Largest first, ties by name; a link goes by its own name and is never followed.
    assert [(n.name, n.size, n.is_dir, n.category) for n in root.children] == [
        ("photos.zip", 5000, True, "directory"),
        ("notes.txt", 10, False, "document"),
        ("Makefile", 0, False, "other"),
        ("album", 0, False, "other"),
        ("empty", 0, True, "directory"),
        ("lib.so", 0, False, "system"),
    ]
    # A trailing separator stays on the root; its entries get exactly one.
    slashed = scan(f"{tree}/photos.zip/").root
    assert (slashed.path, slashed.name) == (f"{tree}/photos.zip/", "photos.zip")
    assert slashed.children[0].path == f"{tree}/photos.zip/IMAGE.JPEG"
    # A symbolic-link root passes the checks but is not followed.
    linked = scan(tree / "album")
    assert (linked.root.size, linked.root.is_dir, len(linked.root), linked.issues) == (0, False, 0, [])


def test_result_objects_are_immutable_and_hand_out_new_lists(tree):
    result = scan(tree)
    root = result.root
    assert result.root is result.root and all(a is b for a, b in zip(root.children, root.children, strict=True))
    root.children.append(root)
    result.issues.append(None)
    assert (len(root.children), len(root), result.issues) == (6, 6, [])
    assert root and not root.children[4]  # a length makes a node false when empty


def test_repr_uses_the_quoted_form(tmp_path):
    make_file(tmp_path / 'a"b\\c\nd', 7)
    quoted = str(tmp_path).replace("\\", "\\\\").replace('"', '\\"')
    leaf = f'Node(path="{quoted}/a\\"b\\\\c\\nd", size=7, is_dir=False, children=0)'
    assert repr(scan(tmp_path).root.children[0]) == leaf
    issue = scan("/proc").issues[0]
    assert (type(issue), repr(issue)) == (
        ScanIssue,
        'ScanIssue(path="/proc", message="skipped: pseudo-filesystem (proc)")',
    )


def test_names_that_are_not_utf8_read_lossily(tmp_path):
    folder = os.path.join(os.fsencode(tmp_path), b"caf\xe9\xff")
    os.mkdir(folder)
    make_file(Path(os.fsdecode(folder)) / os.fsdecode(b"\xfe.txt"), 2)
    (node,) = scan(tmp_path).root.children
    (leaf,) = node.children
    assert (node.name, node.path) == ("caf\ufffd\ufffd", f"{tmp_path}/caf\ufffd\ufffd")
    assert (leaf.name, leaf.path, leaf.category) == ("\ufffd.txt", f"{tmp_path}/caf\ufffd\ufffd/\ufffd.txt", "document")
    # The cleaner takes the real name (the interpreter's escaped form) and reports it lossily.
    report = Cleaner(tmp_path, tmp_path / "audit").trash([os.fsdecode(folder + b"/\xfe.txt")], dry_run=True)
    assert (report.trashed, report.failed) == ([leaf.path], [])


@pytest.mark.parametrize("entry", [scan, scan_tree], ids=["scan", "scan_tree"])
@pytest.mark.parametrize(
    "argument, exception, message",
    [
        ("", OSError, ": cannot make an empty path absolute"),
        ("{tmp}/missing", FileNotFoundError, "{tmp}/missing does not exist"),
        ("{tmp}//file", NotADirectoryError, "{tmp}/file is not a directory"),
        ("{tmp}/a\0b", FileNotFoundError, "{tmp}/a\0b does not exist"),  # no path holds a NUL
        # Refused before any check, with a note naming the parameter.
        (b"/tmp", TypeError, "'bytes' object is not an instance of 'str'"),
        (odd("raising fspath", __fspath__=boom), Boom, "raised by the caller's own object"),  # unchanged
    ],
)
def test_root_checks(tmp_path, entry, argument, exception, message):
    make_file(tmp_path / "file", 1)
    with pytest.raises(exception) as caught:
        entry(argument.format(tmp=tmp_path) if isinstance(argument, str) else argument)
    assert type(caught.value) is exception and str(caught.value) == message.format(tmp=tmp_path)
    if not issubclass(exception, OSError):
        assert getattr(caught.value, "__notes__", None) == (["while processing 'path'"] if NOTES else None)


@pytest.fixture(scope="module")
def many_files(tmp_path_factory) -> Path:
    root = tmp_path_factory.mktemp("many")
    for d in range(40):
        (root / f"d{d}").mkdir()
        for f in range(500):
            (root / f"d{d}" / f"f{f}").touch()
    make_file(root / "sized", 12345)
    return root


def test_other_threads_run_during_a_scan():
    # A system tree, only read, that takes a second or so to walk, so that the
    # walk outweighs what happens around it (the compact tree builds no
    # objects); one thread leaves the spinner a core. Holding the lock, the
    # walk leaves the spinner a pace of 0.01 to 0.03 here; released, 0.5 to
    # 1.3 on a loaded two-core machine.
    tree, pace = other_thread_pace(lambda: measure("/usr", threads=1))
    assert tree.entries > 1000
    assert pace > 0.1, pace


def test_ctrl_c_interrupts_a_scan(many_files):
    for _ in range(50):
        # Trips the SIGINT flag from another thread, as Ctrl+C would. One that lands
        # while the objects are built is raised after scan() returns, as a plain
        # KeyboardInterrupt: try again. The timer starts and ends inside the try,
        # however late a loaded machine runs it: an interrupt outside would end
        # the whole test run.
        timer = threading.Timer(0.005, _thread.interrupt_main)
        try:
            timer.start()
            scan(many_files)
            timer.join()
        except KeyboardInterrupt as interrupt:
            timer.join()
            if interrupt.args == ("scan interrupted",):
                break
    else:
        pytest.fail("no scan was interrupted")
    assert scan(many_files).root.size == 12345  # the interrupted scan left nothing behind
