"""`orvalnest [scan] PATH...`: measure folders, show their largest entries, and
write the exports asked for."""

from __future__ import annotations

import argparse
import codecs
import dataclasses
import os
import re
import shutil
import stat
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import TextIO

from orvalnest import ScanFileError, open_scan
from orvalnest import measure as measure_tree
from orvalnest._engine import Tree
from orvalnest._native import __version__
from orvalnest.common import (
    EXIT_FAILURE,
    EXIT_INCOMPLETE,
    EXIT_USAGE,
    PROG,
    Located,
    add_walk_options,
    count,
    exclude_patterns,
    locate,
    print_error,
)
from orvalnest.report.exports import write_json, write_ncdu
from orvalnest.report.layout import Measured, first_screen, whole_report
from orvalnest.report.output import Output
from orvalnest.report.progress import ProgressLine, is_terminal
from orvalnest.report.text import Style, TreeOptions
from orvalnest.view import SORT_KEYS, is_within, printable

DEFAULT_DEPTH = 2
DEFAULT_TOP = 10

_USAGE = f"""\
{PROG} [scan] [PATH... | -f FILE] [-A] [--si] [-x] [--exclude PATTERN] [--threads N] [--sort KEY] [--age]
                 [--depth N] [--top N] [--bytes] [--issues] [--json FILE] [--ncdu FILE] [--html FILE]
                 [--save FILE]
       {PROG} diff OLD NEW [--json FILE]
       {PROG} trash --root DIR [--dry-run] [--audit-dir DIR] PATH...
       {PROG} check --root DIR PATH
       {PROG} --version"""

_SCAN_EPILOG = f"""\
commands:
  scan       (the default) measure PATH and show its largest entries
  trash      move paths inside a scanned folder to the trash; '{PROG} trash --help'
  check      show what a path resolves to, or why trash would refuse it
  browse     browse PATH in the terminal and trash what you pick (also: -i PATH)
  diff       what grew, shrank, appeared and disappeared between two scans; '{PROG} diff --help'

sizes:
  Sizes are disk usage, as du, ncdu and gdu show them: the space files take on
  disk, a file with several hard links counted once. -A shows apparent sizes
  as du -b counts them (the length of each file, a hard-linked one once, and
  of each folder and link itself). The summary gives both totals, each preceded by
  "at least" when part of the tree could not be read or was skipped. KB, MB,
  GB are powers of 1024; with --si, kB, MB, GB are powers of 1000. "folders"
  counts every folder in the tree, PATH itself included (as find PATH -type d).

markers (the column before each name):
  !  could not be read, whole or in part (--issues says why)
  >  skipped: another filesystem (-x), a pseudo-filesystem such as /proc, or
     nested too deep
  @  symbolic link (never followed inside the tree)
  H  file with several hard links (its space counted once)

patterns (--exclude, as du matches them):
  A pattern without '/' matches names: '*.o', 'node_modules'. A pattern with
  '/' matches the last components of a path, whole components only:
  'share/doc' leaves out /usr/share/doc but not /usr/myshare/doc, and
  '/usr/share/doc' only that folder. '*', '?' and '[...]' are shell wildcards.

examples:
  {PROG} /usr/share                      the total, then the largest entries
  {PROG} ~/Downloads --depth 4 --top 5   deeper, five entries per folder
  {PROG} / -x --exclude '*.iso'          this filesystem only, without ISO images
  {PROG} ~/src ~/photos                  each tree, and the total of both
  {PROG} . --issues                      also list what could not be read
  {PROG} . --sort name --bytes           alphabetical, exact byte counts
  {PROG} ~ --sort mtime --age            newest first, with how long ago each changed
  {PROG} / --ncdu root.json && ncdu -e -f root.json   (-e: with times)
  {PROG} ~ --html home.html              a treemap page to open in a browser
  {PROG} ~ --json - | python3 -m json.tool | less
  {PROG} ~ --save home.scan              keep the scan; '{PROG} -f home.scan' shows it again
  {PROG} diff home.scan ~                what changed since
  {PROG} check --root ~/Downloads ~/Downloads/big.iso
  {PROG} trash --root ~/Downloads --dry-run ~/Downloads/big.iso
  {PROG} trash --root ~/Downloads ~/Downloads/big.iso ~/Downloads/old

A symbolic link given as PATH is followed; a file given as PATH shows its size.
Several PATHs show a tree each, then one summary whose totals count a PATH
inside another only once; exports take one PATH. A PATH named 'scan', 'trash'
or 'check' is given after the command: '{PROG} scan trash'.

On a terminal the totals come first and, unless --depth, --top or --issues ask
for more, the trees are cut to what the window holds (pipe into less for the
whole report); lines are fitted to its width and the scan shows its progress
on standard error; colours and block bars appear only on a terminal and when
NO_COLOR is not set. A pipe or a file gets the whole report, trees first.

exports:
  Destinations are checked before the scan starts. An export goes into a new
  file beside FILE, renamed over it when complete (cut short, it leaves the old
  file); a replaced file keeps its mode, owner and group, and another user's
  file is refused when they cannot be kept. A FILE that is a symbolic link is
  refused, neither followed (a link planted in /tmp would pick what gets
  overwritten) nor replaced (a link made on purpose would become a file): give
  the path it points to. Pipes and character devices are written in place;
  /dev/stdout and /dev/fd/N are this process's descriptors; block devices are
  refused.

exit status:
  0    every entry was read (entries skipped on purpose, such as other
       filesystems with -x, do not count against it)
  1    an error: a PATH that cannot be accessed, a folder that cannot be read
       at all (as du), an export that cannot be written
  2    a usage error
  3    the report is made, but some entries could not be read: its totals are
       lower bounds (du says 1 for this too; 3 lets a script tell a total it
       can use with care from no total at all)
  130  Ctrl+C"""


