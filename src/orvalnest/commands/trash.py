"""`orvalnest trash` and `orvalnest check`: move picked paths to the trash
under the cleaner's path policy, empty from the trash what this tool put
there, or show what a path would resolve to."""

from __future__ import annotations

import argparse
import os
import signal
import threading
from collections.abc import Callable, Sequence
from types import FrameType

from orvalnest._engine import AuditLogError, PurgeOutcome, TrashOutcome, measure, purge_trash, trash_outcomes
from orvalnest._native import AUDIT_LOG_DIR_ENV, Cleaner, format_bytes
from orvalnest.common import EXIT_FAILURE, PROG, default_audit_dir, print_error
from orvalnest.report.freed_space import Held, freed, held_by, walk
from orvalnest.report.trash_reasons import failure_words
from orvalnest.report.trash_summary import AUDIT_DIR_HINT, VERBS, outcome_line, unrecorded, where_it_went, would_free
from orvalnest.view import printable

# A path was moved (or purged) but its audit line could not be written: the
# one outcome a script must never mistake for a plain failure.
EXIT_NOT_RECORDED = 3

_TRASH_EPILOG = f"""\
Every path must lie strictly inside --root (symbolic links cannot lead out of
it), must not contain '..', and must not be a system or profile folder, a
trash folder, the audit log or a mount point, under any name it shows up as.
Every attempt, refused ones and dry runs included, is appended to
deletions.jsonl in the audit directory: --audit-dir,
else ${AUDIT_LOG_DIR_ENV}, else $XDG_STATE_HOME/orvalnest
(~/.local/state/orvalnest). That folder and the log must belong to you and
are never reached through someone else's link.

--dry-run moves nothing and checks what each move would need (a folder that
lets the item go, a trash folder on the same disk): "would fail" says why not.
"would free" says what emptying the trash would then give back: a file with
hard links frees nothing until all its names are picked.

Trashing frees no space until the trash is emptied. --purge empties from the
trash exactly what this tool moved there from inside --root (matched by the
audit log and the trash's own records of each item), nothing else in it.

exit status:
  0  every path was trashed (or would be, or was purged)
  1  a path was refused, failed, would fail or was not attempted
  2  the command line is wrong
  {EXIT_NOT_RECORDED}  something moved or was purged but its audit line could not be written

examples:
  {PROG} trash --root ~/Downloads --dry-run ~/Downloads/big.iso
  {PROG} trash --root ~/Downloads ~/Downloads/big.iso ~/Downloads/old
  {PROG} trash --root ~/Downloads --purge --dry-run"""

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
    parser.add_argument(
        "--purge",
        action="store_true",
        help="remove for good, from the trash, what this tool trashed from inside --root (no PATH)",
    )
    parser.add_argument("paths", nargs="*", metavar="PATH", help="files or folders to trash")
    args = parser.parse_args(argv)
    if args.purge == bool(args.paths):
        parser.error("give the PATHs to trash, or --purge without any")
    _refuse_dot_paths(parser, args.paths)
    audit_dir = args.audit_dir if args.audit_dir is not None else default_audit_dir()
    try:
        cleaner = Cleaner(args.root, audit_dir)
        # A request runs to its end once started (each path is moved and then
        # recorded), so Ctrl+C must not drop the report of what it did.
        with _SigintDeferred() as interrupt:
            if args.purge:
                purged = purge_trash(cleaner, dry_run=args.dry_run)
            else:
                requested = [absolute(path) for path in args.paths]
                outcomes = trash_outcomes(cleaner, requested, dry_run=args.dry_run, measure=True)
    except AuditLogError as error:
        print_error(str(error))
        print_error(AUDIT_DIR_HINT)
        return EXIT_FAILURE
    except (OSError, ValueError) as error:
        print_error(str(error))
        return EXIT_FAILURE
    if args.purge:
        status = _report_purge(purged, args.dry_run, cleaner.scan_root)
    else:
        status = _report_trash(outcomes, args.dry_run, cleaner.scan_root)
    print(f"audit log    {printable(cleaner.audit_log)}")
    if interrupt.pending:
        print_error("Ctrl+C arrived while working; the request had already started and ran to its end")
    return status


def _report_trash(outcomes: Sequence[TrashOutcome], dry_run: bool, root: str) -> int:
    for outcome in outcomes:
        print(outcome_line(outcome))
    _say_unrecorded(outcomes)
    if dry_run:
        trashable = [outcome for outcome in outcomes if outcome.kind == "would-trash"]
        if trashable:
            shares = freed([_held(outcome) for outcome in trashable])
            print(would_free(sum(share.freed for share in shares), sum(share.kept for share in shares)))
    for line in where_it_went(outcomes, root):
        print(line)
    return _status(outcomes, "trashed" if not dry_run else "would-trash")


def _held(outcome: TrashOutcome) -> Held:
    """What a path that would be trashed holds. Below a folder, the files with
    several links are found in a scan of it: the engine walks, and each such
    name is looked at once more to learn how many names its file has."""
    if not outcome.is_dir or outcome.resolved_bytes is None:
        return held_by(outcome)
    try:
        folder = measure(os.fsdecode(outcome.resolved_bytes), one_filesystem=True).root
    except OSError:
        return held_by(outcome)  # gone since: what it held is not known, so all of it counts
    return held_by(outcome, walk(folder, lambda entry: entry.children))


def _report_purge(outcomes: Sequence[PurgeOutcome], dry_run: bool, root: str) -> int:
    if not outcomes:
        print(f"nothing this tool trashed from inside {printable(root)} is in the trash")
    total = 0
    for outcome in outcomes:
        verb = VERBS.get(outcome.kind, outcome.kind)
        line = f"{verb:<12} {printable(outcome.original)}"
        if outcome.kind in ("purged", "would-purge"):
            total += outcome.disk_usage
            print(f"{line} ({format_bytes(outcome.disk_usage)}, in {printable(outcome.trash_dir)})")
        else:
            print(f"{line}: {printable(failure_words(outcome))}")
    _say_unrecorded(outcomes)
    if outcomes:
        print(f"{'would free' if dry_run else 'freed':<12} {format_bytes(total)}")
    return _status(outcomes, "would-purge" if dry_run else "purged")


def _say_unrecorded(outcomes: Sequence[TrashOutcome] | Sequence[PurgeOutcome]) -> None:
    for outcome in outcomes:
        warning = unrecorded(outcome)
        if warning is not None:
            print_error(warning)


def _status(outcomes: Sequence[TrashOutcome] | Sequence[PurgeOutcome], success: str) -> int:
    if any(outcome.kind in ("trashed", "purged") and not outcome.recorded for outcome in outcomes):
        return EXIT_NOT_RECORDED
    return 0 if all(outcome.kind == success for outcome in outcomes) else EXIT_FAILURE


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
