"""`orvalnest [scan] PATH`: measure a folder, show its largest entries, and
write the exports asked for."""

from __future__ import annotations

import argparse
import codecs
import os
import shutil
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TextIO

from orvalnest import scan_tree
from orvalnest._native import ScanResult, __version__, format_bytes
from orvalnest.common import EXIT_FAILURE, EXIT_USAGE, PROG, add_walk_options, count, exclude_patterns, print_error
from orvalnest.report.html_report import write_html
from orvalnest.report.json_export import write_json
from orvalnest.report.ncdu_export import write_ncdu
from orvalnest.report.output import Output
from orvalnest.report.progress import ProgressLine, is_terminal
from orvalnest.report.text import Style, TreeOptions, both_totals, render_summary, render_tree
from orvalnest.view import SORT_KEYS, IssueIndex, Totals, printable

_USAGE = f"""\
{PROG} [scan] [PATH] [-A] [-x] [--exclude PATTERN] [--threads N] [--sort KEY] [--depth N]
                 [--top N] [--bytes] [--issues] [--json FILE] [--ncdu FILE] [--html FILE]
       {PROG} trash --root DIR [--dry-run] [--audit-dir DIR] PATH...
       {PROG} check --root DIR PATH
       {PROG} --version"""

_SCAN_EPILOG = f"""\
commands:
  scan       (the default) measure PATH and show its largest entries
  trash      move paths inside a scanned folder to the trash; '{PROG} trash --help'
  check      show what a path resolves to, or why trash would refuse it
  browse     browse PATH in the terminal and trash what you pick (also: -i PATH)

sizes:
  Sizes are disk usage, as du, ncdu and gdu show them: the space files take on
  disk, a file with several hard links counted once. -A shows apparent sizes
  (the length of each file). The summary gives both totals.

markers (the column before each name):
  !  could not be read, whole or in part (--issues says why)
  >  skipped: another filesystem (-x), a pseudo-filesystem such as /proc, or
     nested too deep
  @  symbolic link (never followed inside the tree)
  H  file with several hard links (its space counted once)

examples:
  {PROG} /usr/share                      the largest entries, two levels deep
  {PROG} ~/Downloads --depth 4 --top 5   deeper, five entries per folder
  {PROG} / -x --exclude '*.iso'          this filesystem only, without ISO images
  {PROG} . --issues                      also list what could not be read
  {PROG} . --sort name --bytes           alphabetical, exact byte counts
  {PROG} / --ncdu root.json && ncdu -f root.json
  {PROG} ~ --html home.html                 a treemap page to open in a browser
  {PROG} ~ --json - | python3 -m json.tool | less
  {PROG} check --root ~/Downloads ~/Downloads/big.iso
  {PROG} trash --root ~/Downloads --dry-run ~/Downloads/big.iso
  {PROG} trash --root ~/Downloads ~/Downloads/big.iso ~/Downloads/old

A symbolic link given as PATH is followed; a file given as PATH shows its size.
A PATH named 'scan', 'trash' or 'check' is given after the command:
'{PROG} scan trash'. On a terminal, lines are fitted to its width and the scan
shows its progress on standard error; colours and block bars appear only on a
terminal and when NO_COLOR is not set. Exit status: 0 when the scan finished
(even if some entries could not be read), 1 on an error, 2 on a usage error,
130 on Ctrl+C.

exports:
  Destinations are checked before the scan starts. An export goes into a new
  file beside FILE, renamed over it when complete (cut short, it leaves the old
  file); a replaced file keeps its mode, owner and group, and another user's
  file is refused when they cannot be kept. A FILE that is a symbolic link is
  refused, neither followed (a link planted in /tmp would pick what gets
  overwritten) nor replaced (a link made on purpose would become a file): give
  the path it points to. Pipes and character devices are written in place;
  /dev/stdout and /dev/fd/N are this process's descriptors; block devices are
  refused."""


def scan_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        usage=_USAGE,
        description="See where the disk space goes: scan a folder and show its largest entries.",
        epilog=_SCAN_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("path", nargs="?", default=".", metavar="PATH", help="folder to scan (default: .)")
    parser.add_argument("-A", "--apparent-size", action="store_true", help="show apparent sizes instead of disk usage")
    add_walk_options(parser)
    parser.add_argument(
        "--sort",
        choices=SORT_KEYS,
        default="size",
        help="order of entries: size (largest first), name, or count (most entries below first); "
        "ties are broken by name (default: size)",
    )
    parser.add_argument("--depth", type=count, default=2, metavar="N", help="levels below PATH to show (default: 2)")
    parser.add_argument(
        "--top",
        type=count,
        default=10,
        metavar="N",
        help="entries per folder before the rest is folded into one line (default: 10; 0 shows all)",
    )
    parser.add_argument("--bytes", action="store_true", help="print sizes as exact byte counts")
    parser.add_argument("--issues", action="store_true", help="list every path that could not be read or was skipped")
    parser.add_argument("--json", metavar="FILE", help="write the whole tree as JSON to FILE ('-': standard output)")
    parser.add_argument("--ncdu", metavar="FILE", help="write the tree for 'ncdu -f FILE' ('-': standard output)")
    parser.add_argument("--html", metavar="FILE", help="write a treemap page for a browser ('-': standard output)")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser


@dataclass(frozen=True)
class ScanContext:
    """What an export may need besides the scan itself."""

    result: ScanResult
    timestamp: int
    exclude: tuple[str, ...]
    root_raw: bytes  # the scanned path's exact bytes


