"""Small pieces the Python tests share."""

import json
import os
import urllib.parse


def make_file(path, size):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"x" * size)


class Boom(Exception):
    """Raised by the tests' own objects; it must come out unchanged."""


def boom(*args):
    raise Boom("raised by the caller's own object")


def odd(name, module=__name__, **methods):
    """An object of a new class with just these methods; shows as `name`."""
    return type(name, (), {"__module__": module, "__repr__": lambda self: name, **methods})()


def path_like(value):
    return odd(f"PathLike({value!r})", __fspath__=lambda _: value)


def index(value):
    return odd(f"Index({value!r})", __index__=lambda _: value)


def walk(node):
    yield node
    for child in node.children:
        yield from walk(child)


def read_whole(result):
    """Reads every field and repr of a scan result, its nodes and its issues; returns the node count."""
    nodes = list(walk(result.root))
    for node in nodes:
        fields = (node.name, node.path, node.size, node.disk_usage, node.is_dir, node.category, repr(node))
        assert all(isinstance(field, (str, int)) for field in fields) and len(node) == len(node.children)
    assert all(isinstance(issue.path + issue.message + repr(issue), str) for issue in result.issues)
    assert repr(result).startswith("ScanResult(")
    return len(nodes)


def other_thread_pace(call):
    """Calls `call()` while another Python thread counts as fast as it can;
    returns what it returned and the share of its pace alone that the counting
    kept meanwhile (about 1 when the call released the interpreter lock)."""
    import sys
    import threading
    import time

    progress, stop = 0, False

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
        result = call()
        during, elapsed = progress - before, time.perf_counter() - start
    finally:
        stop = True
        thread.join()
        sys.setswitchinterval(interval)
    return result, during / (rate * elapsed)


def audit_records(folder):
    lines = (folder / "deletions.jsonl").read_bytes().split(b"\n")
    assert lines[-1] == b"", "the log must end with a line feed"
    return [json.loads(line) for line in lines[:-1]]  # a torn line would not parse


def in_private_mounts(script, *args, timeout=300):
    """Runs `script` in a Python child with a mount namespace of its own
    (everything mounted there vanishes with it) and returns the JSON it
    prints last. Without root, the child is root of a user namespace of its
    own, where the kernel allows one; else the test skips."""
    import shutil
    import subprocess
    import sys

    import pytest

    if shutil.which("unshare") is None:
        pytest.skip("needs unshare for a private mount namespace")
    user = [] if os.geteuid() == 0 else ["--user", "--map-root-user"]
    command = ["unshare", *user, "--mount", "--propagation", "private", sys.executable, "-c", script, *map(str, args)]
    child = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    if child.returncode != 0 and "unshare failed" in child.stderr:
        pytest.skip(f"needs root or user namespaces: {child.stderr.strip()}")
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout.splitlines()[-1])


def trash_info_paths(trash):
    """Name in files/ -> the original path its .trashinfo records."""
    recorded = {}
    for entry in os.listdir(trash / "info") if (trash / "info").exists() else []:
        assert entry.endswith(".trashinfo")
        lines = (trash / "info" / entry).read_bytes().decode().splitlines()
        path = next(line[len("Path=") :] for line in lines if line.startswith("Path="))
        recorded[entry[: -len(".trashinfo")]] = urllib.parse.unquote(path, errors="surrogateescape")
    return recorded


# Sizes in powers of 1000 as every face prints them (--si).
SI_CASES = [
    (999, "999 B"),
    (1000, "1.0 kB"),
    (1050, "1.0 kB"),  # an exact tie goes to the even digit, though 1.05 is no double
    (1150, "1.2 kB"),
    (1051, "1.1 kB"),
    (999_949, "999.9 kB"),
    (999_950, "1000.0 kB"),  # the unit is chosen before rounding, as format_bytes does
    (10**6, "1.0 MB"),
    (1_234_567_890, "1.2 GB"),
    (10**15 + 5 * 10**13, "1.0 PB"),
    (2**64 - 1, "18446.7 PB"),
]
