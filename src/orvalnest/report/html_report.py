"""The HTML report: one self-contained page that draws a scan as a zoomable
treemap. The page's script and the scan travel inside the file, so it opens
from a mail attachment or a ticket with no network and no other file."""

from __future__ import annotations

import base64
import hashlib
import html
import json
import re
import time
from collections.abc import Iterable
from importlib import resources
from typing import TextIO

from orvalnest._native import ScanIssue, ScanResult, __version__
from orvalnest.report.treemap_data import BUDGET, CATEGORIES, build
from orvalnest.view import IssueIndex, TreeNode, printable

_ASSETS = "treemap"
_PLACEHOLDER = re.compile(r"\{\{([A-Z_]+)\}\}")

# Inside <script> only "</script" and "<!--" can end or bend the element; with
# every <, > and & written as a JSON escape, no name can, whatever it holds.
_JSON_IN_HTML = str.maketrans({"<": "\\u003c", ">": "\\u003e", "&": "\\u0026"})


def _asset(name: str) -> str:
    return (resources.files("orvalnest.report") / _ASSETS / name).read_text(encoding="utf-8")


def page_script() -> str:
    """The page's whole script: the layout, then the page that uses it."""
    return _asset("squarify.js") + "\n" + _asset("treemap.js")


def render_html(
    root: TreeNode,
    issues: Iterable[ScanIssue],
    *,
    excluded: int = 0,
    timestamp: float | None = None,
    budget: int = BUDGET,
    si: bool = False,
) -> str:
    issue_list = list(issues)
    data = build(root, IssueIndex.of(issue_list), budget)
    moment = time.localtime(time.time() if timestamp is None else timestamp)
    payload = {
        "version": __version__,
        "date": time.strftime("%Y-%m-%d %H:%M", moment),
        "categories": CATEGORIES,
        "units": "si" if si else "binary",  # powers of 1000 or of 1024, as the command line printed them
        "totals": {
            "disk": root.disk_usage,
            "size": root.size,
            "files": data.files,
            "folders": data.folders,
            "issues": len(issue_list),
            "excluded": excluded,
        },
        "legend": [
            {"name": name, "disk": total.disk, "size": total.size, "count": total.count}
            for name, total in data.legend.items()
        ],
        "entries": data.entries,
        "kept": data.kept,
        "tree": data.tree,
    }
    text = json.dumps(payload, ensure_ascii=False, separators=(",", ":"), check_circular=False)
    script = page_script()
    # Only this exact script may run: even a name that slipped out of its
    # string could not bring a script of its own, nor load anything.
    digest = base64.b64encode(hashlib.sha256(script.encode("utf-8")).digest()).decode("ascii")
    values = {
        "TITLE": html.escape(f"{printable(root.path)} · orvalnest"),
        "VERSION": html.escape(__version__),
        "SCRIPT_HASH": f"'sha256-{digest}'",
        "DATA": text.translate(_JSON_IN_HTML),
        "SCRIPT": script,
    }
    # One pass, so nothing inserted is read again as a placeholder.
    return _PLACEHOLDER.sub(lambda match: values[match[1]], _asset("page.html"))


def write_html(result: ScanResult, stream: TextIO, timestamp: float | None = None, *, si: bool = False) -> None:
    stream.write(render_html(result.root, result.issues, excluded=result.excluded, timestamp=timestamp, si=si))
