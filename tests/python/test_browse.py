"""The terminal browser, driven headless through Textual's pilot, and once in
a real terminal under tmux."""

import asyncio
import ctypes
import json
import os
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import time
from contextlib import ExitStack, contextmanager, nullcontext
from pathlib import Path

import pytest
from helpers import audit_records, make_file
from test_parallel import shared_tmp  # noqa: F401  (a fixture)

pytest.importorskip("textual")

from textual import events  # noqa: E402

from orvalnest import Cleaner, format_bytes, measure, open_scan, save_scan, trash_outcomes  # noqa: E402
from orvalnest.browse.app import BrowseApp, BrowserScreen, ScanOptions  # noqa: E402
from orvalnest.browse.dialogs import ConfirmDialog, TextDialog  # noqa: E402
from orvalnest.browse.rows import crumb, row  # noqa: E402
from orvalnest.browse.session import Session  # noqa: E402
from orvalnest.report.freed_space import walk  # noqa: E402
from orvalnest.view import display_width, format_si  # noqa: E402

# Names a screen must cut by cells and show escaped; empty, so no size changes.
EMPTY = ["\u202eevil.txt", "日本語のファイル名" * 6]
# Modification times, folders' own included, so that the newest below each folder is known.
TIMES = {"big.bin": 1.0e9, "docs/a.txt": 1.5e9, "docs/b.txt": 1.7e9, "docs": 1.1e9, "cache/c/x.bin": 1.6e9}
TIMES |= {"cache/c": 1.2e9, "cache": 1.3e9, "odd\x1b[31mname": 1.4e9, EMPTY[0]: 1.05e9, EMPTY[1]: 1.06e9}


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "root"
    for name, size in [("big.bin", 60000), ("docs/a.txt", 3000), ("docs/b.txt", 9000), ("cache/c/x.bin", 20000)]:
        make_file(root / name, size)
    make_file(root / "odd\x1b[31mname", 10)
    for name in EMPTY:
        make_file(root / name, 0)
    for name, moment in TIMES.items():
        os.utime(root / name, (moment, moment))
    return root


def browse(root, audit_dir, script, size=(100, 30), read_only=False, scan_rights=nullcontext, toasts=False, **options):
    """Runs the app on `root` and `script(app, pilot)` once the listing is up;
    the scan (its thread) runs with `scan_rights`, the script without."""
    trees = {name: options.pop(name) for name in ["opened", "compared"] if name in options}

    async def main():
        app = BrowseApp(ScanOptions(os.fsdecode(root), **options), str(audit_dir), read_only=read_only, **trees)
        with ExitStack() as rights:
            rights.enter_context(scan_rights())
            async with app.run_test(size=size, notifications=toasts) as pilot:
                await until(pilot, lambda: isinstance(app.screen, BrowserScreen) and "listed" in shown(app))
                rights.close()
                await script(app, pilot)

    asyncio.run(main())


