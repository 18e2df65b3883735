"""The exact bytes of names that the scan could only give as lossy text.

The engine hands names over as text with U+FFFD in place of bytes that are not
UTF-8. An export that must let its reader find the file again looks the real
name up in its directory's listing; names that are valid UTF-8 (nearly all)
cost nothing.
"""

from __future__ import annotations

import os

REPLACEMENT = "\ufffd"


class RawNames:
    """Directory listings by raw path, read once each and only when a name in
    them needs its bytes."""

    def __init__(self) -> None:
        self._listings: dict[bytes, dict[str, list[bytes]]] = {}

    def child(self, parent: bytes | None, name: str) -> bytes | None:
        """The bytes of `name` inside the directory `parent` (raw), or None when
        they cannot be told: the directory is gone, or two names in it read
        the same once made lossy."""
        if REPLACEMENT not in name:
            return os.fsencode(name)
        if parent is None:
            return None
        listing = self._listings.get(parent)
        if listing is None:
            listing = {}
            try:
                for raw in os.listdir(parent):
                    listing.setdefault(raw.decode("utf-8", "replace"), []).append(raw)
            except OSError:
                pass
            self._listings[parent] = listing
        found = listing.get(name, [])
        return found[0] if len(found) == 1 else None


def join(parent: bytes | None, name: bytes | None) -> bytes | None:
    if parent is None or name is None:
        return None
    return parent + name if parent.endswith(b"/") else parent + b"/" + name


def percent_encoded(raw: bytes) -> str:
    """Bytes as text a JSON reader can turn back into the same bytes
    (`urllib.parse.unquote_to_bytes`): "%" and every byte that is not printable
    ASCII as "%" and two upper-case hex digits, the rest as it is."""
    return "".join(chr(b) if 0x20 <= b < 0x7F and b != 0x25 else f"%{b:02X}" for b in raw)


def is_lossy(text: str) -> bool:
    return REPLACEMENT in text
