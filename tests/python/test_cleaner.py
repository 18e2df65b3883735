import json
import os
import subprocess
import sys

import pytest

from orvalnest._native import Cleaner


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
def audit_dir(tree):
    return tree / "state" / "audit"  # inside the scanned folder, where it is still never a target


@pytest.fixture
def cleaner(tree, audit_dir):
    return Cleaner(str(tree), str(audit_dir))


def test_construction(tree, tmp_path, audit_dir):
    (tmp_path / "alias").symlink_to(tmp_path)
    cleaner = Cleaner(str(tmp_path / "alias" / "root") + "/", str(audit_dir))
    assert (cleaner.scan_root, cleaner.audit_log) == (str(tree), str(audit_dir / "deletions.jsonl"))
    assert not audit_dir.exists(), "constructing a cleaner creates nothing"
    # An empty audit folder is refused at once (the scan root's own checks are scan()'s).
    with pytest.raises(OSError) as caught:
        Cleaner(str(tree), "")
    # One argument: no errno or file name to mislead a caller.
    assert type(caught.value) is OSError and caught.value.args == (": cannot make an empty path absolute",)


# Which refusal maps to which exception; the refusals themselves are the core tests'.
def test_check_raises_per_refusal(cleaner, tree, tmp_path):
    for path, error, message in [
        (f"{tree}/missing", FileNotFoundError, "No such file or directory (os error 2)"),
        (f"{tmp_path}/outside.txt", PermissionError, "path is outside the scanned folder"),
    ]:
        with pytest.raises(error) as caught:
            cleaner.check(path)
        assert caught.value.args == (f"{path}: {message}",)


def test_trash_report(cleaner, tree, audit_dir):
    paths = [str(tree / "a.txt"), "relative/x", cleaner.audit_log]
    report = cleaner.trash(paths, dry_run=True)
    assert repr(report) == "TrashReport(trashed=1, failed=2, dry_run=True)"
    refusals = ["refused: path is not absolute", f"refused: {audit_dir} holds the audit log"]
    assert (report.trashed, report.failed) == ([paths[0]], list(zip(paths[1:], refusals, strict=True)))
    assert (report.ok, report.dry_run, report.audit_log) == (False, True, cleaner.audit_log)
    assert (tree / "a.txt").exists()


TRASH_ONE = """
import sys
from orvalnest._native import Cleaner
try:
    Cleaner(sys.argv[1], sys.argv[2]).trash([sys.argv[3]])
except OSError as error:
    sys.exit(str(error))
"""


@pytest.mark.parametrize(
    "make",
    [os.mkfifo, lambda path: path.symlink_to("/dev/null"), lambda path: path.mkdir()],
    ids=["fifo", "devnull", "directory"],
)
def test_audit_log_that_is_no_regular_file_stops_the_request_at_once(tree, audit_dir, make):
    audit_dir.mkdir(parents=True)
    make(audit_dir / "deletions.jsonl")
    # In a child: a log that blocked would hang it, not the test run.
    child = subprocess.run(
        [sys.executable, "-c", TRASH_ONE, str(tree), str(audit_dir), str(tree / "a.txt")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert child.stderr.startswith(f"cannot open audit log in {audit_dir} (nothing was deleted): "), child.stderr
    assert (tree / "a.txt").exists()


def test_a_log_cut_mid_line_gets_its_line_break_before_the_next_record(cleaner, tree, audit_dir):
    audit_dir.mkdir(parents=True)
    log = audit_dir / "deletions.jsonl"
    log.write_bytes(b'{"unix_time":17334')
    cleaner.trash([])
    assert log.read_bytes() == b'{"unix_time":17334', "nothing to record, nothing written"
    cleaner.trash([str(tree / "a.txt")], dry_run=True)
    torn, record, end = log.read_bytes().split(b"\n")
    assert (torn, json.loads(record)["resolved"], end) == (b'{"unix_time":17334', str(tree / "a.txt"), b"")


@pytest.mark.parametrize(
    "call, message, note",
    [
        (lambda c: c.trash("/x"), "Can't extract `str` to `Vec`", "paths"),
        (lambda c: c.trash(["/x"], dry_run=1), "'int' object is not an instance of 'bool'", "dry_run"),
        (lambda c: c.trash(["/x"], True), "Cleaner.trash() takes 1 positional arguments but 2 were given", None),
    ],
)
def test_argument_errors(cleaner, call, message, note):
    with pytest.raises(TypeError) as caught:
        call(cleaner)
    assert caught.value.args == (message,)
    expected_notes = [f"while processing '{note}'"] if note and sys.version_info >= (3, 11) else None
    assert getattr(caught.value, "__notes__", None) == expected_notes


def test_keyword_forms_numpy_booleans_and_subclasses(cleaner, tree):
    numpy = pytest.importorskip("numpy")
    assert cleaner.trash(paths=[str(tree / "a.txt")], dry_run=True).trashed == [str(tree / "a.txt")]
    assert cleaner.trash([str(tree / "a.txt")], dry_run=numpy.bool_(True)).dry_run is True
    assert cleaner.trash([], dry_run=numpy.bool_(False)).dry_run is False
    assert (tree / "a.txt").exists()
    subclass = type("MyCleaner", (Cleaner,), {})
    made = subclass(scan_root=str(tree), audit_log_dir=str(tree.parent / "audit2"))
    assert type(made) is subclass
    assert made.check(path=str(tree / "a.txt")) == str(tree / "a.txt")
