"""The windows that open over the listing: help, details of an entry, the
trash preview that asks for confirmation, the report of a request, and the
file name of an export."""

from __future__ import annotations

import math
import os
import time

from rich.text import Text
from textual import events
from textual.app import ComposeResult
from textual.binding import Binding
from textual.containers import Horizontal, Vertical, VerticalScroll
from textual.screen import ModalScreen
from textual.widgets import Button, Input, RadioButton, RadioSet, Static

from orvalnest._engine import Entry, TrashOutcome
from orvalnest.browse.export import KIND_NAMES, ExportKind
from orvalnest.browse.session import Mark, Session
from orvalnest.report.freed_space import Freed
from orvalnest.report.output import Output
from orvalnest.report.trash_summary import VERBS, outcome_line, unrecorded, where_it_went, would_free
from orvalnest.view import MARKERS_HELP, printable

KEYS_HELP = [
    ("↑ ↓ k j, PgUp PgDn, Home End", "move; the mouse wheel scrolls, a click selects"),
    ("Enter → l, click again", "open the folder"),
    ("← h Backspace", "go up to the parent folder"),
    ("s  n  c  m", "sort by size, name, items, modification time (again: reverse)"),
    ("g", "sort by the change since the scan given with --compare (largest first)"),
    ("a", "show apparent sizes (as du --apparent-size counts) / disk usage"),
    ("/", "filter this folder by name (Enter keeps it, Esc clears it)"),
    ("i", "details of the entry: both sizes, items, times, link target, issues"),
    ("Space", "mark or unmark for the trash (marks stay across folders)"),
    ("d  Delete", "trash the marked entries (or the one under the cursor): preview first"),
    ("r", "scan this folder again (q or Esc cancels) and update the sizes above it"),
    ("e", "export this folder and what is below it, as shown, to a JSON or ncdu file (asks before replacing one)"),
    ("?", "this help"),
    ("q  Esc  Ctrl+C", "quit"),
]
_TRASH_KEYS = ("Space", "d  Delete")


class TextDialog(ModalScreen[bool]):
    """Some text and a way back: any of Esc, q, Enter or the button closes it."""

    DEFAULT_CSS = """
    TextDialog { align: center middle; }
    TextDialog > Vertical { width: 90%; max-width: 110; height: auto; max-height: 90%;
                            border: round $accent; padding: 0 1; background: $surface; }
    TextDialog VerticalScroll { height: auto; max-height: 100%; }
    TextDialog Horizontal { height: auto; align-horizontal: right; }
    TextDialog Button { min-width: 10; margin-left: 1; }
    """
    BINDINGS = [Binding("escape,q", "answer(False)", "close")]

    def __init__(self, title: str, body: Text) -> None:
        super().__init__()
        self._title = title
        self._body = body

    def compose(self) -> ComposeResult:
        with Vertical():
            yield Static(Text(self._title, style="bold"))
            with VerticalScroll():
                yield Static(self._body, id="body")
            with Horizontal():
                yield from self.buttons()

    def buttons(self) -> ComposeResult:
        yield Button("Close", id="no")

    def on_mount(self) -> None:
        self.query_one("#no", Button).focus()

    def on_button_pressed(self, event: Button.Pressed) -> None:
        self.dismiss(event.button.id == "yes")

    def action_answer(self, yes: bool) -> None:
        self.dismiss(yes)


class ConfirmDialog(TextDialog):
    """A question whose answer is No unless Yes is chosen: Enter on the
    focused No, Esc and n all decline.

    Only a choice made after the question could be read counts: keys typed
    before it was drawn, or within GUARD seconds after (a paste, a macro, a
    burst from a slow link), are dropped by the app, and the Yes button stays
    disabled as long."""

    GUARD = 0.5
    BINDINGS = [Binding("y", "answer(True)", "yes"), Binding("n", "answer(False)", "no")]

    def __init__(self, title: str, body: Text, yes: str = "Yes, trash") -> None:
        super().__init__(title, body)
        self._yes = yes
        self._ready_at = math.inf

    def buttons(self) -> ComposeResult:
        yield Button(self._yes, id="yes", variant="error", disabled=True)
        yield Button("No", id="no", variant="primary")

    def on_mount(self) -> None:
        super().on_mount()
        self.call_after_refresh(self._drawn)

    def _drawn(self) -> None:
        # Key events carry the monotonic time they were read from the terminal.
        self._ready_at = time.monotonic() + self.GUARD
        self.set_timer(self.GUARD, self._enable)

    def _enable(self) -> None:
        self.query_one("#yes", Button).disabled = False

    @property
    def ready(self) -> bool:
        return time.monotonic() >= self._ready_at

    def takes(self, event: events.Key) -> bool:
        return event.time >= self._ready_at