def scan_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        usage=_USAGE,
        description="See where the disk space goes: scan a folder and show its largest entries.",
        epilog=_SCAN_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("paths", nargs="*", metavar="PATH", help="folders (or files) to measure (default: .)")
    parser.add_argument("-A", "--apparent-size", action="store_true", help="show apparent sizes instead of disk usage")
    parser.add_argument("--si", action="store_true", help="sizes in powers of 1000 (kB, MB, GB) instead of 1024")
    add_walk_options(parser)
    parser.add_argument(
        "--sort",
        choices=SORT_KEYS,
        default="size",
        help="order of entries: size (largest first), name, count (most entries below first), or mtime "
        "(the newest change at or below first); ties are broken by name (default: size)",
    )
    parser.add_argument(
        "--age",
        action="store_true",
        help="show how long ago anything at or below each entry last changed (2.0 y: two years or more)",
    )
    parser.add_argument(
        "--depth",
        type=count,
        metavar="N",
        help=f"levels below PATH to show (default: {DEFAULT_DEPTH}, or what fits a terminal's window)",
    )
    parser.add_argument(
        "--top",
        type=count,
        metavar="N",
        help=f"entries per folder before the rest is folded into one line (default: {DEFAULT_TOP}, "
        "or what fits a terminal's window; 0 shows all)",
    )
    parser.add_argument("--bytes", action="store_true", help="print sizes as exact byte counts")
    parser.add_argument("--issues", action="store_true", help="list every path that could not be read or was skipped")
    parser.add_argument("--json", metavar="FILE", help="write the whole tree as JSON to FILE ('-': standard output)")
    parser.add_argument("--ncdu", metavar="FILE", help="write the tree for 'ncdu -f FILE' ('-': standard output)")
    parser.add_argument("--html", metavar="FILE", help="write a treemap page for a browser ('-': standard output)")
    parser.add_argument(
        "--save",
        metavar="FILE",
        help="write the scan to FILE in orvalnest's saved format, which -f and diff read back in a blink",
    )
    parser.add_argument(
        "-f",
        "--file",
        metavar="FILE",
        help="report on a scan read from FILE instead of scanning: a saved scan (--save), an ncdu export "
        "(ncdu -o, --ncdu) or a JSON export (--json); '-' reads standard input",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser


@dataclass(frozen=True)
class Export:
    option: str  # the option that asked for it, for messages
    kind: str
    target: str
    write: Callable[[Tree, TextIO], None]
    binary: Callable[[Tree, int], None] | None = None  # written straight to a descriptor


def requested_exports(args: argparse.Namespace) -> list[Export]:
    """Every export the command line asks for: each one is checked before the
    scan and written after it, in this order (files before standard output)."""
    exports = []
    if args.json is not None:
        exports.append(Export("--json", "JSON", args.json, lambda tree, stream: write_json(tree.root, stream)))
    if args.ncdu is not None:
        exports.append(Export("--ncdu", "ncdu", args.ncdu, lambda tree, stream: write_ncdu(tree.root, stream)))
    if args.html is not None:
        # Its hashing, templates and JSON modules are a fifth of the command's
        # start-up: loaded only when a page is asked for.
        from orvalnest.report.html_report import write_html

        si = args.si
        exports.append(Export("--html", "HTML", args.html, lambda tree, stream: write_html(tree.root, stream, si=si)))
    if args.save is not None:
        exports.append(Export("--save", "saved scan", args.save, lambda tree, stream: None, _save))
    return exports


def _save(tree: Tree, fd: int) -> None:
    tree.save(fd)


def tree_of(source: Located | str, args: argparse.Namespace, exclude: tuple[str, ...], progress: ProgressLine) -> Tree:
    """The compact tree of a PATH scanned now, or of a FILE given with -f (a saved
    scan, an ncdu export or a JSON export). Raises OSError or ScanFileError."""
    if isinstance(source, str):
        return open_scan(source)
    return measure_tree(
        source.target, one_filesystem=args.one_file_system, exclude=exclude, progress=progress, threads=args.threads
    )


def _reason(message: str) -> str:
    """An engine message as du words it: "Permission denied", without the error number."""
    return _OS_ERROR.sub("", message)


_OS_ERROR = re.compile(r" \(os error \d+\)$")


def measure(
    place: Located | str, args: argparse.Namespace, exclude: tuple[str, ...]
) -> tuple[Measured, Tree | None] | str:
    """The PATH's tree (None for a file), or why it could not be read; a str
    `place` is a FILE to read the tree from."""
    started = time.monotonic()
    if isinstance(place, str):
        reading = ProgressLine(sys.stderr, False, place, doing="reading")
        try:
            tree = tree_of(place, args, exclude, reading)
        except ScanFileError as error:
            return str(error)
        except OSError as error:
            return f"cannot read '{place}': {error.strerror or error}"
        finally:
            reading.clear()
        return _measured(tree, place, tree.path, started)
    if not stat.S_ISDIR(place.info.st_mode):
        info = place.info
        return Measured(place.label or place.given, None, info.st_blocks * 512, info.st_size), None
    progress = ProgressLine(sys.stderr, args.apparent_size, os.path.abspath(place.target), args.si)
    try:
        tree = tree_of(place, args, exclude, progress)
    except OSError as error:
        return f"cannot read directory '{place.given}': {_reason(error.strerror or str(error))}"
    finally:
        progress.clear()
    return _measured(tree, place.given, place.label or tree.root.path, started)


def _measured(tree: Tree, given: str, label: str, started: float) -> tuple[Measured, Tree] | str:
    root = tree.root
    issues = tree.issues if root.incomplete else []
    for issue in issues if root.unreadable else ():
        # The folder itself could not be listed: there is no total to give.
        if not issue.skipped and issue.entry == root:
            return f"cannot read directory '{given}': {_reason(issue.message)}"
    seconds = time.monotonic() - started
    measured = Measured(
        label, root, root.disk_usage, root.apparent_size, issues, tree.excluded, seconds, incomplete=root.incomplete
    )
    return measured, tree


def run_scan(argv: Sequence[str]) -> int:
    parser = scan_parser()
    # PATHs may come after options, as du takes them: "orvalnest -x / /home".
    args = parser.parse_intermixed_args(argv)
    if args.file is not None and args.paths:
        parser.error("-f reads the tree from FILE: give no PATH with it")
    paths = [] if args.file is not None else args.paths or ["."]
    exports = requested_exports(args)
    to_stdout = [export.option for export in exports if export.target == "-"]
    if len(to_stdout) > 1:
        parser.error("only one of --json, --ncdu and --html, or --save, can write to standard output")
    if exports and len(paths) > 1:
        parser.error("--json, --ncdu and --html export the tree of one PATH, as --save saves it")
    exclude = exclude_patterns(args)
    if exclude is None:
        return EXIT_USAGE

    found: list[Located | str] = [args.file] if args.file is not None else []
    status = 0
    for path in paths:
        place = locate(path)
        if isinstance(place, str):
            print_error(place)
            status = EXIT_FAILURE
        else:
            found.append(place)
    first = found[0] if found else None
    if exports and isinstance(first, Located) and not stat.S_ISDIR(first.info.st_mode):
        print_error(f"{first.given} is a file: exports need a folder")
        return EXIT_FAILURE

    outputs: list[tuple[Export, Output]] = []
    try:
        for export in exports:
            try:
                outputs.append((export, Output.reserve(export.target)))
            except OSError as error:
                print_error(f"cannot write the {export.kind} export to {export.target}: {error.strerror or error}")
                return EXIT_FAILURE
        scanned = _scan_and_report(args, found, exclude, outputs)
        return status or scanned
    finally:
        for _, output in outputs:
            output.discard()


def _scan_and_report(
    args: argparse.Namespace,
    found: list[Located | str],
    exclude: tuple[str, ...],
    outputs: list[tuple[Export, Output]],
) -> int:
    timestamp = int(time.time())
    measured: list[Measured] = []
    real_paths: list[str] = []
    trees: list[Tree] = []
    status = 0
    for place in found:
        outcome = measure(place, args, exclude)
        if isinstance(outcome, str):
            print_error(outcome)
            status = EXIT_FAILURE
            continue
        measured.append(outcome[0])
        real_paths.append(outcome[0].label if isinstance(place, str) else os.path.realpath(place.target))
        if outcome[1] is not None:
            trees.append(outcome[1])
    measured = counted_once(measured, real_paths)
    if not measured:
        return status
    unreadable = sum(1 for item in measured if item.counted for issue in item.issues if not issue.skipped)

    # An export to standard output owns it; the tree would corrupt it.
    on_stdout = all(output.target != "-" for _, output in outputs)
    if on_stdout:
        show_report(measured, args, timestamp)
    if unreadable and not (on_stdout and is_terminal(sys.stdout)):
        # A report that went to a file or a pipe must not hide this from the person at the terminal.
        noun = "entry" if unreadable == 1 else "entries"
        print_error(f"{unreadable} {noun} could not be read: the totals are lower bounds (--issues lists them)")
    if status == 0 and unreadable:
        status = EXIT_INCOMPLETE
    if not trees or status == EXIT_FAILURE:
        return status

    tree = trees[0]
    # Files first: a reader that stops reading standard output early must not
    # cost the user an export they asked for.
    for export, output in sorted(outputs, key=lambda pair: pair[1].target == "-"):
        try:
            if export.binary is not None:
                output.write_binary(lambda fd, write=export.binary: write(tree, fd))  # type: ignore[misc]
            else:
                output.write(lambda stream, export=export: export.write(tree, stream))  # type: ignore[misc]
        except OSError as error:
            if output.target == "-" and isinstance(error, BrokenPipeError):
                raise
            print_error(f"cannot write the {export.kind} export to {export.target}: {error.strerror or error}")
            status = EXIT_FAILURE
            continue
        if on_stdout:
            what = export.kind if export.binary is not None else f"{export.kind} export"
            print(f"wrote        {what} to {printable(export.target)}")
    return status


def counted_once(measured: list[Measured], real_paths: list[str]) -> list[Measured]:
    """`measured` with each PATH inside another one (or given twice) left out of
    the totals, as du counts every folder once however often it is named."""
    kept = []
    for number, (item, path) in enumerate(zip(measured, real_paths, strict=True)):
        inside = any(
            other != number and is_within(path, there) and (path != there or other < number)
            for other, there in enumerate(real_paths)
        )
        kept.append(dataclasses.replace(item, counted=False) if inside else item)
    return kept


def show_report(measured: list[Measured], args: argparse.Namespace, now: int) -> None:
    depth = args.depth if args.depth is not None else DEFAULT_DEPTH
    top = args.top if args.top is not None else DEFAULT_TOP
    options = TreeOptions(depth, top, args.sort, args.apparent_size, args.bytes, args.si, args.age, now)
    style = terminal_style(sys.stdout)
    if not is_terminal(sys.stdout):
        lines: Iterable[str] = whole_report(measured, options, style, args.issues, total_first=False)
    elif args.depth is None and args.top is None and not args.issues:
        lines = first_screen(measured, options, style, terminal_rows())
    else:
        lines = whole_report(measured, options, style, args.issues, total_first=True)
    for line in lines:
        print(line)
    sys.stdout.flush()


def terminal_rows() -> int:
    rows = shutil.get_terminal_size((80, 24)).lines
    return rows if rows > 0 else 24  # a pseudo-terminal may not know its size


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
