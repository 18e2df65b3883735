"""Why a path was not trashed, in the words a person reads: the cleaner's exact
text stays in its report and in the audit log, the command line shows this."""

from __future__ import annotations

import os
import re

_OS_ERROR = re.compile(r"^(?P<text>.*?) \(os error \d+\)$")
_BACKEND_OS = re.compile(r"Os \{ code: (?P<code>\d+),")
_REFUSALS = {
    "path is not absolute": "refused: not an absolute path",
    "path contains '.' or '..' components": "refused: the path contains '..'",
    "path is outside the scanned folder": "refused: outside the scanned folder",
    "refusing to delete the scanned folder itself": "refused: it is the scanned folder itself",
}


def in_words(reason: str) -> str:
    """A short reason for the failure text `reason` of a trash report."""
    if reason.startswith("refused: "):
        refusal = reason.removeprefix("refused: ")
        if refusal in _REFUSALS:
            return _REFUSALS[refusal]
        if refusal.startswith("path could not be resolved: "):
            return _os_words(refusal.removeprefix("path could not be resolved: "))
        return reason  # "refused: /usr is a protected system location" says it already
    if reason.startswith("not attempted: audit log write failed"):
        return "not attempted: the audit log could not be written"
    if " is a mount point" in reason:
        return "is a mount point"
    if " is on another filesystem" in reason or "no usable trash folder" in reason:
        return "no trash folder on its filesystem"
    backend = _BACKEND_OS.search(reason)
    if backend is not None:
        return os.strerror(int(backend["code"])).lower()
    return reason


def _os_words(text: str) -> str:
    match = _OS_ERROR.match(text)
    words = match["text"] if match else text
    return words[:1].lower() + words[1:]
