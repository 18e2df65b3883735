"""Every entry point fed arbitrary objects: the only exceptions that come out
are the ones the entry point documents, plus whatever the caller's own
objects raise. Never a crash, never PanicException."""

import os
import warnings

import numpy as np
import pytest
from helpers import Boom, boom, index, odd, path_like, read_whole
from hypothesis import HealthCheck, assume, example, given, settings
from hypothesis import strategies as st

from orvalnest._native import Cleaner, format_bytes, scan

# Longer campaigns: ORVALNEST_FUZZ_EXAMPLES=20000 python -m pytest tests/python/test_fuzz.py
EXAMPLES = int(os.environ.get("ORVALNEST_FUZZ_EXAMPLES", 40 if os.environ.get("ORVALNEST_SANITIZED") else 200))
SLOW_FIXTURE = [HealthCheck.function_scoped_fixture, HealthCheck.too_slow]
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None, suppress_health_check=SLOW_FIXTURE)


def mutator(target):
    """A path-like that empties the list being converted while it is read, freeing the items read so far."""
    return odd("mutator", __fspath__=lambda self: target.clear() or "/nonexistent/mutated")


def lying_length(items, length):
    """Claims an enormous length; really holds a few items."""
    return odd(f"lying({items!r}, {length})", __len__=lambda _: length, __getitem__=lambda _, i: items[i])


# ---- Strategies ----

# Every code point, lone surrogates and NUL included.
any_text = st.text(st.characters(exclude_categories=()), max_size=30)
scalars = st.one_of(
    st.none() | st.booleans() | st.integers() | st.floats() | st.binary(max_size=20) | any_text,
    st.integers(min_value=2**64 - 3, max_value=2**64 + 3),
    st.sampled_from([object(), 10**60, -(10**60), type, b"", bytearray(b"/x"), np.True_, np.False_, np.int64(7)]),
    st.sampled_from([np.bool_(False), np.uint64(2**64 - 1), np.float64(1.5), np.array([True])]),
)
# The caller's odd objects besides: a sequence by every test the binding may apply whose iteration
# fails, and look-alikes of numpy's boolean whose __bool__ is odd.
wrapped = st.one_of(
    scalars.map(path_like),
    scalars.map(index),
    scalars.map(path_like).map(path_like),  # __fspath__ is not applied twice
    st.sampled_from(["__fspath__", "__index__"]).map(lambda method: odd(f"raising {method}", **{method: boom})),
    st.builds(lambda: odd("raising iteration", __len__=lambda _: 3, __getitem__=boom, __iter__=boom)),
    st.sampled_from([{"__bool__": boom}, {"__bool__": lambda _: 1}, {"__bool__": lambda _: True}, {}]).map(
        lambda methods: odd("bool_", "numpy", **methods)
    ),
)
objects = st.one_of(scalars, wrapped)


@st.composite
def sequences(draw):
    """Lists and what only looks like one: a lying length, an item that empties the list as it is read, an iterator."""
    items = draw(st.lists(objects, max_size=6))
    kind = draw(st.sampled_from([list, tuple, iter, "lying", "mutating"]))
    if kind == "lying":
        return lying_length(items, draw(st.sampled_from([0, 10**6, 2**62, 2**63 - 1])))
    if kind == "mutating":
        items.insert(draw(st.integers(0, len(items))), mutator(items))
        return items
    return kind(items)


keywords = st.dictionaries(
    st.sampled_from(["path", "size", "paths", "dry_run", "scan_root", "audit_log_dir"]) | any_text, objects, max_size=3
)


# ---- A sandbox to point things at ----


@pytest.fixture
def sandbox(tmp_path, monkeypatch):
    root = tmp_path.resolve() / "root"
    (root / "sub" / "deeper").mkdir(parents=True)
    (root / "file.txt").write_text("x" * 10)
    (root / "sub" / "deeper" / "data.bin").write_bytes(b"\0" * 100)
    (root / "link").symlink_to(root / "sub")
    (root / "outside-link").symlink_to(tmp_path)
    os.mkfifo(root / "fifo")
    os.mkdir(root / "locked", 0)
    monkeypatch.chdir(root)
    yield root
    os.chmod(root / "locked", 0o755)


NAMES_IN_SANDBOX = st.sampled_from(
    ["", ".", "sub", "sub/", "file.txt", "link", "fifo", "locked", "missing", "sub/deeper/../deeper"]
)
path_arguments = st.one_of(objects, NAMES_IN_SANDBOX, NAMES_IN_SANDBOX.map(path_like))


def leaves_sandbox(argument, sandbox):
    """Whether scanning `argument` would walk a directory outside the sandbox."""
    try:
        real = os.path.realpath(os.path.join(sandbox, os.fsdecode(os.fspath(argument))))
        return os.path.isdir(real) and real != str(sandbox) and not real.startswith(f"{sandbox}/")
    except Exception:
        return False


# ---- The properties ----


@FUZZ
@given(
    entry=st.sampled_from(["scan", "format_bytes", "Cleaner", "check", "trash"]),
    positional=st.lists(st.one_of(path_arguments, sequences()), max_size=3),
    named=keywords,
)
@example(entry="trash", positional=[lying_length(["/x"], 2**63 - 1)], named={})  # once an allocation failure
def test_binding(sandbox, tmp_path, entry, positional, named):
    cleaner = Cleaner(sandbox, tmp_path / "audit")
    # Dry runs only: a real move could only be asked for by keyword, which is
    # forced here; and nothing may walk outside the sandbox.
    paths = positional[0] if positional else named.get("paths")
    # Lists that change while converted have no length to compare with.
    count = len(paths) if isinstance(paths, (list, tuple)) and "mutator" not in repr(paths) else None
    if entry == "trash":
        named = {**named, "dry_run": True}
    if entry == "scan":
        assume(not any(leaves_sandbox(value, sandbox) for value in [*positional, *named.values()]))
    target = {"scan": scan, "format_bytes": format_bytes, "Cleaner": Cleaner, "check": cleaner.check}
    # Only the documented exceptions may come out (ValueError covers UnicodeEncodeError), or the caller's own.
    try:
        with warnings.catch_warnings():
            # __index__ returning a bool warns; that is the interpreter talking.
            warnings.simplefilter("ignore", DeprecationWarning)
            result = target.get(entry, cleaner.trash)(*positional, **named)
    except (TypeError, ValueError, OverflowError, OSError, Boom):
        return
    # Whatever comes back reads whole.
    if entry == "scan":
        assert read_whole(result) >= 1
    elif entry == "format_bytes":
        assert result.endswith("B")
    elif entry == "Cleaner":
        assert isinstance(result.scan_root, str) and repr(result).startswith("Cleaner(scan_root=")
    elif entry == "check":
        assert isinstance(result, str)
    else:
        assert count is None or len(result.trashed) + len(result.failed) == count
        assert result.dry_run is True and result.ok == (result.failed == [])
        assert all(isinstance(text, str) for text in [*result.trashed, *sum(result.failed, ()), result.audit_log])
        assert repr(result).startswith("TrashReport(")
