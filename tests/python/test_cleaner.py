import json
import os
import subprocess
import sys
import threading

import pytest

from orvalnest._native import Cleaner, TrashReport, scan

HAS_NOTES = sys.version_info >= (3, 11)


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "root"
    (root / "sub").mkdir(parents=True)
    (root / "a.txt").write_text("a")
    (root / "b.bin").write_bytes(b"bb")
    (root / "sub" / "c.txt").write_text("ccc")
    (tmp_path / "outside.txt").write_text("o")
    return root


@pytest.fixture
def audit_dir(tmp_path):
    return tmp_path / "audit"


@pytest.fixture
def cleaner(tree, audit_dir):
    return Cleaner(str(tree), str(audit_dir))


def records(audit_dir):
    lines = (audit_dir / "deletions.jsonl").read_bytes().split(b"\n")
    assert lines[-1] == b"", "the log must end with a line feed"
    return [json.loads(line) for line in lines[:-1]]


def trash_listing():
    result = subprocess.run(["trash-list"], capture_output=True, text=True, check=True)
    return result.stdout


def test_typical_use_end_to_end(tree, audit_dir):
    result = scan(str(tree))
    files = [node.path for node in result.root.children if not node.is_dir][:2]
    assert len(files) == 2
    report = Cleaner(result.root.path, str(audit_dir)).trash(files)
    assert (report.trashed, report.failed, report.ok) == (files, [], True)
    lines = records(audit_dir)
    assert [line["outcome"] for line in lines] == ["trashed", "trashed"]
    assert [line["requested"] for line in lines] == files
    assert list(lines[0]) == ["unix_time", "user", "scan_root", "requested", "resolved", "outcome", "detail"]
    listing = trash_listing()
    for path in files:
        assert not os.path.lexists(path)
        assert path in listing


def test_attributes_and_repr(cleaner, tree, audit_dir):
    assert cleaner.scan_root == str(tree)
    assert cleaner.audit_log == str(audit_dir / "deletions.jsonl")
    assert repr(cleaner) == f'Cleaner(scan_root="{tree}")'
    with pytest.raises(AttributeError):
        cleaner.scan_root = "/"
    assert not audit_dir.exists(), "constructing a cleaner creates nothing"


def test_subclass_instances(tree, audit_dir):
    class MyCleaner(Cleaner):
        pass

    made = MyCleaner(str(tree), str(audit_dir))
    assert type(made) is MyCleaner
    assert made.check(str(tree / "a.txt")) == str(tree / "a.txt")


def test_scan_root_is_resolved_through_links(tree, tmp_path, audit_dir):
    alias = tmp_path / "alias"
    alias.symlink_to(tmp_path)
    made = Cleaner(str(alias / "root"), str(audit_dir))
    assert made.scan_root == str(tree)
    # The scan root itself is refused however it is written...
    for written in (str(alias / "root"), str(alias / "root") + "/", str(tree)):
        with pytest.raises(PermissionError, match="refusing to delete the scanned folder itself$"):
            made.check(written)
    # ...but a link elsewhere that points to it is just a link outside it.
    link = tmp_path / "link"
    link.symlink_to(tree)
    with pytest.raises(PermissionError, match="path is outside the scanned folder$"):
        made.check(str(link))


@pytest.mark.parametrize(
    "scan_root, audit_log_dir, error, message",
    [
        ("", "/a", OSError, ": cannot make an empty path absolute"),
        ("{tree}", "", OSError, ": cannot make an empty path absolute"),
        ("{tree}/missing", "/a", FileNotFoundError, "{tree}/missing does not exist"),
        ("{tree}/a.txt", "/a", NotADirectoryError, "{tree}/a.txt is not a directory"),
    ],
)
def test_constructor_failures(tree, scan_root, audit_log_dir, error, message):
    with pytest.raises(error) as caught:
        Cleaner(scan_root.format(tree=tree), audit_log_dir)
    assert type(caught.value) is error
    assert caught.value.args == (message.format(tree=tree),)
    assert caught.value.errno is None and caught.value.filename is None


def test_check(cleaner, tree, tmp_path):
    link = tree / "to_outside"
    link.symlink_to(tmp_path / "outside.txt")
    assert cleaner.check(str(link)) == str(link), "a link is checked as itself, not its target"
    with pytest.raises(FileNotFoundError) as caught:
        cleaner.check(str(tree / "missing"))
    assert caught.value.args == (f"{tree}/missing: No such file or directory (os error 2)",)
    with pytest.raises(PermissionError) as caught:
        cleaner.check(str(tmp_path / "outside.txt"))
    assert caught.value.args == (f"{tmp_path}/outside.txt: path is outside the scanned folder",)
    with pytest.raises(PermissionError, match="path contains '.' or '..' components$"):
        cleaner.check(str(tree / "sub" / ".." / "a.txt"))


