import errno
import json
import os
import subprocess
import sys

import pytest
from helpers import audit_records, other_thread_pace

import orvalnest
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


@pytest.mark.parametrize("plant", [os.symlink, os.link], ids=["symlink", "hard-link"])
def test_an_audit_log_planted_on_another_file_is_never_written(tree, audit_dir, tmp_path, plant):
    # Root appending a line with a file name of someone's choosing to, say,
    # /etc/ld.so.preload: the request stops before anything is looked at.
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious")
    audit_dir.mkdir(parents=True)
    plant(victim, audit_dir / "deletions.jsonl")
    with pytest.raises(OSError, match=f"^cannot open audit log in {audit_dir} \\(nothing was deleted\\): .*deletions"):
        Cleaner(str(tree), str(audit_dir)).trash([str(tree / "a.txt")], dry_run=True)
    assert victim.read_bytes() == b"precious"


def test_the_home_trash_is_the_one_fixed_when_the_cleaner_was_made(
    tree, audit_dir, isolated_home, tmp_path, monkeypatch
):
    cleaner = Cleaner(str(tree), str(audit_dir))
    # Read again during the request, a changed HOME would take items to a trash
    # the cleaner's rules never protected (and another thread changing the
    # environment then could crash the process).
    monkeypatch.setenv("HOME", str(tmp_path / "later"))
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "later"))
    assert cleaner.trash([str(tree / "a.txt")]).ok
    assert (isolated_home / ".local/share/Trash/files/a.txt").read_text() == "a"
    assert not (tmp_path / "later").exists()


def read_bytes_so_far():
    with open("/proc/self/io") as counters:
        return next(int(line.split()[1]) for line in counters if line.startswith("rchar:"))


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs /proc/self/io to count what is read")
def test_a_request_reads_the_mount_table_once_not_once_per_folder(tree, audit_dir):
    folders = [tree / f"d{index}" for index in range(300)]
    for folder in folders:
        folder.mkdir()
    cleaner = Cleaner(str(tree), str(audit_dir))
    cleaner.trash([], dry_run=True)  # the log exists from here on
    with open("/proc/self/mountinfo") as table:
        table_size = len(table.read())
    before = read_bytes_so_far()
    assert cleaner.trash(folders, dry_run=True).ok
    assert read_bytes_so_far() - before < 3 * table_size


@pytest.fixture
def look_alikes(tree):
    # One name that is not UTF-8 and its sibling whose real name is that
    # name's lossy text: the text picks the wrong one.
    raw = bytes(tree) + b"/report-\xe9t\xe9.pdf"
    lossy = raw.decode("utf-8", "replace").encode()
    with open(raw, "wb") as first, open(lossy, "wb") as second:
        first.write(b"x" * 2000)
        second.write(b"y" * 40)
    return raw, lossy


def test_outcomes_come_in_request_order_as_values_and_act_on_exact_bytes(tree, audit_dir, look_alikes, isolated_home):
    raw, lossy = look_alikes
    cleaner = Cleaner(str(tree), str(audit_dir))
    identity = os.lstat(raw)
    sub = str(tree / "sub")
    sub_usage = sum(os.lstat(path).st_blocks * 512 for path in (sub, tree / "sub" / "c.txt"))
    requested = [os.fsdecode(raw), "/etc/passwd", str(tree / "gone"), sub, lossy, str(audit_dir.parent)]
    expected = [(identity.st_dev, identity.st_ino), None, None, None, (identity.st_dev, identity.st_ino), None]
    outcomes = orvalnest.trash_outcomes(cleaner, requested, expected=expected, measure=True)
    values = [(o.kind, o.reason, o.errno, o.location, o.recorded) for o in outcomes]
    assert values == [
        ("trashed", None, None, None, True),
        ("refused", "outside-scan-root", None, None, True),
        ("refused", "unresolvable", errno.ENOENT, None, True),
        ("trashed", None, None, None, True),
        ("refused", "changed", None, None, True),  # not the entry the caller showed
        ("refused", "contains-audit-log-folder", None, str(audit_dir), True),
    ]
    first, outside, gone, folder, other, _ = outcomes
    assert (first.requested_bytes, first.resolved_bytes, first.trash_name_bytes) == (raw, raw, os.path.basename(raw))
    own = (first.device, first.inode, first.size, first.disk_usage, first.links, first.is_dir)
    assert own == (identity.st_dev, identity.st_ino, 2000, identity.st_blocks * 512, 1, False)
    assert first.trash_dir == str(isolated_home / ".local/share/Trash")
    assert (folder.is_dir, folder.tree_disk_usage) == (True, sub_usage)
    assert open(lossy, "rb").read() == b"y" * 40, "the look-alike stays"
    # The same reasons as the plain report gives, word for word.
    assert [outside.message, gone.message] == [
        "refused: path is outside the scanned folder",
        "refused: path could not be resolved: No such file or directory (os error 2)",
    ]
    records = audit_records(audit_dir)
    assert records[0]["requested_raw"] == records[0]["resolved_raw"] == str(tree) + "/report-%E9t%E9.pdf"
    assert (records[0]["trash_dir"], records[0]["trash_name_raw"]) == (first.trash_dir, "report-%E9t%E9.pdf")
    assert list(records[4]) == ["unix_time", "user", "scan_root", "requested", "resolved", "outcome", "detail"]
    # A cleaner of another folder finds none of them its own to purge.
    (tree.parent / "elsewhere").mkdir()
    assert orvalnest.purge_trash(Cleaner(str(tree.parent / "elsewhere"), str(audit_dir))) == []
    # The purge finds exactly the two that went, by their exact bytes, and records where each was.
    purged = orvalnest.purge_trash(cleaner)
    assert [(p.kind, p.original_bytes, p.trash_name_bytes, p.entries, p.disk_usage, p.recorded) for p in purged] == [
        ("purged", raw, os.path.basename(raw), 1, identity.st_blocks * 512, True),
        ("purged", os.fsencode(sub), b"sub", 2, sub_usage, True),
    ]
    assert 0 <= records[0]["unix_time"] - purged[0].deleted_at <= 10
    record, last = audit_records(audit_dir)[-2:]
    assert (record["outcome"], record["requested_raw"]) == ("purged", records[0]["requested_raw"])
    assert record["resolved_raw"] == f"{first.trash_dir}/files/report-%E9t%E9.pdf"
    assert (last["requested"], last["resolved"]) == (sub, f"{first.trash_dir}/files/sub")


@pytest.mark.parametrize("call", ["trash", "trash_outcomes", "purge_trash"])
def test_other_threads_run_during_a_request(tree, audit_dir, call):
    files = [tree / f"f{index}" for index in range(200)]
    for file in files:
        file.write_bytes(b"x")
    cleaner = Cleaner(str(tree), str(audit_dir))
    requests = {
        "trash": lambda: cleaner.trash(files).trashed,
        "trash_outcomes": lambda: [o for o in orvalnest.trash_outcomes(cleaner, files) if o.kind == "trashed"],
        "purge_trash": lambda: [o for o in orvalnest.purge_trash(cleaner) if o.kind == "purged"],
    }
    if call == "purge_trash":
        assert cleaner.trash(files).ok
    done, pace = other_thread_pace(requests[call])
    assert len(done) == len(files)
    # Holding the lock, a request leaves the spinner only what happens around
    # it (a pace of 0.02 to 0.06 here); released, 0.2 to 1 on a loaded two-core
    # machine, where the moves' own system calls compete for the cores.
    assert pace > 0.1, pace
