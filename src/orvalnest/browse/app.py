"""The browser's Textual application: a scan screen while the engine walks
the tree in a worker thread, then the listing of one folder at a time."""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import Any

from rich.text import Text
from textual import events
from textual.app import App, ComposeResult
from textual.binding import Binding
from textual.screen import Screen
from textual.widgets import Static

from orvalnest._engine import AuditLogError, ScanProgress, TrashOutcome, Tree, compare, measure, trash_outcomes
from orvalnest._native import Cleaner
from orvalnest.browse import dialogs
from orvalnest.browse.entry_list import EntryList
from orvalnest.browse.export import KIND_NAMES, ExportKind, export_view
from orvalnest.browse.identity import change_since
from orvalnest.browse.rows import crumb, header
from orvalnest.browse.session import Mark, Session, SortKey
from orvalnest.common import EXIT_FAILURE, EXIT_INTERRUPTED
from orvalnest.report.output import Output
from orvalnest.report.trash_summary import AUDIT_DIR_HINT
from orvalnest.view import format_size, printable


@dataclass(frozen=True)
class ScanOptions:
    path: str
    one_filesystem: bool = False
    exclude: Sequence[str] = ()
    apparent: bool = False
    threads: int | None = None
    si: bool = False  # sizes in powers of 1000


class ScanCancelled(Exception):
    """Raised from the progress callback: the engine stops and passes it on."""


class ScanScreen(Screen[Tree | None]):
    """Live counts while the scan runs; q, Esc or Ctrl+C cancel it. The first
    scan hands its result to the app; a rescan is dismissed with it (None when
    cancelled or failed, with the reason of a failure in `error`)."""

    DEFAULT_CSS = "ScanScreen { align: center middle; } ScanScreen Static { width: auto; max-width: 100%; }"
    BINDINGS = [Binding("q,escape,ctrl+c", "cancel", "cancel", priority=True)]

    def __init__(self, options: ScanOptions, *, rescan: bool = False) -> None:
        super().__init__()
        self.options = options
        self.rescan = rescan
        self.error: str | None = None
        self._latest: ScanProgress | None = None
        self._cancel = threading.Event()
        self._started = time.monotonic()

    def compose(self) -> ComposeResult:
        yield Static(id="progress")

    def on_mount(self) -> None:
        self._show()
        self.set_interval(0.1, self._show)
        threading.Thread(target=self._scan, name="orvalnest-scan", daemon=True).start()

    def _scan(self) -> None:
        def progress(report: ScanProgress) -> None:
            if self._cancel.is_set():
                raise ScanCancelled
            self._latest = report

        options = self.options
        try:
            result = measure(
                options.path,
                one_filesystem=options.one_filesystem,
                exclude=options.exclude,
                progress=progress,
                threads=options.threads,
            )
        except BaseException as error:  # noqa: B036  (whatever ended the scan is reported, never lost)
            self.app.call_from_thread(self._ended, None, error)
            return
        self.app.call_from_thread(self._ended, result, None)

    def _ended(self, result: Tree | None, error: BaseException | None) -> None:
        app = self.app
        assert isinstance(app, BrowseApp)
        if self.rescan:
            if error is not None and not isinstance(error, (ScanCancelled, KeyboardInterrupt)):
                self.error = str(error)
            self.dismiss(result)
        elif result is not None:
            app.scanned(result)
        elif isinstance(error, (ScanCancelled, KeyboardInterrupt)):
            app.exit(return_code=EXIT_INTERRUPTED)
        else:
            app.failure = str(error)
            app.exit(return_code=EXIT_FAILURE)

    def _show(self) -> None:
        progress = self._latest
        elapsed = time.monotonic() - self._started
        text = Text(no_wrap=True, overflow="ellipsis")
        text.append("Scanning ", style="bold")
        text.append(printable(self.options.path) + "\n\n")
        if progress is None:
            text.append("starting…\n")
        else:
            size = progress.size if self.options.apparent else progress.disk_usage
            text.append(f"{progress.entries} entries   {format_size(size, self.options.si)}   {elapsed:.1f} s\n")
            text.append("reading " + printable(progress.directory) + "\n")
        text.append("\nq, Esc or Ctrl+C cancel" if not self._cancel.is_set() else "\ncancelling…", style="dim")
        self.query_one("#progress", Static).update(text)

    def action_cancel(self) -> None:
        self._cancel.set()
        self._show()


