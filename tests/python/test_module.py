import importlib
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


@pytest.mark.parametrize("name", ["Node", "ScanIssue", "ScanResult", "TrashReport"])
def test_result_classes_cannot_be_called_or_subclassed(name):
    cls = getattr(native, name)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


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
