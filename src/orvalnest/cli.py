"""The `orvalnest` command: see where the space goes, export it, trash safely."""

from __future__ import annotations

import argparse
import codecs
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Sequence
from types import FrameType
from typing import TextIO

from orvalnest._native import AUDIT_LOG_DIR_ENV, Cleaner, TrashReport, __version__, scan
from orvalnest.export import output_stream, write_json, write_ncdu
from orvalnest.html_report import write_html
from orvalnest.render import Style, Totals, printable, render_summary, render_tree

PROG = "orvalnest"
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130  # what shells report for a command ended by Ctrl+C

_USAGE = f"""\
{PROG} [scan] [PATH] [--depth N] [--top N] [--issues] [--json FILE] [--ncdu FILE] [--html FILE]
       {PROG} trash --root DIR [--dry-run] [--audit-dir DIR] PATH...
       {PROG} check --root DIR PATH
       {PROG} --version"""

_SCAN_EPILOG = f"""\
commands:
  scan       (the default) measure PATH and show its largest entries
  trash      move paths inside a scanned folder to the trash; '{PROG} trash --help'
  check      show what a path resolves to, or why trash would refuse it
  browse     browse PATH in the terminal and trash what you pick (also: -i PATH)

examples:
  {PROG} /usr/share                      the largest entries, two levels deep
  {PROG} ~/Downloads --depth 4 --top 5   deeper, five entries per folder
  {PROG} . --issues                      also list what could not be read
  {PROG} / --ncdu root.json && ncdu -f root.json
  {PROG} ~ --html home.html                 a treemap page to open in a browser
  {PROG} ~ --json - | python3 -m json.tool | less
  {PROG} check --root ~/Downloads ~/Downloads/big.iso
  {PROG} trash --root ~/Downloads --dry-run ~/Downloads/big.iso
  {PROG} trash --root ~/Downloads ~/Downloads/big.iso ~/Downloads/old

A PATH named 'scan', 'trash' or 'check' is given after the command:
'{PROG} scan trash'. Colours and block bars appear only on a terminal and
when NO_COLOR is not set."""

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


def scan_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        usage=_USAGE,
        description="See where the disk space goes: scan a folder and show its largest entries.",
        epilog=_SCAN_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("path", nargs="?", default=".", metavar="PATH", help="folder to scan (default: .)")
    parser.add_argument("--depth", type=_count, default=2, metavar="N", help="levels below PATH to show (default: 2)")
    parser.add_argument(
        "--top",
        type=_count,
        default=10,
        metavar="N",
        help="entries per folder before the rest is folded into one line (default: 10; 0 shows all)",
    )
    parser.add_argument("--issues", action="store_true", help="list every path that could not be read")
    parser.add_argument("--json", metavar="FILE", help="write the whole tree as JSON to FILE ('-': standard output)")
    parser.add_argument("--ncdu", metavar="FILE", help="write the tree for 'ncdu -f FILE' ('-': standard output)")
    parser.add_argument("--html", metavar="FILE", help="write a treemap page for a browser ('-': standard output)")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser


def run_scan(argv: Sequence[str]) -> int:
    parser = scan_parser()
    args = parser.parse_args(argv)
    if [args.json, args.ncdu, args.html].count("-") > 1:
        parser.error("only one of --json, --ncdu and --html can write to standard output")

    timestamp = time.time()
    started = time.monotonic()
    try:
        with StatusLine(sys.stderr, f"scanning {printable(os.path.abspath(args.path))}"):
            result = scan(args.path)
    except OSError as error:
        _error(str(error))
        return EXIT_FAILURE
    elapsed = time.monotonic() - started

    # An export to standard output owns it; the tree would corrupt it.
    show_tree = "-" not in (args.json, args.ncdu, args.html)
    if show_tree:
        render_tree(result.root, args.depth, args.top, terminal_style(sys.stdout), print)
        render_summary(result.root, Totals.of(result.root), result.issues, elapsed, args.issues, print)
        sys.stdout.flush()

    status = 0
    exports: list[tuple[str | None, str, Callable[[TextIO], None]]] = [
        (args.json, "JSON", lambda stream: write_json(result, stream)),
        (args.ncdu, "ncdu", lambda stream: write_ncdu(result, stream, int(timestamp))),
        (args.html, "HTML", lambda stream: write_html(result, stream, timestamp)),
    ]
    # Files first: a reader that stops reading standard output early must not
    # cost the user an export they asked for.
    exports.sort(key=lambda export: export[0] == "-")
    for target, kind, writer in exports:
        if target is None:
            continue
        try:
            with output_stream(target) as stream:
                writer(stream)
        except OSError as error:
            if target == "-" and isinstance(error, BrokenPipeError):
                raise
            _error(f"cannot write the {kind} export to {target}: {error.strerror or error}")
            status = EXIT_FAILURE
            continue
        if show_tree:
            print(f"wrote        {kind} export to {printable(target)}")
    return status


def terminal_style(stream: TextIO) -> Style:
    """Colour and block characters only for a person looking at a terminal."""
    if not _isatty(stream) or os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return Style()
    try:
        utf8 = codecs.lookup(stream.encoding or "ascii").name == "utf-8"
    except LookupError:
        utf8 = False
    return Style(unicode=utf8, colour=True)


class StatusLine:
    """While the scan runs, one line on the terminal says what is being scanned
    and for how long. The scan releases the interpreter lock, so a thread can
    keep it current; nothing is written when the stream is not a terminal."""

    INTERVAL = 0.2

    def __init__(self, stream: TextIO, text: str) -> None:
        self._stream = stream
        self._text = text
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def __enter__(self) -> StatusLine:
        if _isatty(self._stream):
            self._thread = threading.Thread(target=self._run, name="orvalnest-status", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join()
        self._stream.write("\r\x1b[K")
        self._stream.flush()

    def _run(self) -> None:
        started = time.monotonic()
        try:
            width = os.get_terminal_size(self._stream.fileno()).columns
        except OSError:
            width = 0
        width = width if width > 0 else 80  # a pseudo-terminal may not know its size
        while True:
            line = f"{self._text} … {time.monotonic() - started:.0f} s"
            if len(line) >= width:  # a wrapped line could not be rewritten in place
                line = line[: max(width - 2, 1)] + "…"
            try:
                self._stream.write("\r" + line + "\x1b[K")
                self._stream.flush()
            except (OSError, ValueError):
                return
            if self._stop.wait(self.INTERVAL):
                return


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
            lines.append(f"{'failed':<12} {printable(failed_path)}: {printable(reason)}")
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


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _tolerate_unencodable_output() -> None:
    # Under an ASCII or Latin-1 locale a name from the disk may not be
    # encodable; showing it escaped beats dying with UnicodeEncodeError.
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")


def _error(message: str) -> None:
    print(f"{PROG}: {printable(message)}", file=sys.stderr)
