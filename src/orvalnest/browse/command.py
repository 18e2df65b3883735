"""`orvalnest browse [PATH]` (or `orvalnest -i PATH`): its arguments, and the
application run in the terminal."""

from __future__ import annotations

import argparse
import asyncio
import os
import signal
import stat
import sys
from collections.abc import Sequence

from orvalnest._engine import ScanFileError, Tree, open_scan
from orvalnest.common import (
    EXIT_FAILURE,
    EXIT_USAGE,
    PROG,
    add_walk_options,
    default_audit_dir,
    exclude_patterns,
    locate,
    print_error,
)

_EPILOG = f"""\
Keys: arrows or h j k l to move and open, s n c m to sort by size, name,
items or modification time, a for apparent sizes, / to filter, i for details,
Space to mark, d to trash the marked entries (a dry run shows first what
would go, what would not and why, and what emptying the trash would free),
r to scan the folder on screen again, e to export it as JSON or ncdu,
? for every key, q to quit.

-f FILE browses a scan read from a file instead (a saved scan, an ncdu or a
JSON export): nothing is scanned until r, and a mark is refused when what is
on the disk now is not what the scan found. --compare FILE adds a column with
how much each entry grew or shrank since that scan ("new" if it was not
there); g sorts by it, largest change first.

A trash request is confirmed only by a choice made after its question is on
screen: keys typed ahead (a paste, a macro, a burst from a slow link) are
dropped. With -r nothing can be marked or trashed. An export replaces an
existing file only once you say Yes, and never goes through a symbolic link
(the rules of '{PROG} --help', under exports).

Trash requests follow the rules of '{PROG} trash --root PATH': nothing outside
PATH is touched, and every attempt is recorded in deletions.jsonl in the audit
directory (--audit-dir, else $ORVALNEST_AUDIT_LOG_DIR, else
$XDG_STATE_HOME/orvalnest).

examples:
  {PROG} browse ~/Downloads
  {PROG} browse -f home.scan
  {PROG} browse ~ --compare home.scan
  {PROG} -i / -x --exclude '*.iso'"""


def browse_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=f"{PROG} browse",
        description="Browse a folder by size in the terminal, and move what you pick to the trash.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("path", nargs="?", metavar="PATH", help="folder to scan (default: .)")
    parser.add_argument(
        "-f",
        "--file",
        metavar="FILE",
        help="browse a scan read from FILE instead of scanning: a saved scan (--save), an ncdu export or a JSON export",
    )
    parser.add_argument(
        "--compare",
        metavar="FILE",
        help="show how much each entry changed since the scan in FILE (read as -f reads it); g sorts by it",
    )
    add_walk_options(parser)
    parser.add_argument("--apparent-size", action="store_true", help="show apparent sizes instead of disk usage")
    parser.add_argument("--si", action="store_true", help="sizes in powers of 1000 (kB, MB, GB) instead of 1024")
    parser.add_argument("--audit-dir", metavar="DIR", help="folder of the audit log deletions.jsonl")
    parser.add_argument("-r", "--read-only", action="store_true", help="look only: no marking, no trash")
    return parser


def _open(name: str) -> Tree | str:
    """The tree read from the file `name`, or why it could not be, in the words of -f."""
    try:
        return open_scan(name)
    except ScanFileError as error:
        return str(error)
    except OSError as error:
        return f"cannot read '{name}': {error.strerror or error}"


def run_browse(argv: Sequence[str]) -> int:
    args = browse_parser().parse_args(argv)
    exclude = exclude_patterns(args)
    if exclude is None:
        return EXIT_USAGE
    if args.file is not None and args.path is not None:
        print_error("give a PATH to scan or -f FILE to read, not both")
        return EXIT_USAGE
    # Said before the screen is taken over, in the scan's words, where it stays readable.
    opened = [_open(name) if name is not None else None for name in (args.file, args.compare)]
    problem = next((tree for tree in opened if isinstance(tree, str)), None)
    saved, compared = (tree if isinstance(tree, Tree) else None for tree in opened)
    path = args.path if args.path is not None else "."
    if problem is None and saved is None:
        place = locate(path)
        if isinstance(place, str):
            problem = place
        elif not stat.S_ISDIR(place.info.st_mode):
            problem = f"cannot browse '{path}': Not a directory"
    if problem is None and not (sys.stdin.isatty() and sys.stderr.isatty()):
        # Textual reads the keys from standard input and draws on standard error.
        problem = f"browsing needs a terminal on standard input and standard error; '{PROG} PATH' prints a report"
    if problem is not None:
        print_error(problem)
        return EXIT_FAILURE
    try:
        # Textual is loaded only by those who browse.
        from orvalnest.browse.app import BrowseApp, ScanOptions
    except ImportError as error:
        print(f"{PROG}: browsing needs Textual ({error}); install it with 'pip install textual'", file=sys.stderr)
        return EXIT_FAILURE
    if saved is not None:
        path = os.fsdecode(saved.path_bytes)  # what r scans again
    options = ScanOptions(path, args.one_file_system, exclude, args.apparent_size, args.threads, args.si)
    audit_dir = args.audit_dir if args.audit_dir is not None else default_audit_dir()
    app = BrowseApp(options, audit_dir, read_only=args.read_only, opened=saved, compared=compared)

    async def run() -> None:
        # While the loop runs, Ctrl+C as a signal (before the screen is taken,
        # after it is given back) is an event for the app: a KeyboardInterrupt
        # raised inside Textual's tasks would end in a traceback.
        asyncio.get_running_loop().add_signal_handler(signal.SIGINT, app.interrupt)
        await app.run_async()

    asyncio.run(run())
    if app.failure is not None:
        print_error(app.failure)
    return app.return_code or 0
