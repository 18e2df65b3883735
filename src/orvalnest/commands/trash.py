"""`orvalnest trash` and `orvalnest check`: move picked paths to the trash
under the cleaner's path policy, or show what a path would resolve to."""

from __future__ import annotations

import argparse
import os
import signal
import threading
from collections.abc import Callable, Sequence
from types import FrameType

from orvalnest._native import AUDIT_LOG_DIR_ENV, Cleaner, TrashReport
from orvalnest.common import EXIT_FAILURE, PROG, default_audit_dir, print_error
from orvalnest.report.trash_reasons import in_words
from orvalnest.view import printable

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
        print_error(str(error))
        return EXIT_FAILURE
    for line in report_lines(requested, report):
        print(line)
    print(f"audit log    {printable(report.audit_log)}")
    if interrupt.pending:
        print_error("Ctrl+C arrived while trashing; the request had already started and ran to its end")
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
        print_error(str(error))
        return EXIT_FAILURE
    print(printable(resolved))
    return 0


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