class BrowserScreen(Screen[None]):
    DEFAULT_CSS = """
    #crumb { height: 1; background: $primary-background; text-style: bold; }
    #columns { height: 1; }
    #status { height: 1; background: $primary-background; }
    #filter { height: 1; padding: 0 1; }
    """
    BINDINGS = [
        Binding("up,k", "move(-1)", show=False),
        Binding("down,j", "move(1)", show=False),
        Binding("pageup", "page(-1)", show=False),
        Binding("pagedown", "page(1)", show=False),
        Binding("home", "go(0)", show=False),
        Binding("end", "go(-1)", show=False),
        Binding("enter,right,l", "open", "open"),
        Binding("left,h,backspace", "up", "up"),
        Binding("s", "sort('size')", "size"),
        Binding("n", "sort('name')", "name"),
        Binding("c", "sort('count')", "items"),
        Binding("m", "sort('mtime')", "modified"),
        Binding("g", "sort('change')", "change"),
        Binding("a", "apparent", "apparent"),
        Binding("i", "details", "details"),
        Binding("space", "mark", "mark"),
        Binding("d,delete", "trash", "trash"),
        Binding("r", "rescan", "rescan"),
        Binding("e", "export", "export"),
        Binding("question_mark", "help", "help"),
        Binding("q,escape", "app.quit", "quit"),
    ]

    def __init__(self, session: Session, audit_dir: str, *, read_only: bool = False) -> None:
        super().__init__()
        self.session = session
        self.audit_dir = audit_dir
        self.read_only = read_only
        self.filtering = False  # the keys typed go to the name filter

    def compose(self) -> ComposeResult:
        yield Static(id="crumb")
        yield Static(id="columns")
        yield EntryList(self.session, id="entries")
        filter_line = Static(id="filter")
        filter_line.display = False
        yield filter_line
        yield Static(id="status")

    @property
    def entries(self) -> EntryList:
        return self.query_one(EntryList)

    def say(self, message: str) -> None:
        # Names are text from the disk: "[b]" in one is a name, not markup.
        self.notify(message, markup=False)

    def on_mount(self) -> None:
        if not self.query(EntryList):
            return  # the app quit while the screen was being put up
        self.entries.focus()
        self.refresh_all()

    def refresh_all(self, select: Any = None) -> None:
        self.entries.reload(select)
        self.refresh_heading()
        self.refresh_status()

    def refresh_heading(self) -> None:
        width = self.size.width or None
        self.query_one("#crumb", Static).update(crumb(self.session, width))
        self.query_one("#columns", Static).update(header(self.session, width))

    def on_resize(self, _: events.Resize) -> None:
        self.refresh_heading()

    def refresh_status(self) -> None:
        session = self.session
        parts = [
            f"{len(session.entries())} listed",
            "apparent size" if session.apparent else "disk usage",
        ]
        # A scan read from a file is not what the disk holds now: say which, and when it was made.
        tree = session.root_tree
        if tree.opened_from is not None:
            name = printable(os.path.basename(tree.opened_from))
            parts.insert(0, f"read from {name}, scanned {_moment(tree.timestamp)}")
        if session.comparison is not None:
            old = session.comparison.old
            name = os.path.basename(old.opened_from) if old.opened_from else old.path
            parts.append(f"change since {printable(name)} of {_moment(old.timestamp)}")
        if self.read_only:
            parts.append("read-only")
        if session.filter:
            parts.append(f"filter {printable(session.filter)!r}")
        if session.marks:
            failed = sum(1 for mark in session.marks.values() if mark.failure)
            marked = f"{len(session.marks)} marked, {session.size_text(session.marked_size())}"
            parts.append(marked + (f" ({failed} failed)" if failed else ""))
        excluded = session.root_tree.excluded
        if len(session.chain) == 1 and excluded:
            parts.append(f"{excluded} excluded")
        parts.append("? help")
        self.query_one("#status", Static).update(Text(" · ".join(parts), no_wrap=True, overflow="ellipsis"))

    # --- moving --------------------------------------------------------

    def action_move(self, delta: int) -> None:
        self.entries.move(delta)

    def action_page(self, pages: int) -> None:
        self.entries.page(pages)

    def action_go(self, index: int) -> None:
        self.entries.go(index if index >= 0 else len(self.session.entries()) - 1)

    def action_open(self) -> None:
        entry = self.entries.current()
        if entry is not None and self.session.enter(entry):
            self.close_filter()
            self.entries.cursor = 0
            self.refresh_all()

    def on_entry_list_opened(self, _: EntryList.Opened) -> None:
        self.action_open()

    def action_up(self) -> None:
        left = self.session.up()
        if left is not None:
            self.close_filter()
            self.refresh_all(select=left)

    def action_sort(self, key: SortKey) -> None:
        if key == "change" and self.session.comparison is None:
            self.notify("g sorts by the change since an older scan: start with --compare FILE.")
            return
        current = self.entries.current()
        self.session.sort_by(key)
        self.refresh_all(select=current)

    def action_apparent(self) -> None:
        current = self.entries.current()
        self.session.toggle_apparent()
        self.refresh_all(select=current)

    # --- the name filter --------------------------------------------------
    # Typed text goes to the filter as each key reaches the app, not through
    # focus: focus moves later than keys arrive, so the rest of a burst such as
    # "/dyn" would reach the listing, and d would ask to trash.

    def filter_key(self, event: events.Key) -> bool:
        """Takes `event` when it opens the filter or is typed into it."""
        if not self.filtering:
            if event.key != "slash":
                return False
            self.filtering = True
            self.show_filter()
            return True
        text = self.session.filter
        if event.key == "escape":
            self.close_filter(clear=True)
        elif event.key == "enter":
            self.close_filter()
        elif event.key == "backspace":
            self.set_filter(text[:-1])
        elif event.key == "ctrl+u":
            self.set_filter("")
        elif event.is_printable and event.character and not event.key.startswith(("alt+", "ctrl+")):
            self.set_filter(text + event.character)
        else:
            self.close_filter()  # any other key ends the typing, then does what it does
            return False
        return True

    def filter_paste(self, text: str) -> bool:
        if not self.filtering:
            return False
        self.set_filter(self.session.filter + text.partition("\n")[0])  # a name is one line
        return True

    def set_filter(self, text: str) -> None:
        self.session.set_filter(text)
        self.entries.cursor = 0
        self.refresh_all()
        self.show_filter()

    def show_filter(self) -> None:
        line = self.query_one("#filter", Static)
        line.display = self.filtering
        text = Text(no_wrap=True, overflow="ellipsis")
        text.append("filter ", style="bold")
        text.append(printable(self.session.filter))
        text.append(" ", style="reverse")  # where the next key goes
        text.append("   Enter keeps it, Esc clears it", style="dim")
        line.update(text)

    def close_filter(self, *, clear: bool = False) -> None:
        if clear and self.session.filter:
            self.set_filter("")
        self.filtering = False
        self.show_filter()

    # --- looking -------------------------------------------------------

    def action_details(self) -> None:
        entry = self.entries.current()
        if entry is not None:
            self.app.push_screen(dialogs.details_dialog(self.session, entry))

    def action_help(self) -> None:
        self.app.push_screen(dialogs.help_dialog(self.read_only))

    # --- scanning again and exporting -----------------------------------

    def action_rescan(self) -> None:
        app = self.app
        assert isinstance(app, BrowseApp)
        if app.trashing:
            # The running request's report must land on the tree it was made from.
            self.notify("A trash request is running: scan again once it has ended.")
            return
        # The exact bytes of the folder, as a text whose escapes give them back.
        screen = ScanScreen(replace(app.options, path=os.fsdecode(self.session.folder.path_bytes)), rescan=True)

        def done(result: Tree | None) -> None:
            if result is not None:
                current = self.entries.current()
                dropped = self.session.rescanned(result)
                self.refresh_all(select=current)
                if dropped:
                    names = ", ".join(printable(mark.entry.name) for mark in dropped[:3])
                    more = f" and {len(dropped) - 3} more" if len(dropped) > 3 else ""
                    self.say(f"Unmarked {names}{more}: not the entry that was marked any more.")
            elif screen.error is not None:
                app.push_screen(dialogs.error_dialog(screen.error, "The folder could not be scanned again"))

        app.push_screen(screen, done)

    def action_export(self) -> None:
        app = self.app
        assert isinstance(app, BrowseApp)

        def chosen(answer: tuple[ExportKind, Output] | None) -> None:
            if answer is None:
                return
            kind, output = answer
            try:
                export_view(self.session, kind, output)
            except OSError as error:
                output.discard()
                message = f"Cannot write the {KIND_NAMES[kind]} export to {output.target}: {error.strerror or error}"
                app.push_screen(dialogs.error_dialog(message, "Nothing was exported"))
                return
            self.say(f"Wrote the {KIND_NAMES[kind]} export to {printable(output.target)}")

        app.push_screen(dialogs.ExportDialog(self.session.folder), chosen)

    # --- trashing ------------------------------------------------------

    def refuse_in_read_only(self) -> bool:
        if self.read_only:
            self.notify("Read-only (-r): nothing is marked or trashed.")
        return self.read_only

    def action_mark(self) -> None:
        entry = self.entries.current()
        if entry is None or self.refuse_in_read_only():
            return
        reason = self.session.toggle_mark(entry)
        if reason is not None:
            self.say(f"{printable(entry.name)} is not marked: {reason}. r scans this folder again.")
            return
        self.entries.move(1)
        self.refresh_status()

    def action_trash(self) -> None:
        if self.refuse_in_read_only():
            return
        session = self.session
        entry = self.entries.current()
        # With nothing marked, d means the entry under the cursor, marked only if confirmed.
        temporary = not session.marks and entry is not None
        if temporary:
            assert entry is not None
            reason = session.toggle_mark(entry)
            if reason is not None:
                self.say(f"{printable(entry.name)} is not trashed: {reason}. r scans this folder again.")
                return
        marks = session.request()
        if not marks:
            return

        def forget() -> None:
            if temporary:
                session.marks.clear()
            self.refresh_all(select=self.entries.current())

        try:
            # The cleaner works inside the exact folder scanned, and is given
            # each entry's exact bytes and the file it named when marked.
            cleaner = Cleaner(os.fsdecode(session.root_tree.path_bytes), self.audit_dir)
            paths = [mark.entry.path_bytes for mark in marks]
            expected = [mark.identity.key for mark in marks]
            outcomes = trash_outcomes(cleaner, paths, dry_run=True, expected=expected, measure=True)
        except (OSError, ValueError) as error:
            forget()
            self.app.push_screen(dialogs.error_dialog(_request_error(error)))
            return
        shares = session.previewed(marks, outcomes)

        def answered(yes: bool | None) -> None:
            if yes:
                self._run_trash(cleaner, marks)
            else:
                forget()

        dialog = dialogs.preview_dialog(session, marks, outcomes, shares, cleaner.audit_log)
        self.refresh_all(select=entry)
        self.app.push_screen(dialog, answered)

    def _run_trash(self, cleaner: Cleaner, marks: list[Mark]) -> None:
        app = self.app
        assert isinstance(app, BrowseApp)
        # Only what the preview showed as going, and still is what it showed,
        # goes: the cleaner holds each path to its inode, and its type and
        # size are looked at here. The others are held back with the reason.
        ready: list[Mark] = []
        held: list[Mark] = []
        for mark in marks:
            if mark.previewed is not None:
                mark.failure = change_since(mark.previewed, mark.entry.path_bytes)
            (ready if mark.previewed is not None and not mark.failure else held).append(mark)
        if not ready:
            self._trash_ended(cleaner, ready, held, [], None)
            return
        app.trashing = True
        self.query_one("#status", Static).update(Text(f"trashing {len(ready)} entries…", style="bold"))
        paths = [mark.entry.path_bytes for mark in ready]
        expected = [mark.previewed.key for mark in ready if mark.previewed is not None]

        def work() -> None:
            # The engine releases the GIL while it moves files, so the screen stays alive.
            try:
                outcomes = trash_outcomes(cleaner, paths, expected=expected, measure=True)
            except BaseException as error:  # noqa: B036  (shown to the user, never lost)
                app.call_from_thread(self._trash_ended, cleaner, ready, held, [], error)
                return
            app.call_from_thread(self._trash_ended, cleaner, ready, held, outcomes, None)

        threading.Thread(target=work, name="orvalnest-trash", daemon=False).start()

    def _trash_ended(
        self,
        cleaner: Cleaner,
        marks: list[Mark],
        held: list[Mark],
        outcomes: list[TrashOutcome],
        error: BaseException | None,
    ) -> None:
        app = self.app
        assert isinstance(app, BrowseApp)
        app.trashing = False
        interrupted, app.interrupted = app.interrupted, False
        # The report goes on screen before anything else can go wrong.
        if error is not None:
            app.push_screen(dialogs.error_dialog(_request_error(error)))
        else:
            root = self.session.root_tree.path
            app.push_screen(dialogs.report_dialog(outcomes, held, root, cleaner.audit_log, interrupted))
            self.session.apply(marks, outcomes)
        self.refresh_all(select=self.entries.current())


