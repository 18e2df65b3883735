"""`orvalnest diff OLD NEW`: what grew, shrank, appeared and disappeared between
two scans of a place, largest change first, as a tree and as totals."""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from typing import Literal, TextIO

from orvalnest import Change, Comparison, ScanFileError, Tree, compare, measure, open_scan
from orvalnest._native import __version__
from orvalnest.common import EXIT_FAILURE, EXIT_USAGE, PROG, add_walk_options, count, exclude_patterns, print_error
from orvalnest.report.output import Chunked, Output
from orvalnest.report.progress import ProgressLine
from orvalnest.report.summary import Units
from orvalnest.report.text import Style
from orvalnest.view import printable

DIFF_FORMAT_VERSION = 1
Delta = Callable[[Change], int]
DiffKey = Literal["disk_usage", "apparent_size"]
MARKS = {"appeared": "+", "disappeared": "-", "grew": "~", "shrank": "~", "changed": "~", "unchanged": " "}
LEGEND = (
    "+ appeared, - disappeared, ~ grew, shrank or changed inside. Entries are matched by path:\n"
    "a renamed or moved folder shows as one gone and one new, each with all its size."
)

_EPILOG = f"""\
OLD and NEW are each a file that '{PROG} -f' reads (a saved scan written with
--save, an ncdu export, a JSON export) or a folder, which is scanned now.

Entries are matched by path, name by name (exact bytes): a folder that was
renamed or moved shows as one gone (-) and one new (+), each with all of its
size. A file that became a folder, or the reverse, is one gone and one new too.

marks:
  +  appeared: in NEW only
  -  disappeared: in OLD only
  ~  grew, shrank, or changed inside with the same total

examples:
  {PROG} ~ --save monday.scan            save a scan, then later:
  {PROG} diff monday.scan ~              what changed in the home folder since
  {PROG} diff monday.scan friday.scan --depth 5 --top 3
  {PROG} diff old.json new.json --json - | python3 -m json.tool"""


def diff_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=f"{PROG} diff",
        description="Compare two scans of a place: what grew, shrank, appeared and disappeared.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("old", metavar="OLD", help="the earlier scan: a file, or a folder to scan now")
    parser.add_argument("new", metavar="NEW", help="the later scan: a file, or a folder to scan now")
    parser.add_argument("-A", "--apparent-size", action="store_true", help="compare apparent sizes, not disk usage")
    parser.add_argument("--si", action="store_true", help="sizes in powers of 1000 (kB, MB, GB) instead of 1024")
    parser.add_argument("--bytes", action="store_true", help="print sizes as exact byte counts")
    parser.add_argument(
        "--depth", type=count, default=3, metavar="N", help="levels below the root to show (default: 3)"
    )
    parser.add_argument(
        "--top", type=count, default=10, metavar="N", help="changes per folder before the rest is folded (default: 10)"
    )
    parser.add_argument("--json", metavar="FILE", help="write every change as JSON to FILE ('-': standard output)")
    add_walk_options(parser)
    return parser


def run_diff(argv: Sequence[str]) -> int:
    parser = diff_parser()
    args = parser.parse_intermixed_args(argv)
    exclude = exclude_patterns(args)
    if exclude is None:
        return EXIT_USAGE
    output = None
    if args.json is not None:
        try:
            output = Output.reserve(args.json)
        except OSError as error:
            print_error(f"cannot write the JSON export to {args.json}: {error.strerror or error}")
            return EXIT_FAILURE
    try:
        trees = []
        for given in (args.old, args.new):
            tree = _read(given, args, exclude)
            if isinstance(tree, str):
                print_error(tree)
                return EXIT_FAILURE
            trees.append(tree)
        comparison = compare(*trees)
        key: DiffKey = "apparent_size" if args.apparent_size else "disk_usage"
        if output is None or output.target != "-":
            for line in report_lines(comparison, key, Units(args.bytes, args.si), args.depth, args.top, _style()):
                print(line)
        if output is not None:
            output.write(lambda stream: write_diff_json(comparison, stream))
            if output.target != "-":
                print(f"wrote        JSON changes to {printable(args.json)}")
    except OSError as error:
        print_error(f"cannot write the JSON export to {args.json}: {error.strerror or error}")
        return EXIT_FAILURE
    finally:
        if output is not None:
            output.discard()
    return 0


