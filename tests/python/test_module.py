import importlib
import inspect
import sys

import pytest

import orvalnest
import orvalnest._native as native

NAMES = [
    "scan",
    "format_bytes",
    "Node",
    "ScanIssue",
    "ScanResult",
    "Cleaner",
    "TrashReport",
    "__version__",
    "MAX_DEPTH",
    "MAX_PATHS_PER_REQUEST",
    "AUDIT_LOG_DIR_ENV",
    "AUDIT_LOG_FILE_NAME",
]


def test_module_contents_and_order():
    assert native.__all__ == NAMES
    assert native.__doc__ == ""
    assert orvalnest.__all__ == [*NAMES, "scan_tree", "ScanProgress"]
    assert orvalnest.Node is native.Node and orvalnest.scan is native.scan
    assert (native.__version__, native.MAX_DEPTH, native.MAX_PATHS_PER_REQUEST) == ("0.2.0", 256, 10000)
    assert native.AUDIT_LOG_DIR_ENV == "ORVALNEST_AUDIT_LOG_DIR"
    assert native.AUDIT_LOG_FILE_NAME == "deletions.jsonl"
    assert not hasattr(native, "PanicException")


@pytest.mark.parametrize("function, signature", [(native.scan, "(path)"), (native.format_bytes, "(size)")])
def test_functions_are_static_builtins(function, signature):
    assert function.__module__ == native.__name__ == "orvalnest._native"
    assert function.__self__ is None
    assert str(inspect.signature(function)) == signature
    assert function.__text_signature__ == signature


@pytest.mark.parametrize("name", ["Node", "ScanIssue", "ScanResult", "Cleaner", "TrashReport"])
def test_class_identity(name):
    cls = getattr(native, name)
    assert cls.__module__ == "orvalnest._native"
    assert cls.__qualname__ == cls.__name__ == name
    assert cls.__doc__
    assert not hasattr(cls, "__dictoffset__") or cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


@pytest.mark.parametrize("name", ["Node", "ScanIssue", "ScanResult", "TrashReport"])
def test_result_classes_cannot_be_called_or_subclassed(name):
    cls = getattr(native, name)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_cleaner_is_subclassable_and_has_its_signature():
    sub = type("MyCleaner", (native.Cleaner,), {})
    assert issubclass(sub, native.Cleaner)
    assert str(inspect.signature(native.Cleaner)) == "(scan_root, audit_log_dir)"


def test_class_objects_accept_new_attributes():
    native.Node.extra = 1
    try:
        assert native.Node.extra == 1
    finally:
        del native.Node.extra


def test_reimport_builds_a_new_module_with_the_same_classes():
    old = sys.modules.pop("orvalnest._native")
    try:
        fresh = importlib.import_module("orvalnest._native")
        assert fresh is not old
        assert fresh.scan is not old.scan
        assert fresh.__all__ is not old.__all__
        for name in ("Node", "ScanIssue", "ScanResult", "Cleaner", "TrashReport"):
            assert getattr(fresh, name) is getattr(old, name)
    finally:
        sys.modules["orvalnest._native"] = old