def _moment(seconds: int) -> str:
    return time.strftime("%Y-%m-%d %H:%M", time.localtime(seconds))


def _request_error(error: BaseException) -> str:
    """A request that could not start, in words: an audit folder that cannot be used says how to pick another."""
    if isinstance(error, AuditLogError):
        return f"{error}\n{AUDIT_DIR_HINT}"
    return str(error)


class BrowseApp(App[None]):
    TITLE = "orvalnest"
    BINDINGS = [Binding("ctrl+c", "quit", "quit", priority=True, show=False)]

    def __init__(
        self,
        options: ScanOptions,
        audit_dir: str,
        *,
        read_only: bool = False,
        opened: Tree | None = None,
        compared: Tree | None = None,
    ) -> None:
        super().__init__()
        self.options = options
        self.audit_dir = audit_dir
        self.read_only = read_only
        self.opened = opened  # a scan read from a file: shown without scanning
        self.compared = compared  # an older scan the change column is taken against
        self.session: Session | None = None
        self.failure: str | None = None
        self.trashing = False
        self.interrupted = False  # Ctrl+C or q while trashing

    def on_mount(self) -> None:
        if self.opened is not None:
            self.push_screen(Screen())  # what scanned() switches from
            self.scanned(self.opened)
        else:
            self.push_screen(ScanScreen(self.options))

    def scanned(self, tree: Tree) -> None:
        comparison = compare(self.compared, tree) if self.compared is not None else None
        self.session = Session(tree, apparent=self.options.apparent, si=self.options.si, comparison=comparison)
        self.switch_screen(BrowserScreen(self.session, self.audit_dir, read_only=self.read_only))

    async def on_event(self, event: events.Event) -> None:
        # Keys are looked at here, in the order they arrive, before Textual
        # hands them to whatever has focus by the time each is handled.
        if isinstance(event, events.Key):
            screen = self.screen
            if isinstance(screen, dialogs.ConfirmDialog) and not screen.takes(event):
                return  # typed before the question could be read
            if not event.is_forwarded and isinstance(screen, BrowserScreen) and screen.filter_key(event):
                return
        elif isinstance(event, events.Paste) and not event.is_forwarded:
            screen = self.screen
            if isinstance(screen, BrowserScreen) and screen.filter_paste(event.text):
                return
        await super().on_event(event)

    def interrupt(self) -> None:
        """Ctrl+C that comes as a signal: the terminal sends one before the
        screen is taken and after it is given back. It does what the key does,
        and the app ends with the status of an interrupted command."""
        stack = self.screen_stack
        if stack and isinstance(stack[-1], ScanScreen):
            stack[-1].action_cancel()  # the walk must end before the process does
        elif self.trashing:
            self.interrupted = True  # the request runs to its end, as with the key
        else:
            self.exit(return_code=EXIT_INTERRUPTED)

    async def action_quit(self) -> None:
        if isinstance(self.screen, ScanScreen):
            self.screen.action_cancel()
            return
        if self.trashing:
            # A started request runs to its end; its report is shown when it does.
            self.interrupted = True
            self.notify("Trashing: the request runs to its end and its report follows.")
            return
        self.exit()
