"""The terminal browser, driven headless through Textual's pilot, and once in
a real terminal under tmux."""

import asyncio
import json
import os
import shlex
import shutil
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest
from helpers import audit_records, make_file

pytest.importorskip("textual")

from textual import events  # noqa: E402

from orvalnest.browse.app import BrowseApp, BrowserScreen, ScanOptions  # noqa: E402
from orvalnest.browse.dialogs import ConfirmDialog, TextDialog  # noqa: E402
from orvalnest.view import IssueIndex, display_width, format_si  # noqa: E402

# Names a screen must cut by cells and show escaped; empty, so no size changes.
EMPTY = ["\u202eevil.txt", "日本語のファイル名" * 6]


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "root"
    for name, size in [("big.bin", 60000), ("docs/a.txt", 3000), ("docs/b.txt", 9000), ("cache/c/x.bin", 20000)]:
        make_file(root / name, size)
    make_file(root / "odd\x1b[31mname", 10)
    for name in EMPTY:
        make_file(root / name, 0)
    return root


def browse(root, audit_dir, script, size=(100, 30), read_only=False, **options):
    """Runs the app on `root` and `script(app, pilot)` once the listing is up."""

    async def main():
        app = BrowseApp(ScanOptions(str(root), **options), str(audit_dir), read_only=read_only)
        async with app.run_test(size=size) as pilot:
            await until(pilot, lambda: isinstance(app.screen, BrowserScreen) and "listed" in shown(app))
            await script(app, pilot)

    asyncio.run(main())


async def until(pilot, condition, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
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


def names(app):
    return [node.name for node in app.session.entries()]


def shown(app):
    """The screen as text: what a person would read."""
    return "\n".join(strip.text for strip in app.screen._compositor.render_strips())


def test_navigation_sorting_and_filter(tree, tmp_path):
    async def script(app, pilot):
        assert names(app) == ["big.bin", "cache", "docs", "odd\x1b[31mname", *EMPTY]
        await pilot.press("j", "j", "enter")
        assert names(app) == ["b.txt", "a.txt"]
        await pilot.press("n")
        assert names(app) == ["a.txt", "b.txt"]
        await pilot.press("n")
        assert names(app) == ["b.txt", "a.txt"]
        await pilot.press("h")
        await pilot.press("c")  # items below, most first; ties by name
        assert names(app)[:2] == ["cache", "docs"]
        await pilot.press("a")
        assert app.session.apparent and app.session.size_of(app.session.result.root) == 92010
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


def test_si_sizes_and_at_least_above_what_could_not_be_read(tree, tmp_path):
    async def script(app, pilot):
        session = app.session
        big = session.entries()[0]
        assert f"{tree}  {format_si(session.size_of(session.folder))}  " in shown(app)
        assert f" {format_si(session.size_of(big)):>9} " in shown(app) and "kB" in format_si(session.size_of(big))
        unread = SimpleNamespace(path=str(tree / "cache" / "c" / "x.bin"), message="Permission denied (os error 13)")
        session.issues = IssueIndex.of([unread])
        for keys, folder in [((), tree), (("j", "enter"), tree / "cache"), (("h", "j", "enter"), tree / "docs")]:
            await pilot.press(*keys)
            app.screen.refresh_all()
            bound = "at least " * (folder != tree / "docs")
            assert f"{folder}  {bound}{format_si(session.size_of(session.folder))}  " in shown(app)

    browse(tree, tmp_path / "audit", script, si=True)


def test_a_failed_scan_ends_with_status_1_and_says_why(tmp_path):
    async def main():
        app = BrowseApp(ScanOptions(str(tmp_path / "missing")), str(tmp_path))
        async with app.run_test() as pilot:
            await until(pilot, lambda: app.return_code is not None)
        assert app.return_code == 1 and "does not exist" in app.failure

    asyncio.run(main())


def test_trash_previews_confirms_and_shrinks_every_ancestor(tree, tmp_path, isolated_home):
    audit = tmp_path / "audit"

    async def script(app, pilot):
        session = app.session
        root_before = session.size_of(session.result.root)
        await pilot.press("space")  # big.bin
        await pilot.press("enter")  # cache
        await pilot.press("enter", "space")  # cache/c/x.bin
        await pilot.press("h", "h", "j", "space")  # docs
        await pilot.press("k", "enter", "space")  # docs/b.txt: inside a marked folder, counted once
        assert len(session.marks) == 4 and len(session.request()) == 3
        assert session.marked_size() == sum(session.size_of(m.node) for m in session.request())

        await burst(pilot, "dy\r")  # typed ahead of the question: none of it answers
        assert "would trash" in shown(app) and "3 of 3 would go to the trash" in shown(app)
        await answer(pilot, "enter")  # No is the default
        assert [r["outcome"] for r in audit_records(audit)] == ["would-trash"] * 3
        assert (tree / "big.bin").exists()

        (tree / "cache" / "c" / "x.bin").unlink()  # gone behind our back: refused, stays marked
        await pilot.press("d")
        assert "refused" in shown(app) and "2 of 3" in shown(app)
        await answer(pilot, "y")
        await until(pilot, lambda: not app.trashing and type(app.screen) is TextDialog)
        assert "2 trashed, 1 failed" in shown(app)
        await pilot.press("escape")

        assert not (tree / "big.bin").exists() and not (tree / "docs").exists()
        x_bin = str(tree / "cache" / "c" / "x.bin")
        assert list(session.marks) == [x_bin] and "refused" in session.marks[x_bin].failure
        lost = 60000 + 12000  # apparent sizes of big.bin and docs' files; disk usage drops too
        assert session.size_of(session.result.root, True) == 92010 - lost
        assert session.size_of(session.result.root) < root_before
        await pilot.press("h")
        assert names(app) == ["cache", "odd\x1b[31mname", *EMPTY]

    browse(tree, audit, script)


@pytest.mark.parametrize("columns, header", [(40, "size↓ name"), (60, "size↓ items category name")])
def test_narrow_screens_keep_the_names_and_read_only_trashes_nothing(tree, tmp_path, columns, header):
    async def script(app, pilot):
        lines = shown(app).splitlines()  # the bar and the share give way first
        start = lines[1].index("name")
        assert lines[1].split() == header.split() and "read-only" in lines[-1]
        assert [line[start:].rstrip() for line in lines[2:5]] == ["big.bin", "cache/", "docs/"]
        await pilot.press("space", "d", "delete", "question_mark")
        assert not app.session.marks and " ".join(shown(app).split()).count("off: read-only (-r)") == 2

    browse(tree, tmp_path / "audit", script, size=(columns, 40), read_only=True)
    assert not (tmp_path / "audit").exists() and (tree / "big.bin").exists()


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
        assert session.size_of(session.result.root) == 92010 + 50000
        await pilot.press("h")
        assert names(app) == ["c"] and session.size_of(session.folder) == 70000
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
