"""What a trash request did, in the words the command line and the browser
both use: one line per path, a move that was not recorded, where the space
went and how to get it back, and what emptying the trash would free."""

from __future__ import annotations

from collections import defaultdict
from collections.abc import Callable, Sequence

from orvalnest._engine import PurgeOutcome, TrashOutcome
from orvalnest._native import AUDIT_LOG_DIR_ENV, format_bytes
from orvalnest.common import PROG
from orvalnest.report.trash_reasons import errno_words, failure_words, refusal_words
from orvalnest.view import printable

VERBS = {
    "trashed": "trashed",
    "would-trash": "would trash",
    "would-fail": "would fail",
    "refused": "failed",
    "failed": "failed",
    "not-attempted": "not done",
    "purged": "purged",
    "would-purge": "would purge",
}
RESTORE_HINT = "undo with the desktop's trash, trash-restore or gio trash --restore"
AUDIT_DIR_HINT = f"nothing was done; choose an audit folder of your own with --audit-dir DIR or ${AUDIT_LOG_DIR_ENV}"


def why_not(outcome: TrashOutcome) -> str | None:
    """Why the path did not go (or would not), in words; None when it did."""
    if outcome.kind == "refused":
        return refusal_words(outcome)
    if outcome.kind in ("failed", "would-fail", "not-attempted"):
        return failure_words(outcome)
    return None


def outcome_line(outcome: TrashOutcome) -> str:
    """One line for one path: what happened to it and, when it did not go, why."""
    line = f"{VERBS.get(outcome.kind, outcome.kind):<12} {printable(outcome.requested)}"
    reason = why_not(outcome)
    return line if reason is None else f"{line}: {printable(reason)}"


def unrecorded(outcome: TrashOutcome | PurgeOutcome) -> str | None:
    """The warning for something that moved but has no line in the audit log; None when it has one."""
    if outcome.kind not in ("trashed", "purged") or outcome.recorded:
        return None
    path = outcome.requested if isinstance(outcome, TrashOutcome) else outcome.original
    why = errno_words(outcome.record_errno) or "the write failed"
    done = "moved to the trash" if outcome.kind == "trashed" else "removed from the trash"
    return f"{done} but NOT recorded in the audit log: {printable(path)} ({why})"


def where_it_went(outcomes: Sequence[TrashOutcome], root: str) -> list[str]:
    """How much went to which trash folder, how to get it back, and that the
    space comes back only when the trash is emptied; nothing when nothing moved."""
    moved: dict[str, list[TrashOutcome]] = defaultdict(list)
    for outcome in outcomes:
        if outcome.kind == "trashed" and outcome.trash_dir is not None:
            moved[outcome.trash_dir].append(outcome)
    lines = []
    for trash_dir, items in moved.items():
        size = sum(item.disk_usage if item.tree_disk_usage is None else item.tree_disk_usage for item in items)
        count = "1 item" if len(items) == 1 else f"{len(items)} items"
        lines.append(f"in the trash {count}, {format_bytes(size)}, in {printable(trash_dir)}")
    if moved:
        lines.append(f"             {RESTORE_HINT}")
        lines.append("             the space comes back when the trash is emptied; for these items:")
        lines.append(f"             {PROG} trash --purge --root {printable(root)}")
    return lines


def would_free(freed: int, kept: int, size_text: Callable[[int], str] = format_bytes) -> str:
    """What emptying the trash would give back after the request, and what hard links elsewhere keep."""
    line = f"{'would free':<12} {size_text(freed)} once the trash is emptied"
    if kept:
        line += f" ({size_text(kept)} stays: files with hard links outside what was picked)"
    return line
