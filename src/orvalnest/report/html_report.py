"""The HTML report: one self-contained page that draws a scan as a zoomable
treemap. The page's script and the scan travel inside the file, so it opens
from a mail attachment or a ticket with no network and no other file.

A scan of millions of entries cannot go into a page that must open in a
couple of seconds, and most of its entries would cover less than a pixel
anyway: the engine keeps the best-ranked `BUDGET` entries (by the largest area
the views two clicks deep can give them) and folds the rest of each folder
into one "… N smaller items" box (`treemap_data`)."""

from __future__ import annotations

import base64
import hashlib
import html
import json
import re
import time
from importlib import resources
from typing import TextIO

from orvalnest._engine import Entry, category_totals, treemap_data
from orvalnest._native import __version__
from orvalnest.view import printable

BUDGET = 200_000  # kept entries below the root; about 7 MB of page

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
    root: Entry,
    *,
    timestamp: float | None = None,
    budget: int = BUDGET,
    si: bool = False,
) -> str:
    tree = root.tree
    tree_json, entries, kept = treemap_data(root, budget)
    # Every category in the page's order (each node stores its index), and
    # under "directory" the folders' own sizes: the legend adds up to the totals.
    tallies = category_totals(root)
    folders = next(count for name, _, _, count in tallies if name == "directory")
    moment = time.localtime(tree.timestamp if timestamp is None else timestamp)
    head = {
        "version": __version__,
        "date": time.strftime("%Y-%m-%d %H:%M", moment),
        "categories": [name for name, _, _, _ in tallies],
        "units": "si" if si else "binary",  # powers of 1000 or of 1024, as the command line printed them
        "totals": {
            "disk": root.disk_usage,
            "size": root.apparent_size,
            "files": sum(count for _, _, _, count in tallies) - folders,
            "folders": folders,
            "issues": len(tree.issues),
            "excluded": tree.excluded,
        },
        "legend": [{"name": name, "disk": disk, "size": size, "count": count} for name, disk, size, count in tallies],
        "entries": entries,
        "kept": kept,
    }
    # The tree comes escaped for the page already; the rest is a few names.
    text = json.dumps(head, ensure_ascii=False, separators=(",", ":"), check_circular=False)
    data = text[:-1].translate(_JSON_IN_HTML) + ',"tree":' + tree_json.decode("utf-8") + "}"
    script = page_script()
    # Only this exact script may run: even a name that slipped out of its
    # string could not bring a script of its own, nor load anything.
    digest = base64.b64encode(hashlib.sha256(script.encode("utf-8")).digest()).decode("ascii")
    values = {
        "TITLE": html.escape(f"{printable(root.path)} · orvalnest"),
        "VERSION": html.escape(__version__),
        "SCRIPT_HASH": f"'sha256-{digest}'",
        "DATA": data,
        "SCRIPT": script,
    }
    # One pass, so nothing inserted is read again as a placeholder.
    return _PLACEHOLDER.sub(lambda match: values[match[1]], _asset("page.html"))


def write_html(root: Entry, stream: TextIO, *, si: bool = False) -> None:
    stream.write(render_html(root, si=si))
