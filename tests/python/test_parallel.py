"""The parallel walk returns the sequential walk's tree, issues and order, and
leaves no thread or descriptor behind on any way out."""

import _thread
import os
import pwd
import random
import shutil
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest
from helpers import Boom

from orvalnest import MAX_DEPTH, scan_tree

THREADS = (1, 2, 8)


def build_random_tree(root: Path, seed: int) -> None:
    """Random depths and widths with many equal sizes (the order of ties counts), hard links across directories,
    symbolic links, FIFOs, directories that cannot be listed or searched, for some seeds a chain past MAX_DEPTH."""
    rng = random.Random(seed)
    dirs = [root]
    for i in range(rng.randint(10, 40)):
        dirs.append(rng.choice(dirs[-5:] if rng.random() < 0.6 else dirs) / f"d{i}")
        dirs[-1].mkdir()
    regular: list[Path] = []
    for j in range(rng.randint(80, 250)):
        path = rng.choice(dirs) / f"f{j}"
        kind = rng.random()
        if kind < 0.15 and regular:
            os.link(rng.choice(regular), path)
        elif kind < 0.25:
            os.symlink(rng.choice(["..", "f1", "/etc/hostname", "missing"]), path)
        elif kind < 0.3:
            os.mkfifo(path)
        else:
            path.write_bytes(b"x" * rng.choice([0, 0, 1, 100, 5000]))
            regular.append(path)
    if seed % 2:
        chain = rng.choice(dirs)
        for _ in range(MAX_DEPTH + 2):
            chain = chain / "n"
            chain.mkdir()
    # Not listable; listable, not searchable. Deepest first: without root, a
    # folder below one already locked could not be reached.
    locked = rng.sample(dirs[1:], 3)
    for folder in locked:
        (folder / "inside").mkdir(exist_ok=True)
    for folder, mode in sorted(zip(locked, (0o000, 0o300, 0o600), strict=True), key=lambda pair: -len(pair[0].parts)):
        folder.chmod(mode)


def flatten(node):
    children = tuple(flatten(child) for child in node.children)
    return (node.name, node.path, node.size, node.disk_usage, node.is_dir, node.is_symlink, node.is_hardlink, children)


def outcome(root, **options):
    result = scan_tree(root, **options)
    return flatten(result.root), [(issue.path, issue.message) for issue in result.issues], result.excluded


def compare_thread_counts(root: str) -> list[str]:
    """What differs between the thread counts, for each set of options."""
    problems = []
    for options in ({}, {"exclude": ["f1*", "*/d3/*"]}, {"one_filesystem": True}):
        results = {threads: outcome(root, threads=threads, **options) for threads in THREADS}
        problems += [f"{n} threads differ with {options}" for n in THREADS if results[n] != results[1]]
        if not results[1][1]:
            problems.append(f"no issues with {options}: the unreadable directories were read")
    return problems


def unprivileged(check, root: str) -> list[str]:
    """Runs `check(root)`, as nobody in a forked child when run as root (who reads every directory)."""
    if os.geteuid() != 0:
        return check(root)
    read_end, write_end = os.pipe()
    if (pid := os.fork()) == 0:  # pragma: no cover - the child
        try:
            nobody = pwd.getpwnam("nobody")
            os.setgroups([])
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
            os.write(write_end, "\n".join(check(root)).encode())
            os._exit(0)
        finally:
            os._exit(1)
    os.close(write_end)
    with open(read_end) as reading:
        report = reading.read()
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0, "the unprivileged child failed"
    return report.splitlines()


@pytest.fixture
def shared_tmp():
    # Outside pytest's private tmp_path, so an unprivileged child can reach it.
    path = Path(tempfile.mkdtemp(prefix="orvalnest-parallel-"))
    path.chmod(0o755)
    yield path
    subprocess.run(["chmod", "-R", "u+rwx", path], check=True)  # the locked folders too
    shutil.rmtree(path)


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_every_thread_count_gives_the_same_result(shared_tmp, seed):
    build_random_tree(shared_tmp, seed)
    assert unprivileged(compare_thread_counts, str(shared_tmp)) == []


def tasks_and_descriptors():
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("threads", [1, 4])
@pytest.mark.parametrize("how", ["progress raises", "ctrl-c"])
def test_a_stopped_scan_leaves_no_thread_or_descriptor(threads, how):
    # A first walk lets a runtime start the threads it keeps for good (ThreadSanitizer
    # starts one at the first thread made) before the count is taken.
    scan_tree(os.path.dirname(__file__), threads=threads)
    counts, seen, error = tasks_and_descriptors(), [], Boom()

    def progress(update):
        # On the calling thread, with every worker started (a sequential walk has none).
        seen.append((threading.get_ident(), update.done, tasks_and_descriptors()[0]))
        raise error

    # Trips the SIGINT flag from another thread while the scan runs, as Ctrl+C
    # would; the timer starts and ends inside the guarded block, however late
    # it runs, since an interrupt outside would end the whole test run.
    timer = threading.Timer(0.05, _thread.interrupt_main)
    with pytest.raises((Boom, KeyboardInterrupt)) as raised:
        try:
            if how == "ctrl-c":
                timer.start()
            # A system tree that takes well over a progress interval to walk; only read.
            scan_tree("/usr", threads=threads, progress=progress if how == "progress raises" else None)
        finally:
            if how == "ctrl-c":
                timer.join()
    time.sleep(0.1)  # the timer's thread leaves the task list
    after = tasks_and_descriptors()
    assert after == counts
    if how == "progress raises":
        # The caller's own exception, unchanged, from the first poll: no final call follows.
        assert raised.value is error
        assert seen == [(threading.get_ident(), False, after[0] + (threads if threads > 1 else 0))]
    else:
        assert type(raised.value) is KeyboardInterrupt and raised.value.args == ("scan interrupted",)