def _read(given: str, args: argparse.Namespace, exclude: tuple[str, ...]) -> Tree | str:
    """A folder scanned now, or a tree read from a file; else why not."""
    try:
        if os.path.isdir(given):
            progress = ProgressLine(sys.stderr, args.apparent_size, os.path.abspath(given), args.si)
            try:
                return measure(
                    given,
                    one_filesystem=args.one_file_system,
                    exclude=exclude,
                    progress=progress,
                    threads=args.threads,
                )
            finally:
                progress.clear()
        return open_scan(given)
    except ScanFileError as error:
        return str(error)
    except OSError as error:
        return f"cannot read '{given}': {error.strerror or error}"


def _style() -> Style:
    from orvalnest.commands.scan import terminal_style

    return terminal_style(sys.stdout)


def signed(amount: int, units: Units) -> str:
    if amount == 0:
        return units.amount(0)
    return ("+" if amount > 0 else "-") + units.amount(abs(amount))


def _described(tree: Tree) -> str:
    when = time.strftime("%Y-%m-%d %H:%M", time.localtime(tree.timestamp))
    if tree.opened_from is None:
        return f"{tree.path}  (scanned now)"
    kind = {"scan": "saved scan", "ncdu": "ncdu export", "json": "JSON export"}[tree.source]
    return f"{tree.path}  ({kind} of {when}: {tree.opened_from})"


def report_lines(
    comparison: Comparison, key: DiffKey, units: Units, depth: int, top: int, style: Style
) -> Iterator[str]:
    root = comparison.root
    yield f"old          {printable(_described(comparison.old))}"
    yield f"new          {printable(_described(comparison.new))}"
    yield ""
    yield from _tree_lines(root, key, units, depth, top, style)
    yield ""
    what = "apparent size" if key == "apparent_size" else "disk usage"
    old_total, new_total = getattr(comparison.old.root, key), getattr(comparison.new.root, key)
    percent = f" ({100.0 * (new_total - old_total) / old_total:+.1f}%)" if old_total else ""
    yield f"change       {signed(new_total - old_total, units)} {what}{percent}"
    for label, (entries, size), noun, sign in (
        ("appeared", comparison.appeared, "entr", 1),
        ("disappeared", comparison.disappeared, "entr", -1),
        ("grew", comparison.grew, "file", 1),
        ("shrank", comparison.shrank, "file", -1),
    ):
        plural = "ies" if noun == "entr" else "s"
        noun += ("y" if noun == "entr" else "") if entries == 1 else plural
        yield f"{label:<12} {entries} {noun}, {signed(sign * size, units)} disk usage"
    yield ""
    yield from LEGEND.splitlines()


def _tree_lines(root: Change, key: DiffKey, units: Units, depth: int, top: int, style: Style) -> Iterator[str]:
    tee, last, pipe = ("├── ", "└── ", "│   ") if style.unicode else ("|-- ", "`-- ", "|   ")
    attribute = f"{key}_delta"

    def delta_of(change: Change) -> int:
        return int(getattr(change, attribute))

    yield _line(root, delta_of(root), "", root.path, units)
    # (change, prefix of its children, level): depth first with an explicit stack.
    stack: list[tuple[list[Change | tuple[int, int]], str, int]] = [(_shown(root, key, delta_of, top), "", 1)]
    while stack:
        items, prefix, level = stack[-1]
        if not items:
            stack.pop()
            continue
        item = items.pop()
        branch, inner = (last, "    ") if not items else (tee, pipe)
        if isinstance(item, tuple):
            more, amount = item
            yield f"{signed(amount, units):>11}     {prefix}{branch}... {more} more"
            continue
        yield _line(item, delta_of(item), prefix + branch, item.name, units)
        if item.is_dir and level < depth and item.status not in ("appeared", "disappeared"):
            stack.append((_shown(item, key, delta_of, top), prefix + inner, level + 1))


