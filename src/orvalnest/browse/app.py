"""The browser's Textual application: a scan screen while the engine walks
the tree in a worker thread, then the listing of one folder at a time."""

from __future__ import annotations

import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import Any

from rich.text import Text
from textual.app import App, ComposeResult
from textual.binding import Binding
from textual.screen import Screen
from textual.widgets import Input, Static

from orvalnest import Cleaner, ScanProgress, ScanResult, TrashReport, scan_tree
from orvalnest.browse import dialogs
from orvalnest.browse.entry_list import EntryList
from orvalnest.browse.export import KIND_NAMES, ExportKind, export_view
from orvalnest.browse.rows import crumb, header
from orvalnest.browse.session import Mark, Session
from orvalnest.common import EXIT_FAILURE, EXIT_INTERRUPTED
from orvalnest.report.output import Output
from orvalnest.view import SortKey, format_size, printable


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


class ScanScreen(Screen[ScanResult | None]):
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
            result = scan_tree(
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

    def _ended(self, result: ScanResult | None, error: BaseException | None) -> None:
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


class FilterInput(Input):
    BINDINGS = [Binding("escape", "clear", "clear the filter")]

    def action_clear(self) -> None:
        self.value = ""
        self.screen.focus_next(EntryList)
        self.display = False


class BrowserScreen(Screen[None]):
    DEFAULT_CSS = """
    #crumb { height: 1; background: $primary-background; text-style: bold; }
    #columns { height: 1; }
    #status { height: 1; background: $primary-background; }
    FilterInput { dock: bottom; height: 1; border: none; padding: 0 1; }
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
        Binding("a", "apparent", "apparent"),
        Binding("i", "details", "details"),
        Binding("slash", "filter", "filter"),
        Binding("space", "mark", "mark"),
        Binding("d,delete", "trash", "trash"),
        Binding("r", "rescan", "rescan"),
        Binding("e", "export", "export"),
        Binding("question_mark", "help", "help"),
        Binding("q,escape", "app.quit", "quit"),
    ]

    def __init__(self, session: Session, audit_dir: str) -> None:
        super().__init__()
        self.session = session
        self.audit_dir = audit_dir

    def compose(self) -> ComposeResult:
        yield Static(id="crumb")
        yield Static(id="columns")
        yield EntryList(self.session, id="entries")
        filter_input = FilterInput(placeholder="filter by name", id="filter")
        filter_input.display = False
        yield filter_input
        yield Static(id="status")

    @property
    def entries(self) -> EntryList:
        return self.query_one(EntryList)

    def on_mount(self) -> None:
        self.entries.focus()
        self.refresh_all()

    def refresh_all(self, select: Any = None) -> None:
        session = self.session
        self.entries.reload(select)
        self.query_one("#crumb", Static).update(crumb(session))
        self.query_one("#columns", Static).update(header(session))
        self.refresh_status()

    def refresh_status(self) -> None:
        session = self.session
        parts = [
            f"{len(session.entries())} listed",
            "apparent size" if session.apparent else "disk usage",
        ]
        if session.filter:
            parts.append(f"filter {printable(session.filter)!r}")
        if session.marks:
            failed = sum(1 for mark in session.marks.values() if mark.failure)
            marked = f"{len(session.marks)} marked, {session.size_text(session.marked_size())}"
            parts.append(marked + (f" ({failed} failed)" if failed else ""))
        if len(session.chain) == 1 and session.result.excluded:
            parts.append(f"{session.result.excluded} excluded")
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
        node = self.entries.current()
        if node is not None and self.session.enter(node):
            self.query_one(FilterInput).display = False
            self.entries.cursor = 0
            self.refresh_all()

    def on_entry_list_opened(self, _: EntryList.Opened) -> None:
        self.action_open()

    def action_up(self) -> None:
        left = self.session.up()
        if left is not None:
            self.query_one(FilterInput).display = False
            self.refresh_all(select=left)

    def action_sort(self, key: SortKey) -> None:
        current = self.entries.current()
        self.session.sort_by(key)
        self.refresh_all(select=current)

    def action_apparent(self) -> None:
        current = self.entries.current()
        self.session.toggle_apparent()
        self.refresh_all(select=current)

    def action_filter(self) -> None:
        filter_input = self.query_one(FilterInput)
        filter_input.display = True
        filter_input.focus()

    def on_input_changed(self, event: Input.Changed) -> None:
        self.session.set_filter(event.value)
        self.entries.cursor = 0
        self.refresh_all()

    def on_input_submitted(self, _: Input.Submitted) -> None:
        self.query_one(FilterInput).display = False
        self.entries.focus()

    # --- looking -------------------------------------------------------

    def action_details(self) -> None:
        node = self.entries.current()
        if node is not None:
            self.app.push_screen(dialogs.details_dialog(self.session, node))

    def action_help(self) -> None:
        self.app.push_screen(dialogs.help_dialog())

    # --- scanning again and exporting -----------------------------------

    def action_rescan(self) -> None:
        app = self.app
        assert isinstance(app, BrowseApp)
        if app.trashing:
            # The running request's report must land on the tree it was made from.
            self.notify("A trash request is running: scan again once it has ended.")
            return
        screen = ScanScreen(replace(app.options, path=self.session.folder.path), rescan=True)

        def done(result: ScanResult | None) -> None:
            if result is not None:
                self.session.rescanned(result)
                self.refresh_all(select=self.entries.current())
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
                export_view(self.session, kind, output, app.options.exclude)
            except OSError as error:
                output.discard()
                message = f"Cannot write the {KIND_NAMES[kind]} export to {output.target}: {error.strerror or error}"
                app.push_screen(dialogs.error_dialog(message, "Nothing was exported"))
                return
            self.notify(f"Wrote the {KIND_NAMES[kind]} export to {printable(output.target)}")

        app.push_screen(dialogs.ExportDialog(self.session.folder), chosen)

    # --- trashing ------------------------------------------------------

    def action_mark(self) -> None:
        node = self.entries.current()
        if node is None:
            return
        self.session.toggle_mark(node)
        self.entries.move(1)
        self.refresh_status()

    def action_trash(self) -> None:
        session = self.session
        node = self.entries.current()
        # With nothing marked, d means the entry under the cursor, marked only if confirmed.
        temporary = not session.marks and node is not None
        if temporary:
            assert node is not None
            session.toggle_mark(node)
        marks = session.request()
        if not marks:
            return

        def forget() -> None:
            if temporary:
                session.marks.clear()
                self.refresh_status()

        try:
            cleaner = Cleaner(session.result.root.path, self.audit_dir)
            preview = cleaner.trash([mark.node.path for mark in marks], dry_run=True)
        except (OSError, ValueError) as error:
            forget()
            self.app.push_screen(dialogs.error_dialog(str(error)))
            return

        def answered(yes: bool | None) -> None:
            if yes:
                self._run_trash(cleaner, marks)
            else:
                forget()

        self.app.push_screen(dialogs.preview_dialog(session, marks, preview), answered)

    def _run_trash(self, cleaner: Cleaner, marks: list[Mark]) -> None:
        app = self.app
        assert isinstance(app, BrowseApp)
        app.trashing = True
        self.query_one("#status", Static).update(Text(f"trashing {len(marks)} entries…", style="bold"))
        paths = [mark.node.path for mark in marks]

        def work() -> None:
            # The engine releases the GIL while it moves files, so the screen stays alive.
            try:
                report = cleaner.trash(paths)
            except BaseException as error:  # noqa: B036  (shown to the user, never lost)
                app.call_from_thread(self._trash_ended, None, error)
                return
            app.call_from_thread(self._trash_ended, report, None)

        threading.Thread(target=work, name="orvalnest-trash", daemon=False).start()

    def _trash_ended(self, report: TrashReport | None, error: BaseException | None) -> None:
        app = self.app
        assert isinstance(app, BrowseApp)
        app.trashing = False
        interrupted, app.interrupted = app.interrupted, False
        # The report goes on screen before anything else can go wrong.
        if report is None:
            app.push_screen(dialogs.error_dialog(str(error)))
        else:
            app.push_screen(dialogs.report_dialog(report, interrupted))
            self.session.apply(report)
        self.refresh_all(select=self.entries.current())


class BrowseApp(App[None]):
    TITLE = "orvalnest"
    BINDINGS = [Binding("ctrl+c", "quit", "quit", priority=True, show=False)]

    def __init__(self, options: ScanOptions, audit_dir: str) -> None:
        super().__init__()
        self.options = options
        self.audit_dir = audit_dir
        self.session: Session | None = None
        self.failure: str | None = None
        self.trashing = False
        self.interrupted = False  # Ctrl+C or q while trashing

    def on_mount(self) -> None:
        self.push_screen(ScanScreen(self.options))

    def scanned(self, result: ScanResult) -> None:
        self.session = Session(result, apparent=self.options.apparent, si=self.options.si)
        self.switch_screen(BrowserScreen(self.session, self.audit_dir))

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
