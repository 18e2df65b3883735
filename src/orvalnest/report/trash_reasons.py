"""Why a path was not trashed (or would not be), in the words a person reads.

The engine reports each path's outcome as values: a kind, a reason, an OS
error number, the location a refusal names. The words are chosen here from
those values; the engine's own text stays in the audit log.
"""

from __future__ import annotations

import errno
import os
from typing import Protocol


class Outcome(Protocol):
    """What the words are made from: a TrashOutcome or a PurgeOutcome."""

    @property
    def reason(self) -> str | None: ...
    @property
    def errno(self) -> int | None: ...
    @property
    def message(self) -> str | None: ...


class _Located(Outcome, Protocol):
    @property
    def location(self) -> str | None: ...


_REFUSALS = {
    "not-absolute": "not an absolute path",
    "dot-component": "the path contains '..'",
    "outside-scan-root": "outside the scanned folder",
    "scan-root-itself": "it is the scanned folder itself",
    "protected-location": "{location} is a protected system location",
    "contains-protected-location": "it contains {location}, a protected system location",
    "trash-folder": "{location} is a trash folder",
    "contains-trash-folder": "it contains the trash folder {location}",
    "audit-log-folder": "{location} holds the audit log",
    "contains-audit-log-folder": "it contains {location}, which holds the audit log",
    "mount-point": "it is a mount point",
    "contains-mount-point": "a disk is mounted inside it, at {location}",
    "mount-table-unreadable": "the mount table cannot be read, so where it really lives cannot be told",
    "scan-root-changed": "the scanned folder is not the one scanned any more (something is mounted on it, or it moved)",
    "location-unknown": "where it really lives cannot be told",
    "changed": "it is not the entry that was shown: another file has its name now",
}

_FAILURES = {
    "folder-not-writable": "the folder it is in does not let it be taken out",
    "not-movable": "it may not be moved (a shared folder's rule, or it is locked)",
    "no-trash-folder": "no trash folder can be used or made on its disk, and nothing is copied between disks",
    "trash-folder-unusable": "the trash folder is a link or belongs to someone else",
    "mount-point": "it is a mount point",
    "contains-mount-point": "a disk was mounted inside it; it was put back",
    "changed": "it changed while it was being moved; it was put back",
    "no-free-name": "the trash folder has no free name for it",
    "audit-log-write": "not attempted: the audit log could not be written",
}


def errno_words(code: int | None) -> str:
    """ "permission denied", "no such file or directory", … for an OS error number."""
    if code is None:
        return ""
    if code == errno.EROFS:
        return "the disk is read-only"
    words = os.strerror(code)
    return words[:1].lower() + words[1:]


def refusal_words(outcome: _Located) -> str:
    """Why the cleaner's rules refused a path: "refused: outside the scanned folder"."""
    if outcome.reason == "unresolvable":
        return errno_words(outcome.errno) or (outcome.message or "cannot be resolved")
    template = _REFUSALS.get(outcome.reason or "")
    if template is None:
        return outcome.message or "refused"
    return "refused: " + template.format(location=outcome.location or "?")


def failure_words(outcome: Outcome) -> str:
    """Why a move (or a removal from the trash) failed, or would."""
    reason = outcome.reason or ""
    cause = errno_words(outcome.errno)
    words = _FAILURES.get(reason)
    if words is None:
        return cause or (outcome.message or "failed")
    return f"{words} ({cause})" if cause and reason != "audit-log-write" else words
