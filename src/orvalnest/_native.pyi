import os
from collections.abc import Sequence
from typing import Final, final

from typing_extensions import disjoint_base

__all__ = [
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

__version__: Final[str]
MAX_DEPTH: Final[int]
MAX_PATHS_PER_REQUEST: Final[int]
AUDIT_LOG_DIR_ENV: Final[str]
AUDIT_LOG_FILE_NAME: Final[str]

_Path = str | os.PathLike[str]

def scan(path: _Path) -> ScanResult:
    """Recursively scans `path` and returns a size-sorted tree."""

def format_bytes(size: int) -> str:
    """Formats a byte count the same way the desktop app does ("1.5 GB")."""

@final
class Node:
    @property
    def name(self) -> str: ...
    @property
    def path(self) -> str: ...
    @property
    def size(self) -> int: ...
    @property
    def is_dir(self) -> bool: ...
    @property
    def category(self) -> str: ...
    @property
    def children(self) -> list[Node]: ...
    @property
    def disk_usage(self) -> int: ...
    @property
    def is_symlink(self) -> bool: ...
    @property
    def is_hardlink(self) -> bool: ...
    def __len__(self) -> int: ...

@final
class ScanIssue:
    @property
    def path(self) -> str: ...
    @property
    def message(self) -> str: ...

@final
class ScanResult:
    @property
    def root(self) -> Node: ...
    @property
    def issues(self) -> list[ScanIssue]: ...
    @property
    def excluded(self) -> int: ...

@disjoint_base
class Cleaner:
    def __new__(cls, scan_root: _Path, audit_log_dir: _Path) -> Cleaner: ...
    @property
    def scan_root(self) -> str:
        """The scan root after resolving symlinks."""
    @property
    def audit_log(self) -> str:
        """Full path of the audit log this cleaner writes to."""
    def check(self, path: _Path) -> str: ...
    def trash(self, paths: Sequence[_Path], *, dry_run: bool = False) -> TrashReport: ...

@final
class TrashReport:
    @property
    def trashed(self) -> list[str]: ...
    @property
    def failed(self) -> list[tuple[str, str]]: ...
    @property
    def dry_run(self) -> bool: ...
    @property
    def audit_log(self) -> str: ...
    @property
    def ok(self) -> bool: ...
