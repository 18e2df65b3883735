"""Load the module the way a busy application would: many threads trashing
through one Cleaner at once."""

import os
import pathlib
import threading

from helpers import audit_records, trash_info_paths

from orvalnest._native import Cleaner

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
