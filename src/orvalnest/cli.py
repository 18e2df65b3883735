"""The `orvalnest` command: see where the space goes, export it, trash safely."""

from __future__ import annotations

import argparse
import codecs
import os
import shutil
import signal
import sys
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from types import FrameType
from typing import TextIO

from orvalnest import scan_tree
from orvalnest._native import AUDIT_LOG_DIR_ENV, Cleaner, ScanResult, TrashReport, __version__, format_bytes
from orvalnest.report.html_report import write_html
from orvalnest.report.json_export import write_json
from orvalnest.report.ncdu_export import write_ncdu
from orvalnest.report.output import Output
from orvalnest.report.progress import ProgressLine, is_terminal
from orvalnest.report.text import Style, TreeOptions, both_totals, render_summary, render_tree
from orvalnest.report.trash_reasons import in_words
from orvalnest.view import SORT_KEYS, IssueIndex, Totals, printable

PROG = "orvalnest"
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130  # what shells report for a command ended by Ctrl+C

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
terminal and when NO_COLOR is not set. Export destinations are checked before
the scan starts. Exit status: 0 when the scan finished (even if some entries
could not be read), 1 on an error, 2 on a usage error, 130 on Ctrl+C."""

_TRASH_EPILOG = f"""\
Every path must lie strictly inside --root (symbolic links cannot lead out of
it), must not contain '..', and must not be a system or profile folder. Every
attempt, refused ones and dry runs included, is appended to deletions.jsonl in
the audit directory: --audit-dir, else ${AUDIT_LOG_DIR_ENV}, else
$XDG_STATE_HOME/orvalnest (~/.local/state/orvalnest). Exits 1 if any path
failed.

examples:
  {PROG} trash --root ~/Downloads --dry-run ~/Downloads/big.iso
  {PROG} trash --root ~/Downloads ~/Downloads/big.iso ~/Downloads/old"""

_CHECK_EPILOG = f"""\
Prints the path that trash would move, or the reason it would refuse (exit 1).
Touches nothing and writes no audit record.

