"""The `orvalnest` command: picks the command the arguments name and runs it.
Each command lives in a module of its own and is imported only when run, so
`orvalnest trash` never loads the reports and only `browse` loads Textual."""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    try:
        # Imported here, so that a Ctrl+C while they load ends as any other.
        from orvalnest.common import tolerate_unencodable_output

        tolerate_unencodable_output()
        if args and args[0] == "trash":
            from orvalnest.commands.trash import run_trash

            return run_trash(args[1:])
        if args and args[0] == "check":
            from orvalnest.commands.trash import run_check

            return run_check(args[1:])
        if args and args[0] in ("browse", "-i"):
            from orvalnest.browse.command import run_browse

            return run_browse(args[1:])
        if args and args[0] == "diff":
            from orvalnest.commands.diff import run_diff

            return run_diff(args[1:])
        if args and args[0] == "scan":
            args = args[1:]
        from orvalnest.commands.scan import run_scan

        return run_scan(args)
    except KeyboardInterrupt:
        from orvalnest.common import EXIT_INTERRUPTED, print_error

        print_error("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        from orvalnest.common import EXIT_FAILURE

        # The reader went away (`orvalnest | head`): stop quietly, and keep the
        # interpreter's final flush from reporting the same broken pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
