import collections.abc
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from pathlib import Path

import pytest

from orvalnest._native import MAX_DEPTH, Node, ScanIssue, ScanResult, scan

PACKAGE_PATH = os.pathsep.join(sys.path)


def make_file(path: Path, size: int) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as f:
        f.truncate(size)


def walk(node: Node):
    stack = [node]
    while stack:
        current = stack.pop()
        yield current
        stack.extend(current.children)


def by_name(node: Node) -> dict[str, Node]:
    return {child.name: child for child in node.children}


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    make_file(tmp_path / "photos.zip" / "IMAGE.JPEG", 3000)
    make_file(tmp_path / "photos.zip" / "Song.FLAC", 2000)
    make_file(tmp_path / "notes.txt", 10)
    make_file(tmp_path / "Makefile", 0)
    (tmp_path / "empty").mkdir()
    os.symlink("photos.zip/IMAGE.JPEG", tmp_path / "lib.so")
    os.symlink("photos.zip", tmp_path / "album")
    return tmp_path


def test_tree_sizes_order_and_categories(tree):
    result = scan(tree)
    root = result.root
    assert result.issues == []
    assert (root.path, root.name, root.size, root.is_dir, root.category) == (
        str(tree),
        tree.name,
        5010,
        True,
        "directory",
    )
    assert [child.size for child in root.children] == [5000, 10, 0, 0, 0, 0]
    children = by_name(root)
    expected = {
        "photos.zip": (5000, True, "directory"),
        "notes.txt": (10, False, "document"),
        "Makefile": (0, False, "other"),
        "empty": (0, True, "directory"),
        "lib.so": (0, False, "system"),  # a link goes by its own name and is never followed
        "album": (0, False, "other"),
    }
    assert {name: (n.size, n.is_dir, n.category) for name, n in children.items()} == expected
    photos = children["photos.zip"]
    assert [(c.name, c.path, c.category) for c in photos.children] == [
        ("IMAGE.JPEG", str(tree / "photos.zip" / "IMAGE.JPEG"), "image"),
        ("Song.FLAC", str(tree / "photos.zip" / "Song.FLAC"), "audio"),
    ]


def test_result_objects_are_immutable_and_hand_out_new_lists(tree):
    result = scan(tree)
    root = result.root
    assert result.root is result.root
    assert result.issues is not result.issues
    assert root.children is not root.children
    assert all(a is b for a, b in zip(root.children, root.children, strict=True))
    root.children.append(root)
    result.issues.append(None)
    assert len(root.children) == len(root) == 6
    assert result.issues == []
    for obj, attribute, value in [
        (root, "size", 0),
        (root, "name", "x"),
        (root, "children", []),
        (result, "root", None),
    ]:
        with pytest.raises(AttributeError):
            setattr(obj, attribute, value)
    with pytest.raises(AttributeError):
        root.extra = 1
    # A length makes a node false when empty, but it is a mapping length, not a sequence.
    empty = by_name(root)["empty"]
    assert not empty and not by_name(root)["notes.txt"] and root
    assert not isinstance(root, collections.abc.Sequence)
    with pytest.raises(TypeError):
        root[0]
    assert (type(root), type(result)) == (Node, ScanResult)


def test_repr_uses_the_quoted_form(tmp_path):
    name = 'a"b\\c\nd'
    make_file(tmp_path / name, 7)
    result = scan(tmp_path)
    quoted_root = str(tmp_path).replace("\\", "\\\\").replace('"', '\\"')
    assert repr(result) == f'ScanResult(root="{quoted_root}", size=7, issues=0)'
    assert (
        repr(result.root.children[0]) == f'Node(path="{quoted_root}/a\\"b\\\\c\\nd", size=7, is_dir=False, children=0)'
    )
    assert repr(result.root) == f'Node(path="{quoted_root}", size=7, is_dir=True, children=1)'
    issue = scan("/proc").issues[0]
    assert type(issue) is ScanIssue
    assert repr(issue) == 'ScanIssue(path="/proc", message="skipped: pseudo-filesystem (proc)")'


