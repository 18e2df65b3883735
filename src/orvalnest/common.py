"""What the command-line faces share: the program's name and exit statuses,
the walk and audit options, and the one way an error reaches the user. The
scan, trash and browse commands import it; it imports none of them."""

from __future__ import annotations

import argparse
import os
import stat
import sys
from dataclasses import dataclass

from orvalnest._native import AUDIT_LOG_DIR_ENV
from orvalnest.view import printable

PROG = "orvalnest"
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INCOMPLETE = 3  # a report was made, but some entries could not be read
EXIT_INTERRUPTED = 130  # what shells report for a command ended by Ctrl+C


def count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text}")
    return value


def thread_count(text: str) -> int:
    value = count(text)
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
        help="leave out entries matching the shell pattern: a pattern with '/' matches the path's last "
        "components ('share/doc' leaves out /usr/share/doc), one without matches names; repeatable",
    )
    parser.add_argument(
        "--exclude-from",
        action="append",
        default=[],
        metavar="FILE",
        help="read exclude patterns from FILE, one per line",
    )
    parser.add_argument("--threads", type=thread_count, metavar="N", help=THREADS_HELP)


def exclude_patterns(args: argparse.Namespace) -> tuple[str, ...] | None:
    """--exclude patterns, then those of --exclude-from files, one a line, blank
    lines ignored (as du does); None, with the reason said, when a file cannot be read."""
    patterns = list(args.exclude)
    for name in args.exclude_from:
        try:
            with open(name, encoding=sys.getfilesystemencoding(), errors="surrogateescape") as lines:
                patterns += [line.rstrip("\n") for line in lines if line.strip()]
        except OSError as error:
            print_error(f"cannot read exclude patterns: {error.filename}: {error.strerror}")
            return None
    return tuple(patterns)


def default_audit_dir() -> str:
    from_env = os.environ.get(AUDIT_LOG_DIR_ENV)
    if from_env:
        return from_env
    # A relative XDG_STATE_HOME is invalid and must be ignored.
    state = os.environ.get("XDG_STATE_HOME", "")
    if not os.path.isabs(state):
        state = os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(state, PROG)


def tolerate_unencodable_output() -> None:
    # Under an ASCII or Latin-1 locale a name from the disk may not be
    # encodable; showing it escaped beats dying with UnicodeEncodeError.
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")


def print_error(message: str) -> None:
    print(f"{PROG}: {printable(message)}", file=sys.stderr)


@dataclass(frozen=True)
class Located:
    """A PATH of the command line, found on disk."""

    given: str
    target: str  # what is measured: a link given by name is followed
    label: str | None  # what the report names instead of the scanned path
    info: os.stat_result


def locate(given: str) -> Located | str:
    """The PATH as found, or why it cannot be measured, in du's words."""
    if not given:
        return "invalid zero-length file name"
    try:
        info = os.stat(given)
    except OSError as error:
        # The system's own reason: a file in the way is "Not a directory", an
        # unsearchable folder on the way "Permission denied".
        return f"cannot access '{given}': {error.strerror}"
    if not os.path.islink(given):
        return Located(given, given, None, info)
    # A link given by name is what the user means to measure (as with du PATH/, ncdu, gdu).
    target = os.path.realpath(given)
    shown = os.path.abspath(given) if stat.S_ISDIR(info.st_mode) else given
    return Located(given, target, f"{shown} → {target}", info)