def test_trash_report_shape(cleaner, tree):
    report = cleaner.trash([str(tree / "a.txt"), "relative/x"], dry_run=True)
    assert isinstance(report, TrashReport)
    assert repr(report) == "TrashReport(trashed=1, failed=1, dry_run=True)"
    assert report.failed == [("relative/x", "refused: path is not absolute")]
    assert report.trashed is not report.trashed and report.failed is not report.failed
    report.trashed.append("x")
    assert report.trashed == [str(tree / "a.txt")]
    assert (report.ok, report.dry_run) == (False, True)
    assert report.audit_log == cleaner.audit_log
    with pytest.raises(TypeError):
        TrashReport()


def test_empty_request_creates_the_log(cleaner, audit_dir):
    report = cleaner.trash([])
    assert repr(report) == "TrashReport(trashed=0, failed=0, dry_run=False)" and report.ok
    assert (audit_dir / "deletions.jsonl").read_bytes() == b""
    assert oct((audit_dir / "deletions.jsonl").stat().st_mode & 0o777) == oct(0o600 & ~current_umask())
    assert cleaner.trash(()).ok


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_dry_run_moves_nothing_and_audits_everything(cleaner, tree, audit_dir):
    paths = [str(tree / "a.txt"), str(tree / "nope"), str(tree / "sub")]
    report = cleaner.trash(paths, dry_run=True)
    assert report.trashed == [paths[0], paths[2]]
    assert report.failed == [(paths[1], "refused: path could not be resolved: No such file or directory (os error 2)")]
    assert all(os.path.exists(p) for p in (paths[0], paths[2]))
    assert [(r["outcome"], r["resolved"], r["detail"]) for r in records(audit_dir)] == [
        ("would-trash", paths[0], None),
        ("failed", None, report.failed[0][1]),
        ("would-trash", paths[2], None),
    ]


def test_same_path_twice_relative_and_symlinked_parent(cleaner, tree, tmp_path, audit_dir):
    via = tmp_path / "via"
    via.symlink_to(tree / "sub")
    requested = [str(tree / "a.txt"), str(tree / "a.txt"), "a.txt", str(via / "c.txt")]
    report = cleaner.trash(requested)
    assert report.trashed == [requested[0], requested[3]], "paths are reported as written"
    assert report.failed == [
        (requested[1], "refused: path could not be resolved: No such file or directory (os error 2)"),
        ("a.txt", "refused: path is not absolute"),
    ]
    lines = records(audit_dir)
    assert lines[2]["requested"] == "a.txt" and lines[2]["resolved"] is None
    assert lines[3]["requested"] == requested[3] and lines[3]["resolved"] == str(tree / "sub" / "c.txt")


def test_non_utf8_name_moves_exactly_the_requested_file(cleaner, tree, audit_dir):
    raw = os.fsencode(str(tree)) + b"/name\xff"
    lookalike = tree / "name\ufffd"  # the same text once decoded with replacement
    with open(raw, "wb") as handle:
        handle.write(b"raw")
    lookalike.write_text("lookalike")
    requested = os.fsdecode(raw)
    assert cleaner.check(requested) == str(lookalike)  # lossy text of the resolved bytes
    report = cleaner.trash([requested])
    assert report.trashed == [str(lookalike)]
    assert not os.path.lexists(raw)
    assert lookalike.read_text() == "lookalike"
    assert records(audit_dir)[0]["requested"] == str(lookalike)


def test_request_limit(cleaner, tree, audit_dir):
    with pytest.raises(ValueError) as caught:
        cleaner.trash([str(tree / "a.txt")] * 10001)
    assert caught.value.args == ("refusing to trash more than 10000 items in one request",)
    assert (audit_dir / "deletions.jsonl").read_bytes() == b"", "opened, but nothing recorded"
    assert (tree / "a.txt").exists()
    report = cleaner.trash([str(tree / f"missing{i}") for i in range(10000)], dry_run=True)
    assert len(report.failed) == 10000 and len(records(audit_dir)) == 10000


def test_unopenable_audit_log_deletes_nothing(tree, tmp_path):
    blocker = tmp_path / "blocker"
    blocker.write_text("a file where the audit directory should go")
    made = Cleaner(str(tree), str(blocker / "audit"))
    for paths in ([str(tree / "a.txt")], [str(tree / "a.txt")] * 10001):
        with pytest.raises(OSError) as caught:
            made.trash(paths)
        assert type(caught.value) is OSError
        assert caught.value.args == (
            f"cannot open audit log in {blocker}/audit (nothing was deleted): Not a directory (os error 20)",
        )
    assert (tree / "a.txt").exists()


