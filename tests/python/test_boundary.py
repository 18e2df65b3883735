"""Argument binding and conversion, shared by every entry point."""

import pathlib
import sys

import pytest
from helpers import Index, PathLike

from orvalnest._native import format_bytes, scan


def assert_note(error, parameter):
    expected = [f"while processing '{parameter}'"] if sys.version_info >= (3, 11) else None
    assert getattr(error, "__notes__", None) == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: scan(), "scan() missing 1 required positional argument: 'path'"),
        (lambda: scan("/a", "/b"), "scan() takes 1 positional arguments but 2 were given"),
        (lambda: scan("/a", path="/b"), "scan() got multiple values for argument 'path'"),
        (lambda: scan(p="/a"), "scan() got an unexpected keyword argument 'p'"),
        # An unknown keyword is reported even when the required argument is missing.
        (lambda: format_bytes(sz=1), "format_bytes() got an unexpected keyword argument 'sz'"),
        (lambda: format_bytes(1, 2, 3), "format_bytes() takes 1 positional arguments but 3 were given"),
        (lambda: format_bytes(**{"\udcff": 1}), "format_bytes() got an unexpected keyword argument '\udcff'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert caught.value.args == (message,)
    assert getattr(caught.value, "__notes__", None) is None


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("boom")


@pytest.mark.parametrize(
    "value, expected",
    [(True, "1 B"), (False, "0 B"), (Index(2048), "2.0 KB"), (Index(5), "5 B"), (2**64 - 1, "16384.0 PB")],
)
def test_u64_accepts_ints_and_index(value, expected):
    assert format_bytes(value) == expected


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