def _shown(change: Change, key: DiffKey, delta_of: Delta, top: int) -> list[Change | tuple[int, int]]:
    """The changed children, largest change first, the rest folded into one
    (count, amount); reversed, so that the next one is popped from the end."""
    changed = [child for child in change.sorted_children(key) if child.changed]
    shown: list[Change | tuple[int, int]] = list(changed)
    if top and len(changed) > top:
        rest = changed[top:]
        shown = [*changed[:top], (len(rest), sum(delta_of(child) for child in rest))]
    return shown[::-1]


def _line(change: Change, delta: int, prefix: str, name: str, units: Units) -> str:
    note = {"appeared": "  (new)", "disappeared": "  (gone)"}.get(change.status, "")
    slash = "/" if change.is_dir and prefix else ""
    return f"{signed(delta, units):>11}  {MARKS[change.status]}  {prefix}{printable(name)}{slash}{note}"


def write_diff_json(comparison: Comparison, stream: TextIO) -> None:
    """Every change at every depth; a folder that appeared or disappeared is one
    entry, its contents not listed (the scan of its side has them)."""
    out = Chunked(stream)
    sides = {}
    for name, tree in (("old", comparison.old), ("new", comparison.new)):
        sides[name] = {
            "path": tree.path,
            "source": tree.source,
            "file": tree.opened_from,
            "timestamp": tree.timestamp,
            "disk_usage": tree.root.disk_usage,
            "apparent_size": tree.root.apparent_size,
            "size": tree.root.size,
            "entries": tree.entries,
        }
    root = comparison.root
    totals: dict[str, object] = {
        "disk_usage": root.disk_usage_delta,
        "apparent_size": root.apparent_size_delta,
        "size": root.size_delta,
        "entries": root.entries_delta,
    }
    for name, (entries, size) in (("appeared", comparison.appeared), ("disappeared", comparison.disappeared)):
        totals[name] = {"entries": entries, "disk_usage": size}
    for name, (files, size) in (("grew", comparison.grew), ("shrank", comparison.shrank)):
        totals[name] = {"files": files, "disk_usage": size}
    head = {"version": DIFF_FORMAT_VERSION, "orvalnest": __version__, **sides, "totals": totals}
    out.write(json.dumps(head, ensure_ascii=False)[:-1] + ',"changes":')
    stack: list[list[Change]] = []
    separator = ""
    out.write(_json_head(root))
    stack.append([child for child in root.children if child.changed][::-1])
    while stack:
        if not stack[-1]:
            stack.pop()
            out.write("]}")
            separator = ","
            continue
        change = stack[-1].pop()
        out.write(separator + _json_head(change))
        if change.is_dir and change.status not in ("appeared", "disappeared"):
            stack.append([child for child in change.children if child.changed][::-1])
            separator = ""
        else:
            out.write("]}")
            separator = ","
    out.write("}\n")
    out.flush()


def _json_head(change: Change) -> str:
    old, new = change.old, change.new
    fields = {
        "name": change.name,
        "path": change.path,
        "status": change.status,
        "is_dir": change.is_dir,
        "old_disk_usage": old.disk_usage if old is not None else None,
        "new_disk_usage": new.disk_usage if new is not None else None,
        "disk_usage_delta": change.disk_usage_delta,
        "apparent_size_delta": change.apparent_size_delta,
        "size_delta": change.size_delta,
        "entries_delta": change.entries_delta,
    }
    return json.dumps(fields, ensure_ascii=False)[:-1] + ',"children":['
