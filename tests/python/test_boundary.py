"""Argument binding and conversion, shared by every entry point."""

import pathlib
import sys

import pytest

from orvalnest._native import format_bytes, scan

HAS_NOTES = sys.version_info >= (3, 11)


def notes_of(error: BaseException) -> list[str] | None:
    return getattr(error, "__notes__", None)


def assert_note(error: BaseException, parameter: str) -> None:
    if HAS_NOTES:
        assert notes_of(error) == [f"while processing '{parameter}'"]
    else:
        assert notes_of(error) is None


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
    assert str(caught.value) == message
    assert notes_of(caught.value) is None
    assert caught.value.args == (message,)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


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
    [
        (-1, OverflowError),
        (2**64, OverflowError),
        (Index(-5), OverflowError),
        (1.0, TypeError),
        ("1", TypeError),
        (None, TypeError),
        (BadIndex(), ZeroDivisionError),
    ],
)
def test_u64_failures_keep_the_interpreters_exception_and_gain_a_note(value, error):
    with pytest.raises(error) as caught:
        format_bytes(value)
    assert type(caught.value) is error
    assert_note(caught.value, "size")


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


@pytest.mark.parametrize(
    "value, message",
    [
        (b"/tmp", "'bytes' object is not an instance of 'str'"),
        (FsPath(b"/tmp"), "'bytes' object is not an instance of 'str'"),
        (None, "expected str, bytes or os.PathLike object, not NoneType"),
        (42, "expected str, bytes or os.PathLike object, not int"),
    ],
)
def test_path_refusals(value, message):
    with pytest.raises(TypeError) as caught:
        scan(value)
    assert str(caught.value) == message
    assert_note(caught.value, "path")


def test_path_conversion_errors_propagate():
    class Raising:
        def __fspath__(self):
            raise KeyError("inner")

    with pytest.raises(KeyError) as caught:
        scan(Raising())
    assert_note(caught.value, "path")


def test_path_like_objects_are_accepted(tmp_path):
    for value in (pathlib.Path(tmp_path), FsPath(str(tmp_path))):
        assert scan(value).root.path == str(tmp_path)