def test_failing_audit_write_stops_the_request(tree, audit_dir):
    audit_dir.mkdir()
    (audit_dir / "deletions.jsonl").symlink_to("/dev/full")
    paths = [str(tree / "a.txt"), str(tree / "b.bin"), "relative"]
    report = Cleaner(str(tree), str(audit_dir)).trash(paths)
    # The first path was moved before its record failed: it is reported by its outcome.
    assert report.trashed == [paths[0]]
    reason = "not attempted: audit log write failed: No space left on device (os error 28)"
    assert report.failed == [(paths[1], reason), (paths[2], reason)]
    assert not (tree / "a.txt").exists() and (tree / "b.bin").exists()


def test_threads_share_one_cleaner(cleaner, tree, audit_dir):
    batches = []
    for t in range(6):
        batch = []
        for i in range(40):
            path = tree / f"t{t}_{i}"
            path.write_text("x")
            batch.append(str(path))
        batches.append(batch)
    reports = [None] * len(batches)

    def run(index):
        reports[index] = cleaner.trash(batches[index])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(batches))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for batch, report in zip(batches, reports, strict=True):
        assert report.trashed == batch and report.failed == []
    lines = records(audit_dir)
    assert sorted(line["requested"] for line in lines) == sorted(p for b in batches for p in b)


@pytest.mark.parametrize(
    "call, error, message, note",
    [
        (lambda c: c.trash("/x"), TypeError, "Can't extract `str` to `Vec`", "paths"),
        (lambda c: c.trash({"/x"}), TypeError, "'set' object is not an instance of 'Sequence'", "paths"),
        (lambda c: c.trash(None), TypeError, "'None' is not an instance of 'Sequence'", "paths"),
        (lambda c: c.trash([b"/x"]), TypeError, "'bytes' object is not an instance of 'str'", "paths"),
        (lambda c: c.trash(["/x"], dry_run=1), TypeError, "'int' object is not an instance of 'bool'", "dry_run"),
        (lambda c: c.trash(["/x"], dry_run=None), TypeError, "'None' is not an instance of 'bool'", "dry_run"),
        (lambda c: c.trash(["/x"], dry_run="yes"), TypeError, "'str' object is not an instance of 'bool'", "dry_run"),
        (
            lambda c: c.trash(["/x"], True),
            TypeError,
            "Cleaner.trash() takes 1 positional arguments but 2 were given",
            None,
        ),
        (lambda c: c.trash(), TypeError, "Cleaner.trash() missing 1 required positional argument: 'paths'", None),
        (lambda c: c.check(), TypeError, "Cleaner.check() missing 1 required positional argument: 'path'", None),
        (lambda c: c.trash([], dry=True), TypeError, "Cleaner.trash() got an unexpected keyword argument 'dry'", None),
    ],
)
def test_argument_errors(cleaner, call, error, message, note):
    with pytest.raises(error) as caught:
        call(cleaner)
    assert caught.value.args == (message,)
    expected_notes = [f"while processing '{note}'"] if note and HAS_NOTES else None
    assert getattr(caught.value, "__notes__", None) == expected_notes


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: Cleaner(),
            "Cleaner.__new__() missing 2 required positional arguments: 'scan_root' and 'audit_log_dir'",
        ),
        (lambda: Cleaner("/"), "Cleaner.__new__() missing 1 required positional argument: 'audit_log_dir'"),
        (lambda: Cleaner("/", "/", "/"), "Cleaner.__new__() takes 2 positional arguments but 3 were given"),
        (lambda: Cleaner("/", scan_root="/"), "Cleaner.__new__() got multiple values for argument 'scan_root'"),
    ],
)
def test_constructor_binding(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert caught.value.args == (message,)


def test_keyword_forms_and_numpy_booleans(cleaner, tree):
    numpy = pytest.importorskip("numpy")
    assert cleaner.trash(paths=[str(tree / "a.txt")], dry_run=True).trashed == [str(tree / "a.txt")]
    assert cleaner.trash([str(tree / "a.txt")], dry_run=numpy.bool_(True)).dry_run is True
    assert cleaner.trash([], dry_run=numpy.bool_(False)).dry_run is False
    assert (tree / "a.txt").exists()
    made = Cleaner(scan_root=str(tree), audit_log_dir=str(tree.parent / "audit2"))
    assert made.check(path=str(tree / "a.txt")) == str(tree / "a.txt")
