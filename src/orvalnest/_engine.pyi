import os
from collections.abc import Callable, Sequence
from typing import final

from orvalnest._native import ScanResult

__all__ = ["scan_tree", "ScanProgress"]

_Path = str | os.PathLike[str]

def scan_tree(
    path: _Path,
    *,
    one_filesystem: bool = False,
    exclude: Sequence[str] = (),
    progress: Callable[[ScanProgress], object] | None = None,
    threads: int | None = None,
) -> ScanResult:
    """Scans `path` like `scan`, with the options the front ends need."""

@final
class ScanProgress:
    @property
    def entries(self) -> int: ...
    @property
    def size(self) -> int: ...
    @property
    def disk_usage(self) -> int: ...
    @property
    def directory(self) -> str: ...
    @property
    def done(self) -> bool: ...
