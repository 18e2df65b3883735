"""orvalnest: find where the disk space goes, and move what you pick to the trash safely."""

import sys as _sys
from importlib.util import module_from_spec as _module_from_spec
from importlib.util import spec_from_file_location as _spec_from_file_location

from orvalnest import _native
from orvalnest._native import *  # noqa: F403  (the native module's public names, in its order)


def _load_engine() -> None:
    # The scan with options lives in the same shared library as _native, as a
    # second module: both then use the one set of result classes. It is loaded
    # by hand because no file carries its name.
    name = __name__ + "._engine"
    if name in _sys.modules:
        return
    spec = _spec_from_file_location(name, _native.__file__)
    if spec is None or spec.loader is None:
        raise ImportError(f"cannot load {name} from {_native.__file__}")
    module = _module_from_spec(spec)
    _sys.modules[name] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        del _sys.modules[name]
        raise


_load_engine()
from orvalnest._engine import (  # noqa: E402  (registered just above)
    AuditLogError,
    Change,
    Children,
    Comparison,
    Entry,
    PurgeOutcome,
    ScanFileError,
    ScanProgress,
    TrashOutcome,
    Tree,
    TreeIssue,
    compare,
    measure,
    open_scan,
    purge_trash,
    scan_tree,
    trash_outcomes,
)

__all__ = [*_native.__all__, "scan_tree", "ScanProgress", "measure", "Tree", "Entry", "Children", "TreeIssue"]
__all__ += ["trash_outcomes", "purge_trash", "TrashOutcome", "PurgeOutcome", "AuditLogError"]

from orvalnest.saved import save_scan  # noqa: E402  (needs the engine's names)

__all__ += ["open_scan", "save_scan", "ScanFileError", "compare", "Comparison", "Change"]
