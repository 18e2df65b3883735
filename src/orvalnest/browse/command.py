"""`orvalnest browse [PATH]` (or `orvalnest -i PATH`): its arguments, and the
application run in the terminal."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

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
from orvalnest.view import printable

_EPILOG = f"""\
Keys: arrows or h j k l to move and open, s n c to sort by size, name or
items, a for apparent sizes, / to filter, i for details, Space to mark,
d to trash the marked entries (a dry run shows what the policy allows first),
r to scan the folder on screen again, e to export it as JSON or ncdu,
? for every key, q to quit.

Trash requests follow the rules of '{PROG} trash --root PATH': nothing outside
PATH is touched, and every attempt is recorded in deletions.jsonl in the audit
directory (--audit-dir, else $ORVALNEST_AUDIT_LOG_DIR, else
$XDG_STATE_HOME/orvalnest).

examples:
  {PROG} browse ~/Downloads
  {PROG} -i / -x --exclude '*.iso'"""


def browse_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=f"{PROG} browse",
        description="Browse a folder by size in the terminal, and move what you pick to the trash.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("path", nargs="?", default=".", metavar="PATH", help="folder to scan (default: .)")
    add_walk_options(parser)
    parser.add_argument("--apparent-size", action="store_true", help="show apparent sizes instead of disk usage")
    parser.add_argument("--si", action="store_true", help="sizes in powers of 1000 (kB, MB, GB) instead of 1024")
    parser.add_argument("--audit-dir", metavar="DIR", help="folder of the audit log deletions.jsonl")
    return parser


def run_browse(argv: Sequence[str]) -> int:
    args = browse_parser().parse_args(argv)
    exclude = exclude_patterns(args)
    if exclude is None:
        return EXIT_USAGE
    place = locate(args.path)
    if isinstance(place, str):  # said before the screen is taken over, in the scan's words
        print_error(place)
        return EXIT_FAILURE
    try:
        # Textual is loaded only by those who browse.
        from orvalnest.browse.app import BrowseApp, ScanOptions
    except ImportError as error:
        print(f"{PROG}: browsing needs Textual ({error}); install it with 'pip install textual'", file=sys.stderr)
        return EXIT_FAILURE
    options = ScanOptions(args.path, args.one_file_system, exclude, args.apparent_size, args.threads, args.si)
    app = BrowseApp(options, args.audit_dir if args.audit_dir is not None else default_audit_dir())
    app.run()
    if app.failure is not None:
        print(f"{PROG}: {printable(app.failure)}", file=sys.stderr)
    return app.return_code or 0
