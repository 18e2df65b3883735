"""orvalnest: find where the disk space goes, and move what you pick to the trash safely."""

from orvalnest._native import (
    AUDIT_LOG_DIR_ENV,
    AUDIT_LOG_FILE_NAME,
    MAX_DEPTH,
    MAX_PATHS_PER_REQUEST,
    Cleaner,
    Node,
    ScanIssue,
    ScanResult,
    TrashReport,
    __version__,
    format_bytes,
    scan,
)

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