def help_dialog(read_only: bool = False) -> TextDialog:
    body = Text()
    for keys, meaning in KEYS_HELP:
        if read_only and keys in _TRASH_KEYS:
            meaning = "off: read-only (-r)"
        body.append(f"{keys:<30}", style="bold")
        body.append(f" {meaning}\n")
    body.append("\nmarkers: " + MARKERS_HELP + "; * marked for the trash, x its trash failed\n")
    return TextDialog("Keys", body)


def details_dialog(session: Session, entry: Entry) -> TextDialog:
    overlay = session.overlay
    body = Text()

    def line(label: str, value: str) -> None:
        body.append(f"{label:<13}", style="bold")
        body.append(value + "\n")

    line("path", printable(entry.path))
    kind = "folder" if entry.is_dir else "file"
    if entry.is_symlink:
        kind = "symbolic link"
        try:
            line("points to", printable(os.readlink(entry.path_bytes).decode("utf-8", "replace")))
        except OSError as error:
            line("points to", f"(cannot read: {error.strerror})")
    elif entry.is_hardlink:
        kind += ", several hard links (its disk usage is counted once, where first met)"
    line("kind", kind)
    line("category", entry.category)
    bound = "at least " if overlay.incomplete(entry) else ""
    for label, size in [("disk usage", overlay.disk_usage(entry)), ("apparent", overlay.apparent_size(entry))]:
        line(label, f"{bound}{session.size_text(size)} ({size} bytes)")
    line("modified", _moment(entry.mtime))
    if entry.is_dir:
        line("newest below", _moment(overlay.newest_mtime(entry)))
        line("items below", str(overlay.entries_below(entry)))
    mark = session.marks.get(entry)
    if mark is not None:
        line("marked", "for the trash" + (f"; the last try failed: {printable(mark.failure)}" if mark.failure else ""))
    issues = overlay.issues_under(entry)
    line("issues", str(len(issues)) if issues else "none")
    for issue in issues[:50]:
        body.append(f"  {printable(issue.path)}: {printable(issue.message)}\n")
    if len(issues) > 50:
        body.append(f"  … {len(issues) - 50} more\n")
    return TextDialog(printable(entry.name), body)


def _moment(seconds: int) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds))


def preview_dialog(
    session: Session, marks: list[Mark], outcomes: list[TrashOutcome], shares: list[Freed | None], audit_log: str
) -> TextDialog:
    """What a dry run said, path by path, in words, and what emptying the
    trash would free afterwards (a file with links outside the pick frees nothing)."""
    body = Text()
    for mark, outcome, share in zip(marks, outcomes, shares, strict=True):
        path = printable(outcome.requested)
        if share is not None:
            body.append(f"{VERBS['would-trash']:<12}{session.size_text(share.freed):>9}  {path}")
            kept = f"  (hard links outside the pick keep {session.size_text(share.kept)})" if share.kept else ""
            body.append(kept + "\n")
            continue
        # A path the cleaner would take that is not what was marked any more would not go either.
        kind = "would-fail" if outcome.kind == "would-trash" else outcome.kind
        verb, reason = VERBS.get(kind, kind), mark.failure or kind
        if kind == "refused":  # not a failure yet: nothing was tried
            verb, reason = "refused", reason.removeprefix("refused: ")
        body.append(f"{verb:<12}{'':>9}  {path}: {printable(reason)}\n", style="red")
    would_go = [share for share in shares if share is not None]
    body.append(f"\n{len(would_go)} of {len(outcomes)} would go to the trash.\n", style="bold")
    if would_go:
        body.append(would_free(sum(s.freed for s in would_go), sum(s.kept for s in would_go), session.size_text))
        body.append("\n")
    body.append(f"Every attempt is recorded in {printable(audit_log)}.\n")
    if not would_go:
        return TextDialog("Nothing can be trashed", body)
    return ConfirmDialog("Move to the trash?", body)