example:
  {PROG} check --root ~/Downloads ~/Downloads/link-to-something"""


def main(argv: Sequence[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    _tolerate_unencodable_output()
    try:
        if args and args[0] == "trash":
            return run_trash(args[1:])
        if args and args[0] == "check":
            return run_check(args[1:])
        if args and args[0] in ("browse", "-i"):
            from orvalnest.browse.command import run_browse  # Textual loads only for browsing

            return run_browse(args[1:])
        if args and args[0] == "scan":
            args = args[1:]
        return run_scan(args)
    except KeyboardInterrupt:
        _error("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`orvalnest | head`): stop quietly, and keep the
        # interpreter's final flush from reporting the same broken pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE


# --- scan ---------------------------------------------------------------


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text}")
    return value


def thread_count(text: str) -> int:
    value = _count(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more: {text}")
    return value


THREADS_HELP = "read folders with N threads at once (default: one per CPU; 1 reads them one by one)"


def add_walk_options(parser: argparse.ArgumentParser) -> None:
    """What the scan and the browser ask of the walk, named as du and ncdu name it."""
    parser.add_argument(
        "-x", "--one-file-system", action="store_true", help="do not enter folders on other filesystems"
    )
    parser.add_argument(
        "--exclude",
        action="append",
        default=[],
        metavar="PATTERN",
        help="leave out entries matching the shell pattern (a pattern with '/' matches the whole path, "
        "else the name); repeatable",
    )
    parser.add_argument(
        "--exclude-from",
        action="append",
        default=[],
        metavar="FILE",
        help="read exclude patterns from FILE, one per line",
    )
    parser.add_argument("--threads", type=thread_count, metavar="N", help=THREADS_HELP)


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
    parser.add_argument("--depth", type=_count, default=2, metavar="N", help="levels below PATH to show (default: 2)")
    parser.add_argument(
        "--top",
        type=_count,
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
            _error(f"{args.path} is a file: exports need a folder")
            return EXIT_FAILURE
        return show_file(args.path, target, args)

    outputs: list[tuple[Export, Output]] = []
    try:
        for export in exports:
            try:
                outputs.append((export, Output.reserve(export.target)))
            except OSError as error:
                _error(f"cannot write the {export.kind} export to {export.target}: {error.strerror or error}")
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
        _error(str(error))
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
            _error(f"cannot write the {export.kind} export to {export.target}: {error.strerror or error}")
            status = EXIT_FAILURE
            continue
        if show_tree:
            print(f"wrote        {export.kind} export to {printable(export.target)}")
    return status


def exclude_patterns(args: argparse.Namespace) -> tuple[str, ...] | None:
    """--exclude patterns, then those of --exclude-from files, one a line, blank
    lines ignored (as du does); None, with the reason said, when a file cannot be read."""
    patterns = list(args.exclude)
    for name in args.exclude_from:
        try:
            with open(name, encoding=sys.getfilesystemencoding(), errors="surrogateescape") as lines:
                patterns += [line.rstrip("\n") for line in lines if line.strip()]
        except OSError as error:
            _error(f"cannot read exclude patterns: {error.filename}: {error.strerror}")
            return None
    return tuple(patterns)


def show_file(given: str, target: str, args: argparse.Namespace) -> int:
    """A file given as PATH: its size, where a folder would show its tree."""
    try:
        info = os.stat(target)
    except OSError as error:
        _error(f"{given}: {error.strerror}")
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


# --- trash and check ----------------------------------------------------


def _cleaner_parser(command: str, description: str, epilog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=f"{PROG} {command}",
        description=description,
        epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--root",
        required=True,
        metavar="DIR",
        help="the scanned folder; nothing outside it is touched",
    )
    return parser


def run_trash(argv: Sequence[str]) -> int:
    parser = _cleaner_parser("trash", "Move paths inside a scanned folder to the trash.", _TRASH_EPILOG)
    parser.add_argument("--dry-run", action="store_true", help="check and audit every path, move nothing")
    parser.add_argument("--audit-dir", metavar="DIR", help="folder of the audit log deletions.jsonl")
    parser.add_argument("paths", nargs="+", metavar="PATH", help="files or folders to trash")
    args = parser.parse_args(argv)
    _refuse_dot_paths(parser, args.paths)
    requested = [absolute(path) for path in args.paths]
    try:
        cleaner = Cleaner(args.root, args.audit_dir if args.audit_dir is not None else default_audit_dir())
        # A request runs to its end once started (each path is moved and then
        # recorded), so Ctrl+C must not drop the report of what it did.
        with _SigintDeferred() as interrupt:
            report = cleaner.trash(requested, dry_run=args.dry_run)
    except (OSError, ValueError) as error:
        _error(str(error))
        return EXIT_FAILURE
    for line in report_lines(requested, report):
        print(line)
    print(f"audit log    {printable(report.audit_log)}")
    if interrupt.pending:
        _error("Ctrl+C arrived while trashing; the request had already started and ran to its end")
    return 0 if report.ok else EXIT_FAILURE


def report_lines(requested: Sequence[str], report: TrashReport) -> list[str]:
    """One line per requested path, in request order.

    The report keeps moved and failed paths in two lists, each in request
    order, so the request list tells how to interleave them again.
    """
    trashed, failed = report.trashed, report.failed
    verb = "would trash" if report.dry_run else "trashed"
    lines: list[str] = []
    t = f = 0
    for path in requested:
        text = _lossy(path)
        take_trashed = t < len(trashed) and (trashed[t] == text or f >= len(failed) or failed[f][0] != text)
        if take_trashed:
            lines.append(f"{verb:<12} {printable(trashed[t])}")
            t += 1
        elif f < len(failed):
            failed_path, reason = failed[f]
            lines.append(f"{'failed':<12} {printable(failed_path)}: {printable(in_words(reason))}")
            f += 1
    return lines


def run_check(argv: Sequence[str]) -> int:
    parser = _cleaner_parser("check", "Show what trash would move for PATH, or why it would refuse.", _CHECK_EPILOG)
    parser.add_argument("path", metavar="PATH")
    args = parser.parse_args(argv)
    _refuse_dot_paths(parser, [args.path])
    try:
        # check writes nothing, so the audit directory only has to be a valid path.
        resolved = Cleaner(args.root, default_audit_dir()).check(absolute(args.path))
    except OSError as error:
        _error(str(error))
        return EXIT_FAILURE
    print(printable(resolved))
    return 0


def default_audit_dir() -> str:
    from_env = os.environ.get(AUDIT_LOG_DIR_ENV)
    if from_env:
        return from_env
    # A relative XDG_STATE_HOME is invalid and must be ignored.
    state = os.environ.get("XDG_STATE_HOME", "")
    if not os.path.isabs(state):
        state = os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(state, PROG)


def absolute(path: str) -> str:
    """A path typed relative to the working directory, made absolute without
    normalising: ".." stays, so the cleaner's refusal of ".." still applies,
    and symbolic links are left for the cleaner to resolve."""
    if os.path.isabs(path):
        return path
    parts = [part for part in path.split(os.sep) if part not in ("", ".")]
    return os.path.join(os.getcwd(), *parts)


def _refuse_dot_paths(parser: argparse.ArgumentParser, paths: Sequence[str]) -> None:
    """Refuses "" and any PATH ending in "." or "..", as rm does: made absolute
    they would name the working directory or one above it, which nobody types
    to mean. Nothing has been looked at or recorded yet."""
    for path in paths:
        if path == "" or path.rstrip(os.sep).rpartition(os.sep)[2] in (".", ".."):
            parser.error(f"refusing to act on {path!r}: a PATH may not be empty or end in '.' or '..'")


def _lossy(path: str) -> str:
    """The text the cleaner reports for `path`: its bytes, undecodable ones replaced."""
    return os.fsencode(path).decode("utf-8", "replace")


class _SigintDeferred:
    """Holds Ctrl+C back for the duration of the block and records that it came."""

    def __init__(self) -> None:
        self.pending = False
        self._previous: Callable[[int, FrameType | None], object] | int | None = None

    def _handler(self, signum: int, frame: FrameType | None) -> None:
        self.pending = True

    def __enter__(self) -> _SigintDeferred:
        if threading.current_thread() is threading.main_thread():
            self._previous = signal.signal(signal.SIGINT, self._handler)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)


# --- helpers ------------------------------------------------------------


def _tolerate_unencodable_output() -> None:
    # Under an ASCII or Latin-1 locale a name from the disk may not be
    # encodable; showing it escaped beats dying with UnicodeEncodeError.
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")


def _error(message: str) -> None:
    print(f"{PROG}: {printable(message)}", file=sys.stderr)