@pytest.mark.parametrize(
    "argument, exception, message",
    [
        ("", OSError, ": cannot make an empty path absolute"),
        ("{tmp}/missing", FileNotFoundError, "{tmp}/missing does not exist"),
        ("{tmp}/file/below", FileNotFoundError, "{tmp}/file/below does not exist"),
        ("{tmp}//file", NotADirectoryError, "{tmp}/file is not a directory"),
    ],
)
def test_root_checks(tmp_path, argument, exception, message):
    make_file(tmp_path / "file", 1)
    with pytest.raises(OSError) as caught:
        scan(argument.format(tmp=tmp_path))
    assert type(caught.value) is exception
    assert caught.value.args == (message.format(tmp=tmp_path),)


def test_root_forms(tmp_path, monkeypatch):
    make_file(tmp_path / "a" / "f", 5)
    (tmp_path / "b").mkdir()
    os.symlink("a", tmp_path / "link")

    # A trailing separator stays on the root; its entries get exactly one.
    slashed = scan(f"{tmp_path}/a/")
    assert (slashed.root.path, slashed.root.name) == (f"{tmp_path}/a/", "a")
    assert slashed.root.children[0].path == f"{tmp_path}/a/f"

    # A symbolic-link root passes the checks but is not followed.
    linked = scan(tmp_path / "link")
    assert (linked.root.size, linked.root.is_dir, len(linked.root), linked.issues) == (0, False, 0, [])

    # Relative roots become absolute lexically, ".." kept.
    monkeypatch.chdir(tmp_path)
    relative = scan("a/../b/")
    assert relative.root.path == f"{tmp_path}/a/../b/"
    assert relative.root.name == "b"


def test_fifos_and_sockets_are_left_out(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(tmp_path / "sock"))
        make_file(tmp_path / "file", 4)
        result = scan(tmp_path)
    assert [c.name for c in result.root.children] == ["file"]
    assert result.issues == []


def test_names_that_are_not_utf8(tmp_path):
    raw = os.fsencode(tmp_path) + b"/caf\xc3\xa9-\xff\xfe"
    os.mkdir(raw)
    with open(raw + b"/x\xe2\x82.txt", "wb") as f:
        f.write(b"abc")
    root = scan(tmp_path).root
    folder = root.children[0]
    assert folder.name == "caf\u00e9-\ufffd\ufffd"
    assert folder.path == f"{tmp_path}/caf\u00e9-\ufffd\ufffd"
    file = folder.children[0]
    assert (file.name, file.size, file.category) == ("x\ufffd.txt", 3, "document")
    assert file.path == f"{tmp_path}/caf\u00e9-\ufffd\ufffd/x\ufffd.txt"


def test_depth_limit(tmp_path):
    # Directories at depths 1..256; the file at depth 256 is listed, the
    # directory at depth 256 is not opened.
    deepest = tmp_path
    for depth in range(1, MAX_DEPTH + 1):
        deepest = deepest / ("\udcff" if depth == MAX_DEPTH else "d")
        if depth == MAX_DEPTH:
            make_file(deepest.parent / "f", 9)
    deepest.mkdir(parents=True)
    make_file(deepest / "unseen", 100)
    result = scan(tmp_path)
    assert result.root.size == 9
    [issue] = result.issues
    expected_path = str(deepest).replace("\udcff", "\ufffd")
    assert (issue.path, issue.message) == (expected_path, "skipped: nested deeper than 256 levels")
    node = result.root
    for _ in range(MAX_DEPTH - 1):
        node = by_name(node)["d"]
    children = by_name(node)
    assert children["f"].size == 9
    too_deep = children["\ufffd"]
    assert (too_deep.is_dir, too_deep.size, too_deep.children) == (True, 0, [])


@pytest.mark.parametrize("root, name, sample", [("/usr", "usr", "lib"), ("/", "/", "etc")])
def test_whole_system_trees(root, name, sample):
    result = scan(root)
    assert (result.root.name, result.root.is_dir) == (name, True)
    assert result.root.size > 0
    issue_paths = {issue.path for issue in result.issues}
    if root == "/":
        assert {"/proc", "/sys"} <= issue_paths
        children = by_name(result.root)
        assert children["proc"].children == [] and children["sys"].children == []
    for node in walk(by_name(result.root)[sample]):
        sizes = [child.size for child in node.children]
        assert sizes == sorted(sizes, reverse=True)
        if node.is_dir and node.path not in issue_paths:
            assert node.size == sum(sizes)


