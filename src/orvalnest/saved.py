"""Saved scans by name. A scan is saved as every export is written: into a new
file beside the name, renamed over it only when complete, never through a
symbolic link (report/output.py has the rules)."""

from __future__ import annotations

import os

from orvalnest._engine import Tree


def save_scan(tree: Tree, path: str | os.PathLike[str]) -> None:
    """Writes `tree` to `path` in the saved-scan format ("-": standard output);
    `open_scan` reads it back. Raises OSError when `path` cannot take it."""
    from orvalnest.report.output import Output

    Output.reserve(os.fspath(path)).write_binary(tree.save)
