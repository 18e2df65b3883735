"""Argument conversion, shared by every entry point (binding messages: the cleaner's table in test_cleaner.py)."""

import pathlib
import sys

import pytest
from helpers import Index, PathLike

from orvalnest._native import format_bytes, scan


def assert_note(error, parameter):
    expected = [f"while processing '{parameter}'"] if sys.version_info >= (3, 11) else None
    assert getattr(error, "__notes__", None) == expected


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("boom")


def test_u64_accepts_ints_and_index():
    assert [format_bytes(v) for v in (True, Index(2048), 2**64 - 1)] == ["1 B", "2.0 KB", "16384.0 PB"]


@pytest.mark.parametrize(
    "value, error",
    [(-1, OverflowError), (2**64, OverflowError), (Index(-5), OverflowError), (1.0, TypeError), ("1", TypeError)]
    + [(None, TypeError), (BadIndex(), ZeroDivisionError)],
)
def test_u64_failures_keep_the_interpreters_exception_and_gain_a_note(value, error):
    with pytest.raises(error) as caught:
        format_bytes(value)
    assert type(caught.value) is error
    assert_note(caught.value, "size")


class RaisingPathLike:
    def __fspath__(self):
        raise KeyError("inner")


@pytest.mark.parametrize(
    "value, error, message",
    [
        (b"/tmp", TypeError, "'bytes' object is not an instance of 'str'"),
        (PathLike(b"/tmp"), TypeError, "'bytes' object is not an instance of 'str'"),
        (None, TypeError, "expected str, bytes or os.PathLike object, not NoneType"),
        (42, TypeError, "expected str, bytes or os.PathLike object, not int"),
        (RaisingPathLike(), KeyError, "'inner'"),  # the caller's own exception comes out as it was
    ],
)
def test_path_refusals(value, error, message):
    with pytest.raises(error) as caught:
        scan(value)
    assert type(caught.value) is error and str(caught.value) == message
    assert_note(caught.value, "path")


def test_path_like_objects_are_accepted(tmp_path):
    for value in (pathlib.Path(tmp_path), PathLike(str(tmp_path))):
        assert scan(value).root.path == str(tmp_path)