def make_many_files(root: Path, count: int) -> None:
    for d in range(count // 500):
        folder = root / f"d{d}"
        folder.mkdir()
        for f in range(500):
            (folder / f"f{f}").touch()


@pytest.fixture(scope="module")
def many_files(tmp_path_factory) -> Path:
    root = tmp_path_factory.mktemp("many")
    make_many_files(root, 20_000)
    make_file(root / "sized", 12345)
    return root


def test_other_threads_run_during_a_scan(many_files):
    progress = 0
    stop = False

    def spin():
        nonlocal progress
        while not stop:
            progress += 1

    # Short switches keep what the spinner gets around the call itself small.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    thread = threading.Thread(target=spin)
    thread.start()
    try:
        start, before = time.perf_counter(), progress
        time.sleep(0.05)
        rate = (progress - before) / (time.perf_counter() - start)
        start, before = time.perf_counter(), progress
        result = scan(many_files)
        during, elapsed = progress - before, time.perf_counter() - start
    finally:
        stop = True
        thread.join()
        sys.setswitchinterval(interval)
    assert len(list(walk(result.root))) == 20_000 + 40 + 2
    # Holding the lock for the walk would leave the spinner a few milliseconds at most.
    assert during > 0.25 * rate * elapsed


CTRL_C_CHILD = textwrap.dedent(
    """
    import sys
    from orvalnest._native import scan
    root = sys.argv[1]
    print("ready", flush=True)
    while True:
        try:
            scan(root)
        except KeyboardInterrupt as e:
            # A signal that lands while the objects are built is raised after
            # scan() returns, as a plain KeyboardInterrupt: try again.
            if e.args != ("scan interrupted",):
                print("missed", flush=True)
                continue
            print("interrupted", flush=True)
            break
    print(scan(root).root.size, flush=True)
    """
)


def read_line(child: subprocess.Popen, timeout: float) -> str:
    ready, _, _ = select.select([child.stdout], [], [], timeout)
    return child.stdout.readline() if ready else "<timeout>\n"


def test_ctrl_c_interrupts_a_scan(many_files):
    child = subprocess.Popen(
        [sys.executable, "-c", CTRL_C_CHILD, str(many_files)],
        stdout=subprocess.PIPE,
        text=True,
        bufsize=1,
        env={**os.environ, "PYTHONPATH": PACKAGE_PATH},
    )
    try:
        assert read_line(child, 30) == "ready\n"
        for _ in range(50):
            time.sleep(0.02)
            child.send_signal(signal.SIGINT)
            line = read_line(child, 10)
            if line != "missed\n":
                break
        assert line == "interrupted\n"
        # The interrupted scan left nothing behind: the next one works.
        assert read_line(child, 30) == "12345\n"
        assert child.wait(timeout=30) == 0
    finally:
        child.kill()
        child.wait()


UNPRIVILEGED_CHILD = textwrap.dedent(
    """
    import os, sys
    os.setgroups([])
    os.setresgid(65534, 65534, 65534)
    os.setresuid(65534, 65534, 65534)
    from orvalnest._native import scan
    root = sys.argv[1]
    result = scan(root)
    locked = {c.name: c for c in result.root.children}["locked"]
    print(result.root.size, locked.is_dir, locked.size, len(locked.children))
    print([(i.path, i.message) for i in result.issues])
    unreadable_root = scan(root + "/locked")
    print(unreadable_root.root.size, unreadable_root.root.is_dir, len(unreadable_root.issues))
    """
)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to drop to another user")
def test_unreadable_folders_become_issues():
    # Root ignores permission bits, so the scan runs as nobody, on a tree that
    # nobody can reach (pytest's own temporary folders are private).
    base = Path(tempfile.mkdtemp(prefix="orvalnest-scan-"))
    try:
        base.chmod(0o755)
        make_file(base / "open.txt", 9)
        make_file(base / "locked" / "secret", 500)
        (base / "locked").chmod(0)
        out = subprocess.run(
            [sys.executable, "-c", UNPRIVILEGED_CHILD, str(base)],
            capture_output=True,
            text=True,
            env={**os.environ, "PYTHONPATH": PACKAGE_PATH},
            check=True,
        ).stdout.splitlines()
        assert out[0] == "9 True 0 0"
        assert out[1] == repr([(str(base / "locked"), "Permission denied (os error 13)")])
        assert out[2] == "0 True 1"
    finally:
        (base / "locked").chmod(0o755)
        subprocess.run(["rm", "-rf", str(base)], check=True)