async def until(pilot, condition, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, shown(pilot.app)
        await pilot.pause(0.05)


async def burst(pilot, keys):
    """Keys as a paste, a macro or a slow link delivers them: all read before any is handled."""
    for key in keys:
        pilot.app.post_message(events.Key({"/": "slash", "\r": "enter"}.get(key, key), key))
    await pilot.pause(0.3)


async def answer(pilot, key):
    """`key` pressed once the question has been on screen long enough to count."""
    await until(pilot, lambda: isinstance(pilot.app.screen, ConfirmDialog) and pilot.app.screen.ready)
    await pilot.press(key)


async def reported(app, pilot):
    """The report of a trash request, once it is on screen."""
    await until(pilot, lambda: not app.trashing and type(app.screen) is TextDialog)
    return shown(app)


def names(app):
    return [entry.name for entry in app.session.entries()]


def shown(app):
    """The screen as text: what a person would read."""
    return "\n".join(strip.text for strip in app.screen._compositor.render_strips())


def flat(app):
    """The screen with runs of spaces and line ends as one space, borders left
    out: dialogs and notifications wrap lines where they like."""
    return " ".join(shown(app).translate({ord("│"): " ", ord("▌"): " "}).split())


def day(moment, form="%Y-%m-%d"):
    return time.strftime(form, time.localtime(moment))


def on_disk(path):
    """(disk usage, apparent size, entries below) of `path` as du -s -B1, du -sb and find count them."""
    paths = [path, *(Path(folder, name) for folder, dirs, files in os.walk(path) for name in dirs + files)]
    seen, disk, apparent = set(), 0, 0
    for each in paths:
        info = os.lstat(each)
        if (info.st_dev, info.st_ino) not in seen:
            seen.add((info.st_dev, info.st_ino))
            disk, apparent = disk + info.st_blocks * 512, apparent + info.st_size
    return disk, apparent, len(paths) - 1


class _CapHeader(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]


class _CapData(ctypes.Structure):
    _fields_ = [("effective", ctypes.c_uint32), ("permitted", ctypes.c_uint32), ("inheritable", ctypes.c_uint32)]


@contextmanager
def without_file_rights():
    """Root meets file modes as anyone does: its two ways past them leave this
    thread's effective set, and that of every thread it starts meanwhile."""
    if os.geteuid() != 0:
        yield
        return
    libc = ctypes.CDLL(None, use_errno=True)
    header, data = _CapHeader(0x20080522, 0), (_CapData * 2)()
    assert libc.capget(ctypes.byref(header), data) == 0
    saved = data[0].effective
    data[0].effective &= ~0b110  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
    assert libc.capset(ctypes.byref(header), data) == 0
    try:
        yield
    finally:
        data[0].effective = saved
        assert libc.capset(ctypes.byref(header), data) == 0


def test_navigation_sorting_details_and_filter(tree, tmp_path):
    hole = tree / "cache" / "c" / "hole"  # 1 MB apparent, nothing on disk: the two sizes sort apart
    hole.touch()
    os.truncate(hole, 1 << 20)
    for path in [hole, hole.parent]:
        os.utime(path, (TIMES["cache/c"],) * 2)

    async def script(app, pilot):
        assert names(app) == ["big.bin", "cache", "docs", "odd\x1b[31mname", *EMPTY]  # the tree's own order
        assert app.session.root_tree.children_reads == 1  # the folder on screen is all that is read
        await pilot.press("j", "j", "enter")
        assert names(app) == ["b.txt", "a.txt"]
        await pilot.press("n")
        assert names(app) == ["a.txt", "b.txt"]
        await pilot.press("n")
        assert names(app) == ["b.txt", "a.txt"]
        await pilot.press("h", "i")  # on docs, kept under the cursor
        disk, apparent, _ = on_disk(tree / "docs")
        for line in [f"disk usage {format_bytes(disk)} ({disk} bytes)", f"apparent {format_bytes(apparent)}"]:
            assert line in flat(app)
        for line in [f"modified {day(TIMES['docs'], '%Y-%m-%d %H:%M:%S')}", "items below 2", "issues none"]:
            assert line in flat(app)
        assert f"newest below {day(TIMES['docs/b.txt'], '%Y-%m-%d %H:%M:%S')}" in flat(app)
        await pilot.press("escape", "c")  # items below, most first; ties by name
        assert names(app)[:2] == ["cache", "docs"]
        await pilot.press("m")  # newest at or below first
        assert names(app) == ["docs", "cache", "odd\x1b[31mname", *EMPTY[::-1], "big.bin"]
        assert f"{day(TIMES['docs/b.txt'])} directory  docs/" in shown(app)
        await pilot.press("m")
        assert names(app)[0] == "big.bin"
        await pilot.press("a")  # du's apparent size: every inode once, folders' own sizes too
        assert app.session.apparent and app.session.size_of(app.session.root) == on_disk(tree)[1]
        await pilot.press("s")
        assert names(app)[:3] == ["cache", "big.bin", "docs"]
        await burst(pilot, "/AC\rj")  # case-blind; Enter keeps the filter and gives the keys back
        assert names(app) == ["cache"] and app.session.filter == "AC"
        await pilot.press("slash", "escape")
        assert len(names(app)) == 6
        text = shown(app)
        assert "odd\\x1b[31mname" in text and "\\u202eevil.txt" in text and "\x1b" not in text
        rows = [line for line in text.splitlines() if "%" in line]
        assert len(rows) == 6 and len({line.index("%") for line in rows}) == 1  # the name comes last
        assert max(map(display_width, rows)) == 100  # the long name cut by cells to the screen

    browse(tree, tmp_path / "audit", script)


def test_markers_and_lower_bounds_come_from_what_could_not_be_read(shared_tmp, tmp_path):  # noqa: F811
    make_file(shared_tmp / "open" / "file", 5000)
    make_file(shared_tmp / "locked" / "inner", 70000)
    (shared_tmp / "locked").chmod(0o300)  # not readable, yet movable by its owner (a moved folder needs w)

    async def script(app, pilot):
        session = app.session
        assert f"{shared_tmp}  at least {format_si(session.size_of(session.root))}  " in shown(app)
        assert [line[:2] + line.rstrip()[-7:] for line in shown(app).splitlines()[2:4]] == ["    open/", " !locked/"]
        await pilot.press("j", "i")
        assert "issues 1" in flat(app) and f"{shared_tmp}/locked: Permission denied (os error 13)" in flat(app)
        await pilot.press("escape", "k", "enter")  # a folder beside it is whole
        assert f"{shared_tmp}/open  {format_si(on_disk(shared_tmp / 'open')[0])}  " in shown(app)
        with without_file_rights():  # moved as anyone moves it
            await pilot.press("h", "j", "d")  # what could not be read goes to the trash: the total is whole again
            await answer(pilot, "y")
            await reported(app, pilot)
        await pilot.press("escape")
        assert f"{shared_tmp}  {format_si(on_disk(shared_tmp)[0])}  " in shown(app)
        assert session.overlay.issues_under(session.root) == []  # what it said of the folder went with it

    browse(shared_tmp, tmp_path / "audit", script, scan_rights=without_file_rights, si=True)


@pytest.mark.skipif(not os.path.ismount("/dev/pts"), reason="needs /dev/pts mounted")
def test_a_folder_left_out_on_purpose_is_marked_and_its_total_a_lower_bound():
    session = Session(measure("/dev", exclude=["/dev/shm/*"]))  # devpts is not walked
    pts = next(entry for entry in session.root.children if entry.name == "pts")
    assert row(session, pts, 0).plain[:2] == " >" and crumb(session).plain.startswith("/dev  at least ")


def test_trash_previews_confirms_says_where_the_space_went_and_shrinks_every_ancestor(tree, tmp_path, isolated_home):
    audit = tmp_path / "audit"

    async def script(app, pilot):
        session = app.session
        await pilot.press("space")  # big.bin
        await pilot.press("enter")  # cache
        await pilot.press("enter", "space")  # cache/c/x.bin
        await pilot.press("h", "h", "j", "space")  # docs
        await pilot.press("k", "enter", "space")  # docs/b.txt: inside a marked folder, counted once
        assert len(session.marks) == 4 and len(session.request()) == 3
        assert session.marked_size() == sum(session.size_of(mark.entry) for mark in session.request())
        assert f"4 marked, {format_bytes(session.marked_size())}" in shown(app)

        await burst(pilot, "dy\r")  # typed ahead of the question: none of it answers
        assert "3 of 3 would go to the trash" in flat(app)
        for name in ["big.bin", "cache/c/x.bin", "docs"]:
            assert f"would trash {format_bytes(on_disk(tree / name)[0])} {tree / name}" in flat(app)
        freed = sum(on_disk(tree / name)[0] for name in ["big.bin", "cache/c/x.bin", "docs"])
        assert f"would free {format_bytes(freed)} once the trash is emptied" in flat(app)
        await answer(pilot, "enter")  # No is the default
        assert [r["outcome"] for r in audit_records(audit)] == ["would-trash"] * 3
        assert (tree / "big.bin").exists()

        x_bin = on_disk(tree / "cache" / "c" / "x.bin")
        (tree / "cache" / "c" / "x.bin").unlink()  # gone behind our back: refused, stays marked
        moved = on_disk(tree / "big.bin")[0] + on_disk(tree / "docs")[0]
        await pilot.press("d")
        assert f"{tree}/cache/c/x.bin: no such file or directory" in flat(app) and "2 of 3" in flat(app)
        await answer(pilot, "y")
        text = " ".join((await reported(app, pilot)).replace("│", " ").split())
        assert "2 trashed, 1 held back" in text
        assert f"trashed {tree}/big.bin trashed {tree}/docs not moved {tree}/cache/c/x.bin: no such file" in text
        assert f"in the trash 2 items, {format_bytes(moved)}, in {isolated_home}/.local/share/Trash" in text
        assert "the space comes back when the trash is emptied" in text
        assert f"orvalnest trash --purge --root {tree} audit log {audit}/deletions.jsonl" in text
        await pilot.press("escape")

        assert not (tree / "big.bin").exists() and not (tree / "docs").exists()
        (left,) = session.marks.values()
        assert left.entry.name == "x.bin" and left.failure == "no such file or directory"
        # x.bin, gone behind the browser's back, is still listed; what went through the browser is not.
        disk, apparent, entries = (now + then for now, then in zip(on_disk(tree), x_bin[:2] + (1,), strict=True))
        root = session.root
        assert (session.size_of(root), session.size_of(root, True), session.overlay.entries_below(root)) == (
            disk,
            apparent,
            entries,
        )
        await pilot.press("h")
        assert names(app) == ["cache", "odd\x1b[31mname", *EMPTY]

    browse(tree, audit, script)


def test_sizes_and_times_after_trashes_and_rescans_inside_one_another(tmp_path):
    root = tmp_path / "root"
    for name, size in [("p/q/r/f1", 5000), ("p/q/r/f2", 7000), ("p/q/g", 3000), ("p/h", 11000), ("k", 13000)]:
        make_file(root / name, size)
    make_file(root / "p" / "q" / "w" / "z", 2000)
    for folder, _, files in os.walk(root, topdown=False):
        for name in [*files, "."]:
            newest = 2.0e9 if folder.endswith("/r") and name != "." else 1.0e9
            os.utime(os.path.join(folder, name), (newest, newest))
    session = Session(measure(root))
    overlay = session.overlay
    cleaner = Cleaner(str(root), str(tmp_path / "audit"))

    def entry(relative):
        found = session.root
        for name in Path(relative).parts:
            found = next(child for child in overlay.children(found) if child.name == name)
        return found

    def trash(*relatives):
        for relative in relatives:
            assert session.toggle_mark(entry(relative)) is None
        marks = session.request()  # a mark inside a marked folder goes with it
        outcomes = trash_outcomes(cleaner, [mark.entry.path_bytes for mark in marks])
        assert [outcome.kind for outcome in outcomes] == ["trashed"] * len(marks) == ["trashed"]
        session.apply(marks, outcomes)

    def rescan(relative):
        parts = Path(relative).parts
        session.chain = [session.root, *(entry(Path(*parts[:end])) for end in range(1, len(parts) + 1))]
        session.rescanned(measure(root / relative))

    def sizes_match_the_disk():
        for folder, _, _ in os.walk(root):
            listed = entry(os.path.relpath(folder, root)) if folder != str(root) else session.root
            shown = (overlay.disk_usage(listed), overlay.apparent_size(listed), overlay.entries_below(listed))
            disk, _, entries = on_disk(Path(folder))
            assert shown == on_disk(Path(folder)), folder
            assert f"{format_bytes(disk):>9} " in row(session, listed, 0).plain
            assert f" {entries:>8} {day(overlay.newest_mtime(listed))} " in row(session, listed, 0).plain
        assert not session.marks

    trash("p/q/g")
    assert overlay.newest_mtime(session.root) == 2.0e9  # r's files, still there
    trash("p/q/r")  # a folder
    sizes_match_the_disk()
    assert overlay.newest_mtime(session.root) == 1.0e9  # what went no longer makes the folders above newer
    assert day(1.0e9) in row(session, entry("p"), 0).plain
    trash("p/q/w", "p/q/w/z")  # a folder, and a file inside it
    sizes_match_the_disk()
    make_file(root / "p" / "q" / "new", 17000)
    (root / "p" / "h").unlink()
    rescan("p/q")  # inside a folder that lost entries, one of them behind the browser's back
    rescan("p")
    sizes_match_the_disk()
    make_file(root / "p" / "q" / "later", 1000)
    rescan("p/q")  # again: the newest scan stands in for the first
    session.chain = [session.root, entry("p"), entry("p/q")]
    trash("p/q/new")  # inside the rescanned folder
    sizes_match_the_disk()
    trash("p", "p/q")  # then its parent, a folder inside it marked too
    sizes_match_the_disk()
    assert session.chain == [session.root] and [e.name for e in overlay.children(session.root)] == ["k"]


def test_exact_bytes_from_the_listing_to_the_cleaner_the_rescan_and_the_export(tmp_path, monkeypatch, isolated_home):
    root = os.fsencode(tmp_path) + b"/m\xfcsic"  # the cleaner is built on these bytes, not on their lossy text
    os.makedirs(root + b"/sub\xff")
    for name, size in [(b"report-\xe9t\xe9.pdf", 2_000_000), ("report-\ufffdt\ufffd.pdf".encode(), 4000)]:
        with open(root + b"/" + name, "wb") as file:
            file.write(b"x" * size)
    os.symlink(b"report-\xe9t\xe9.pdf", root + b"/link")
    monkeypatch.chdir(tmp_path)
    audit = tmp_path / "audit"

    async def script(app, pilot):
        assert names(app) == ["report-\ufffdt\ufffd.pdf", "report-\ufffdt\ufffd.pdf", "sub\ufffd", "link"]
        app.screen.entries.go(3)
        await pilot.press("i")  # read through the link's exact path
        assert "points to report-\ufffdt\ufffd.pdf" in flat(app)
        await pilot.press("escape")
        app.screen.entries.go(0)
        await pilot.press("d")  # the first, 2 MB
        assert "would trash    1.9 MB" in shown(app)
        await answer(pilot, "y")
        await reported(app, pilot)
        await pilot.press("escape", "j", "enter")  # into sub\xff, where a file appears
        with open(root + b"/sub\xff/new", "wb") as file:
            file.write(b"y" * 50000)
        await pilot.press("r")
        await until(pilot, lambda: isinstance(app.screen, BrowserScreen) and names(app) == ["new"])
        await pilot.press("h", "e", "ctrl+a", "ctrl+k", *"all.json", "enter")  # as shown: the trashed file left out
        await until(pilot, lambda: (tmp_path / "all.json").exists())

    browse(root, audit, script)
    assert sorted(os.listdir(root)) == [b"link", "report-\ufffdt\ufffd.pdf".encode(), b"sub\xff"]
    (record,) = [record for record in audit_records(audit) if record["outcome"] == "trashed"]
    assert record["resolved_raw"].endswith("/m%FCsic/report-%E9t%E9.pdf")
    assert os.listdir(isolated_home / ".local/share/Trash/files") == ["report-\udce9t\udce9.pdf"]
    exported = json.loads((tmp_path / "all.json").read_text())["root"]
    sub = next(child for child in exported["children"] if child["name"] == "sub\ufffd")
    assert exported["path_raw"].endswith("/m%FCsic") and (exported["size"], sub["size"]) == (54000, 50000)
    assert sub["name_raw"] == "sub%FF"


def replace_by_a_folder(path):
    make_file(path.with_name("new") / "video.bin", 0)  # made first: the file's inode is not free to reuse
    os.truncate(path.with_name("new") / "video.bin", 50 << 20)
    path.unlink()
    path.with_name("new").rename(path)


def grow(path):
    os.truncate(path, 50 << 20)


def replace_by_a_file_of_its_size(path):
    make_file(path.with_name("other"), 4000)
    os.replace(path.with_name("other"), path)


@pytest.mark.parametrize(
    "keys_before, change, keys_after, says",
    [
        ("", replace_by_a_folder, "space", "notes[b].txt is not marked: it is a folder now, not what the scan found"),
        ("space", replace_by_a_folder, "r", "Unmarked notes[b].txt: not the entry that was marked any more"),
        ("space", replace_by_a_folder, "d", "refused notes[b].txt: it is not the entry that was shown"),
        ("space d", replace_by_a_folder, "y", "not moved notes[b].txt: it is a folder now"),
        ("space d", grow, "y", "not moved notes[b].txt: its size changed after the preview (3.9 KB, now 50.0 MB)"),
        ("space d", replace_by_a_file_of_its_size, "y", "failed notes[b].txt: refused: it is not the entry"),
    ],
)
def test_what_was_shown_is_what_moves(tree, tmp_path, keys_before, change, keys_after, says):
    notes = tree / "notes[b].txt"  # "[b]" is a name, not markup, wherever it is shown
    make_file(notes, 4000)
    audit = tmp_path / "audit"

    async def script(app, pilot):
        app.screen.entries.go(names(app).index(notes.name))
        for key in keys_before.split():
            await (answer(pilot, key) if key == "y" else pilot.press(key))
        change(notes)
        await (answer(pilot, keys_after) if keys_after == "y" else pilot.press(keys_after))
        await until(pilot, lambda: says in flat(app).replace(f"{tree}/", ""))

    browse(tree, audit, script, size=(160, 40), toasts=True)
    records = audit_records(audit) if audit.exists() else []
    assert notes.exists() and "trashed" not in [record["outcome"] for record in records]


@pytest.mark.parametrize(
    "locked, previewed, said",
    [
        ("before the preview", "would fail ro/a.txt: the folder it", "not moved ro/a.txt: the folder it is in does"),
        ("after it", "2 of 2 would go", "failed ro/a.txt: permission denied"),
    ],
)
def test_what_will_not_move_is_said_in_words_before_and_after(tree, tmp_path, locked, previewed, said):
    make_file(tree / "ro" / "a.txt", 100)

    async def script(app, pilot):
        await pilot.press("space")  # big.bin
        app.screen.entries.go(names(app).index("ro"))
        await pilot.press("enter", "space")
        with without_file_rights():  # the preview's, and the request's thread started meanwhile
            if locked == "before the preview":
                (tree / "ro").chmod(0o555)
            await pilot.press("d")
            assert previewed in flat(app).replace(f"{tree}/", "")
            (tree / "ro").chmod(0o555)
            await answer(pilot, "y")
            text = " ".join((await reported(app, pilot)).replace(f"{tree}/", "").replace("│", " ").split())
        assert "1 trashed" in text and said in text
        await pilot.press("escape", "i")  # and the reason stays with the mark
        assert f"the last try failed: {said.partition(': ')[2]}" in flat(app)
        assert "Error during" not in text + flat(app) and "os error" not in text + flat(app)

    try:
        browse(tree, tmp_path / "audit", script, size=(160, 40))
    finally:
        (tree / "ro").chmod(0o755)
    assert not (tree / "big.bin").exists() and (tree / "ro" / "a.txt").exists()


@contextmanager
def full_disk_past(size):
    """No file may grow past `size` bytes, as on a full disk, while the block
    runs (the signal that would end the process for it is ignored)."""
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    limits = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, limits[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limits)
        signal.signal(signal.SIGXFSZ, handler)


@pytest.mark.parametrize("trouble", ["a log that is a link", "a full disk"])
def test_an_audit_log_that_cannot_be_written_is_said(tree, tmp_path, trouble):
    audit = tmp_path / "audit"
    audit.mkdir()
    if trouble == "a log that is a link":
        (audit / "deletions.jsonl").symlink_to(tmp_path / "elsewhere")
    else:
        (audit / "deletions.jsonl").write_bytes(b"{}\n" * 1000)  # the trash's info file stays well below it

    async def script(app, pilot):
        await pilot.press("d")
        if trouble == "a log that is a link":
            assert "--audit-dir DIR or $ORVALNEST_AUDIT_LOG_DIR" in flat(app) and "Nothing was trashed" in flat(app)
            return
        with full_disk_past((audit / "deletions.jsonl").stat().st_size):
            await answer(pilot, "y")
            text = " ".join((await reported(app, pilot)).replace("│", " ").split())
        assert f"moved to the trash but NOT recorded in the audit log: {tree}/big.bin (file too large)" in text

    browse(tree, audit, script, size=(160, 40))
    assert (tree / "big.bin").exists() == (trouble == "a log that is a link")


def test_a_hard_link_frees_nothing_until_all_its_names_go(tree, tmp_path):
    os.link(tree / "big.bin", tree / "docs" / "twin")
    os.symlink("../big.bin", tree / "docs" / "link")

    async def script(app, pilot):
        app.screen.entries.go(names(app).index("big.bin"))
        await pilot.press("space")
        app.screen.entries.go(names(app).index("docs"))
        await pilot.press("enter")
        markers = {line.rstrip().rpartition(" ")[2]: line[:2] for line in shown(app).splitlines()[2:6]}
        assert (markers["twin"], markers["link"], markers["a.txt"]) == (" H", " @", "  ")
        app.screen.entries.go(names(app).index("link"))
        await pilot.press("i")
        assert "points to ../big.bin" in flat(app)
        await pilot.press("escape")
        app.screen.entries.go(names(app).index("twin"))
        await pilot.press("space", "d")  # both names of the file: all of it goes
        assert f"would free {format_bytes(on_disk(tree / 'big.bin')[0] * 2)}" not in flat(app)
        assert f"would free {format_bytes(on_disk(tree / 'big.bin')[0])} once the trash is emptied" in flat(app)
        await answer(pilot, "n")
        await pilot.press("h")
        app.session.marks.clear()
        await pilot.press("space", "d")  # only the twin's folder: the file stays through big.bin
        kept = format_bytes(on_disk(tree / "big.bin")[0])
        assert f"(hard links outside the pick keep {kept})" in flat(app)
        assert f"would free {format_bytes(on_disk(tree / 'docs')[0] - on_disk(tree / 'big.bin')[0])}" in flat(app)

    browse(tree, tmp_path / "audit", script, size=(160, 40))


@pytest.mark.parametrize("picked", ["a/one", "a", "b/two", "b"])
def test_when_a_name_of_a_file_goes_its_blocks_count_at_a_name_left(tmp_path, picked):
    root = tmp_path / "root"
    make_file(root / "a" / "one", 90000)
    make_file(root / "c", 1000)
    (root / "b").mkdir()
    os.link(root / "a" / "one", root / "b" / "two")
    session = Session(measure(root))
    overlay, cleaner = session.overlay, Cleaner(str(root), str(tmp_path / "audit"))
    entries = {
        os.path.relpath(os.fsdecode(entry.path_bytes), root): entry for entry in walk(session.root, overlay.children)
    }
    assert session.toggle_mark(entries[picked]) is None
    marks = session.request()
    paths = [mark.entry.path_bytes for mark in marks]
    session.previewed(marks, trash_outcomes(cleaner, paths, dry_run=True, measure=True))
    session.apply(marks, trash_outcomes(cleaner, paths, measure=True))
    assert not (root / picked).exists()
    for relative in [".", "a", "b", "a/one", "b/two"]:
        if (root / relative).exists():  # du of each, as a new scan would count it
            listed = entries[relative] if relative != "." else session.root
            assert (overlay.disk_usage(listed), overlay.apparent_size(listed)) == on_disk(root / relative)[:2]


@pytest.mark.parametrize(
    "columns, keys, header",
    [(40, "", "size↓ name"), (60, "", "size↓ items category name"), (40, "m", "size modified↓ name")],
)
def test_narrow_screens_keep_the_names_and_read_only_trashes_nothing(tree, tmp_path, columns, keys, header):
    async def script(app, pilot):
        await pilot.press(*keys)
        lines = shown(app).splitlines()  # the bar and the share give way first, the sorted column never
        start = lines[1].index("name")
        assert lines[1].split() == header.split() and "read-only" in lines[-1]
        assert [line[start:].rstrip() for line in lines[2:5]] == (
            ["docs/", "cache/", "odd\\x1b[31mname"] if keys else ["big.bin", "cache/", "docs/"]
        )
        await pilot.press("space", "d", "delete", "question_mark")
        assert not app.session.marks and " ".join(shown(app).split()).count("off: read-only (-r)") == 2

    browse(tree, tmp_path / "audit", script, size=(columns, 40), read_only=True)
    assert not (tmp_path / "audit").exists() and (tree / "big.bin").exists()


def change_column(app):
    """Name -> the change column, of the first three rows."""
    lines = shown(app).splitlines()
    start, end = lines[1].index("category") + 11, lines[1].index("name")
    return {line[end:].rstrip(): line[start:end].strip() for line in lines[2:5] if line[end:].strip()}


@pytest.mark.parametrize("how", ["-f", "--compare"])
def test_a_saved_scan_browsed_and_compared_with(tree, tmp_path, how):
    saved = tmp_path / "then.scan"
    save_scan(measure(tree), saved)
    old = open_scan(saved)
    grown, added = tree / "docs" / "a.txt", tree / "cache" / "new.bin"
    make_file(grown, 203000)  # 200,000 bytes more on disk
    make_file(added, 5000)
    audit = tmp_path / "audit"

    async def script(app, pilot):
        text = shown(app)
        if how == "-f":  # the file's tree, as it was then; said so
            assert f"read from then.scan, scanned {day(old.timestamp, '%Y-%m-%d %H:%M')}" in text
            await pilot.press("j", "j", "enter")
            app.screen.entries.go(names(app).index("a.txt"))
            await pilot.press("space")  # not the file the scan found
            assert "a.txt is not marked: its size changed since the scan (2.9 KB, now 198.2 KB)" in flat(app)
            await pilot.press("k", "d")
            await until(pilot, lambda: isinstance(app.screen, ConfirmDialog))  # a dry run first, as for a live scan
            assert f"would trash {format_bytes(on_disk(grown.parent / 'b.txt')[0])} {grown.parent}/b.txt" in flat(app)
            await answer(pilot, "y")
            assert "1 trashed" in await reported(app, pilot)
            return
        assert f"change since then.scan of {day(old.timestamp, '%Y-%m-%d %H:%M')}" in text
        grew = on_disk(tree / "docs")[0] - next(e for e in old.root.children if e.name == "docs").disk_usage
        assert change_column(app) == {"big.bin": "=", "cache/": f"+{format_bytes(on_disk(added)[0])}"} | {
            "docs/": f"+{format_bytes(grew)}"
        }
        await pilot.press("g")  # largest change first
        assert names(app)[:3] == ["docs", "cache", "big.bin"]
        await pilot.press("j", "enter")
        assert change_column(app) == {"new.bin": "new", "c/": "="}

    browse(tree, audit, script, size=(120, 30), toasts=True, **{"opened" if how == "-f" else "compared": old})
    assert not (tree / "docs" / "b.txt").exists() == (how == "-f")


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
def test_in_a_real_terminal(tree, tmp_path):
    tmux = ["tmux", "-f", "/dev/null", "-L", f"orvalnest-test-{os.getpid()}"]
    env = {k: v for k, v in os.environ.items() if k != "TMUX"}  # a tmux of its own even when run inside one
    env["SHELL"] = "/bin/sh"  # tmux falls back to the account's shell, which is nologin for nobody
    command = shlex.join([sys.executable, "-m", "orvalnest", "-i", str(tree), "--audit-dir", str(tmp_path / "audit")])
    exit_file = tmp_path / "exit"
    shell = f"{command}; echo $? > {shlex.quote(str(exit_file))}; sleep 30"
    subprocess.run([*tmux, "new-session", "-d", "-x", "80", "-y", "24", shell], env=env, check=True)

    def wait_for(done):
        deadline = time.monotonic() + 30
        while not done((shown := subprocess.run([*tmux, "capture-pane", "-p"], capture_output=True, text=True)).stdout):
            assert time.monotonic() < deadline, shown.stdout + shown.stderr
            time.sleep(0.1)
        return shown.stdout

    def send(*keys):  # each argument one write to the terminal, as a paste or a slow link delivers it
        subprocess.run([*tmux, "send-keys", *keys], check=True)

    try:
        first = wait_for(lambda screen: "? help" in screen)
        assert str(tree) in first and "big.bin" in first and "odd\\x1b[31mname" in first
        send("/dyn")  # d and y of a filter typed ahead must not trash the entry under the cursor
        wait_for(lambda screen: "filter dyn" in screen and "0 listed" in screen)
        send("Escape")
        wait_for(lambda screen: "filter" not in screen)
        send("j")
        send("Enter")
        wait_for(lambda screen: f"{tree}/cache " in screen)
        send("/hide")  # h went up a folder and i opened details
        wait_for(lambda screen: "filter hide" in screen and f"{tree}/cache " in screen)
        send("Escape")
        wait_for(lambda screen: "filter" not in screen)
        send("dy")  # a question and its answer in one write: the answer came too early
        wait_for(lambda screen: "Move to the trash?" in screen)
        time.sleep(1)
        assert "Move to the trash?" in wait_for(lambda screen: "would trash" in screen)
        send("n")
        wait_for(lambda screen: "Move to the trash?" not in screen)
        send("q")
        wait_for(lambda _: exit_file.exists() and exit_file.read_text())
        assert exit_file.read_text().strip() == "0"
    finally:
        subprocess.run([*tmux, "kill-server"], capture_output=True)
    assert [record["outcome"] for record in audit_records(tmp_path / "audit")] == ["would-trash"]
    assert (tree / "big.bin").exists() and (tree / "cache" / "c" / "x.bin").exists()


def test_rescan_splices_the_folder_and_exports_write_what_is_on_screen(tree, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the export dialog takes a name relative to the working folder
    out = tmp_path / "out"

    async def script(app, pilot):
        session = app.session
        await pilot.press("j", "enter", "enter")  # cache/c
        make_file(tree / "cache" / "c" / "new.bin", 70000)
        (tree / "cache" / "c" / "x.bin").unlink()
        await pilot.press("r")
        await until(pilot, lambda: isinstance(app.screen, BrowserScreen) and names(app) == ["new.bin"])
        assert session.size_of(session.root) == on_disk(tree)[1]
        await pilot.press("h")
        assert names(app) == ["c"] and session.size_of(session.folder) == on_disk(tree / "cache")[1]
        await pilot.press("h")
        assert names(app)[0] == "cache" and app.screen.entries.current().name == "cache"
        await pilot.press("e", "ctrl+a", "ctrl+k", *"out/all.json", "enter")  # its folder does not exist yet
        assert "Cannot write" in shown(app) and not out.exists()
        out.mkdir()
        (out / "all.json").write_text("old")
        await pilot.press("enter")
        await answer(pilot, "n")  # it exists: replaced only once Yes is chosen
        assert (out / "all.json").read_text() == "old" and sorted(os.listdir(out)) == ["all.json"]
        await pilot.press("enter")
        await answer(pilot, "y")
        await until(pilot, lambda: (out / "all.json").read_text() != "old")

    browse(tree, tmp_path / "audit", script, apparent=True)
    assert json.loads((out / "all.json").read_text())["root"]["size"] == 92010 + 50000  # the rescanned tree