@dataclass(frozen=True)
class Export:
    option: str  # the option that asked for it, for messages
    kind: str
    target: str
    write: Callable[[ScanContext, TextIO], None]


def requested_exports(args: argparse.Namespace) -> list[Export]:
    """Every export the command line asks for: each one is checked before the
    scan and written after it, in this order (files before standard output)."""
    exports = []
    if args.json is not None:
        exports.append(
            Export("--json", "JSON", args.json, lambda c, s: write_json(c.result, s, c.timestamp, c.root_raw))
        )
    if args.ncdu is not None:
        exports.append(
            Export("--ncdu", "ncdu", args.ncdu, lambda c, s: write_ncdu(c.result, s, c.timestamp, c.exclude))
        )
    if args.html is not None:
        exports.append(Export("--html", "HTML", args.html, lambda c, s: write_html(c.result, s, c.timestamp)))
    return exports


def run_scan(argv: Sequence[str]) -> int:
    parser = scan_parser()
    args = parser.parse_args(argv)
    exports = requested_exports(args)
    to_stdout = [export.option for export in exports if export.target == "-"]
    if len(to_stdout) > 1:
        parser.error("only one of --json, --ncdu and --html can write to standard output")
    exclude = exclude_patterns(args)
    if exclude is None:
        return EXIT_USAGE

    shown_path = args.path
    target = args.path
    # A link given by name is what the user means to measure (as with du PATH/, ncdu, gdu).
    if target and os.path.islink(target):
        target = os.path.realpath(target)
        shown_path = f"{os.path.abspath(args.path)} → {target}"
    if target and os.path.exists(target) and not os.path.isdir(target):
        if exports:
            print_error(f"{args.path} is a file: exports need a folder")
            return EXIT_FAILURE
        return show_file(args.path, target, args)

    outputs: list[tuple[Export, Output]] = []
    try:
        for export in exports:
            try:
                outputs.append((export, Output.reserve(export.target)))
            except OSError as error:
                print_error(f"cannot write the {export.kind} export to {export.target}: {error.strerror or error}")
                return EXIT_FAILURE
        return _scan_and_report(args, target, shown_path, exclude, outputs)
    finally:
        for _, output in outputs:
            output.discard()


def _scan_and_report(
    args: argparse.Namespace,
    target: str,
    shown_path: str,
    exclude: tuple[str, ...],
    outputs: list[tuple[Export, Output]],
) -> int:
    timestamp = int(time.time())
    started = time.monotonic()
    progress = ProgressLine(sys.stderr, args.apparent_size, os.path.abspath(target) if target else target)
    try:
        result = scan_tree(
            target, one_filesystem=args.one_file_system, exclude=exclude, progress=progress, threads=args.threads
        )
    except OSError as error:
        progress.clear()
        print_error(str(error))
        return EXIT_FAILURE
    finally:
        progress.clear()
    elapsed = time.monotonic() - started

    # An export to standard output owns it; the tree would corrupt it.
    show_tree = all(output.target != "-" for _, output in outputs)
    if show_tree:
        options = TreeOptions(args.depth, args.top, args.sort, args.apparent_size, args.bytes)
        style = terminal_style(sys.stdout)
        root_label = shown_path if shown_path != args.path else None
        render_tree(result.root, IssueIndex.of(result.issues), options, style, print, root_label)
        totals = Totals.of(result.root, args.apparent_size)
        render_summary(result.root, totals, result.issues, result.excluded, elapsed, options, args.issues, style, print)
        sys.stdout.flush()

    context = ScanContext(result, timestamp, exclude, os.fsencode(result.root.path))
    status = 0
    # Files first: a reader that stops reading standard output early must not
    # cost the user an export they asked for.
    for export, output in sorted(outputs, key=lambda pair: pair[1].target == "-"):
        try:
            output.write(lambda stream, export=export: export.write(context, stream))  # type: ignore[misc]
        except OSError as error:
            if output.target == "-" and isinstance(error, BrokenPipeError):
                raise
            print_error(f"cannot write the {export.kind} export to {export.target}: {error.strerror or error}")
            status = EXIT_FAILURE
            continue
        if show_tree:
            print(f"wrote        {export.kind} export to {printable(export.target)}")
    return status


def show_file(given: str, target: str, args: argparse.Namespace) -> int:
    """A file given as PATH: its size, where a folder would show its tree."""
    try:
        info = os.stat(target)
    except OSError as error:
        print_error(f"{given}: {error.strerror}")
        return EXIT_FAILURE
    disk, apparent = info.st_blocks * 512, info.st_size
    shown = apparent if args.apparent_size else disk
    size = str(shown) if args.bytes else format_bytes(shown)
    label = given if target == given else f"{given} → {target}"
    print(f"{size:>10}  {printable(label)}")
    print("")
    print(both_totals(disk, apparent, args.apparent_size, args.bytes))
    return 0


def terminal_style(stream: TextIO) -> Style:
    """Colour and block characters only for a person looking at a terminal;
    names fitted to its width only there too."""
    if not is_terminal(stream):
        return Style()
    width = shutil.get_terminal_size((80, 24)).columns
    width = width if width > 0 else 80  # a pseudo-terminal may not know its size
    if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return Style(width=width)
    try:
        utf8 = codecs.lookup(stream.encoding or "ascii").name == "utf-8"
    except LookupError:
        utf8 = False
    return Style(unicode=utf8, colour=True, width=width)