def report_dialog(
    outcomes: list[TrashOutcome], held: list[Mark], root: str, audit_log: str, interrupted: bool
) -> TextDialog:
    """What a request did, path by path, what was held back from it and why,
    and where the space went."""
    body = Text()
    for outcome in outcomes:
        body.append(outcome_line(outcome) + "\n", style="" if outcome.kind == "trashed" else "red")
    for mark in held:
        body.append(f"{'not moved':<12} {printable(mark.entry.path)}: {printable(mark.failure or '')}\n", style="red")
    for outcome in outcomes:
        warning = unrecorded(outcome)
        if warning is not None:
            body.append(warning + "\n", style="bold red")
    for line in where_it_went(outcomes, root):
        body.append(line + "\n")
    body.append(f"{'audit log':<12} {printable(audit_log)}\n")
    if interrupted:
        body.append("Ctrl+C came while trashing: a started request runs to its end, and this is what it did.\n")
    trashed = sum(outcome.kind == "trashed" for outcome in outcomes)
    failed = len(outcomes) - trashed
    title = (
        f"{trashed} trashed" + (f", {failed} failed" if failed else "") + (f", {len(held)} held back" if held else "")
    )
    return TextDialog(title, body)


def error_dialog(message: str, title: str = "Nothing was trashed") -> TextDialog:
    return TextDialog(title, Text(printable(message)))


class ExportDialog(ModalScreen[tuple[ExportKind, Output] | None]):
    """Asks for a file name and a format. The destination is reserved here, so
    one that cannot be written is refused while the name can still be changed."""

    DEFAULT_CSS = """
    ExportDialog { align: center middle; }
    ExportDialog > Vertical { width: 90%; max-width: 80; height: auto; border: round $accent;
                              padding: 0 1; background: $surface; }
    ExportDialog RadioSet { width: 100%; }
    ExportDialog #error { color: $error; }
    ExportDialog Horizontal { height: auto; align-horizontal: right; }
    ExportDialog Button { min-width: 10; margin-left: 1; }
    """
    BINDINGS = [Binding("escape", "cancel", "cancel")]

    def __init__(self, folder: Entry) -> None:
        super().__init__()
        self._folder = folder

    def compose(self) -> ComposeResult:
        name = (self._folder.name or "root").replace("/", "_")
        with Vertical():
            yield Static(Text(f"Export {printable(self._folder.path)}", style="bold"))
            yield Input(value=f"{name}.json", id="name")
            with RadioSet(id="kind"):
                yield RadioButton("JSON (orvalnest's own, every entry with both sizes)", value=True)
                yield RadioButton("ncdu (open with ncdu -f FILE or gdu -f FILE)")
            yield Static(id="error")
            with Horizontal():
                yield Button("Export", id="yes", variant="primary")
                yield Button("Cancel", id="no")

    def on_mount(self) -> None:
        self.query_one("#name", Input).focus()

    def kind(self) -> ExportKind:
        return "ncdu" if self.query_one(RadioSet).pressed_index == 1 else "json"

    def on_input_submitted(self, _: Input.Submitted) -> None:
        self._export()

    def on_button_pressed(self, event: Button.Pressed) -> None:
        if event.button.id == "yes":
            self._export()
        else:
            self.dismiss(None)

    def action_cancel(self) -> None:
        self.dismiss(None)

    def _export(self) -> None:
        target = os.path.expanduser(self.query_one("#name", Input).value.strip())
        error = self.query_one("#error", Static)
        if not target or target == "-":
            error.update("Give the name of a file.")
            return
        kind = self.kind()
        try:
            output = Output.reserve(target)
        except OSError as failure:
            reason = failure.strerror or str(failure)
            error.update(Text(f"Cannot write the {KIND_NAMES[kind]} export there: {printable(reason)}"))
            return
        if not output.replaces:
            self.dismiss((kind, output))
            return

        def answered(yes: bool | None) -> None:
            if yes:
                self.dismiss((kind, output))
            else:
                output.discard()

        question = Text(f"{printable(target)} exists. Replace it with the {KIND_NAMES[kind]} export?")
        self.app.push_screen(ConfirmDialog("Replace the file?", question, "Yes, replace"), answered)
