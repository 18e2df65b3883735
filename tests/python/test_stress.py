"""Load the module the way a busy application would: many threads trashing
through one Cleaner at once, and a tree far deeper than the walk descends
with paths longer than the system's path limit."""

import os
import pathlib
import shutil
import threading

from helpers import audit_records, trash_info_paths

from orvalnest._native import MAX_DEPTH, Cleaner, scan

THREADS, PATHS_PER_THREAD = 8, 500


def test_concurrent_requests_on_one_cleaner(tmp_path):
    root = tmp_path.resolve() / "root"
    # Every thread's files have the same names, so the trash has to find
    # distinct names for them while the other threads do the same.
    batches = []
    for thread in range(THREADS):
        (root / f"t{thread}").mkdir(parents=True)
        batches.append([root / f"t{thread}" / f"file{index}.txt" for index in range(PATHS_PER_THREAD)])
        for path in batches[-1]:
            path.write_text(str(path))
    batches = [[str(path) for path in batch] for batch in batches]
    cleaner = Cleaner(root, tmp_path / "audit")
    start = threading.Barrier(THREADS)
    reports = [None] * THREADS

    def work(thread):
        start.wait()
        reports[thread] = cleaner.trash(batches[thread])

    threads = [threading.Thread(target=work, args=(index,)) for index in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    for report, batch in zip(reports, batches, strict=True):
        assert (report.trashed, report.failed) == (batch, [])
    everything = sorted(path for batch in batches for path in batch)
    records = audit_records(tmp_path / "audit")
    assert sorted(record["requested"] for record in records) == everything
    assert {record["outcome"] for record in records} == {"trashed"}
    # Each item sits in the trash once, under a name of its own, next to the
    # info file naming where it came from.
    trash = pathlib.Path(os.environ["XDG_DATA_HOME"]) / "Trash"
    recorded = trash_info_paths(trash)
    for name, origin in recorded.items():
        assert (trash / "files" / name).read_text() == origin, "an item was overwritten or mixed up with another"
    assert sorted(recorded.values()) == everything
    assert len(os.listdir(trash / "files")) == len(everything)
    assert not any(os.listdir(root / f"t{thread}") for thread in range(THREADS))


LEVELS = 300
NAME = "level-with-a-long-name"  # 300 of these make a path of about 7000 bytes


def test_scan_of_a_tree_deeper_than_the_walk_goes(tmp_path):
    # A chain of LEVELS directories, each holding a one-byte file. The full
    # path outgrows PATH_MAX, so everything is made relative to an open parent.
    # The root's name is not UTF-8: issue paths are lossy text like node paths.
    root = tmp_path / "deep-\udcff"
    root.mkdir()
    parent = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(LEVELS):
            file = os.open("f", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=parent)
            os.write(file, b"x")
            os.close(file)
            os.mkdir(NAME, dir_fd=parent)
            child = os.open(NAME, os.O_RDONLY | os.O_DIRECTORY, dir_fd=parent)
            os.close(parent)
            parent = child
    finally:
        os.close(parent)
    try:
        result = scan(root)
        # The chain is listed down to the last depth the walk opens; the
        # directory below it is shown, unlisted, with the depth issue.
        node = result.root
        for depth in range(MAX_DEPTH):
            assert sorted(child.name for child in node.children) == ["f", NAME], depth
            node = next(child for child in node.children if child.is_dir)
        assert (node.size, len(node), node.is_dir) == (0, 0, True)
        assert len(node.path.encode()) > 4096
        assert node.path == f"{tmp_path}/deep-\ufffd" + f"/{NAME}" * MAX_DEPTH
        assert [(issue.path, issue.message) for issue in result.issues] == [
            (node.path, "skipped: nested deeper than 256 levels")
        ]
        # One byte per listed level, the file at the deepest listed level included.
        assert result.root.size == MAX_DEPTH
        assert repr(result).endswith(f"size={MAX_DEPTH}, issues=1)")
    finally:
        shutil.rmtree(root)  # works relative to open directories, as the tree needs
    assert not root.exists()
