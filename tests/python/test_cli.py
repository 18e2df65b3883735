"""The `orvalnest` command, run as a person runs it: in a child process, on a terminal or not.
Refusals and usage errors, which need no interpreter of their own, run in this one."""

import fcntl
import json
import os
import pty
import re
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time
import urllib.parse
from pathlib import Path

import pytest
from helpers import audit_records, make_file
from test_scan_tree import many_entries, sparse_files
from test_tree import links_and_folders

from orvalnest import __version__, cli, format_bytes, measure, open_scan
from orvalnest.view import display_width, format_size

needs_ncdu = pytest.mark.skipif(shutil.which("ncdu") is None, reason="needs Debian's ncdu")


def environment(**changes):
    # A value of None removes the variable.
    env = {**os.environ, **changes}
    return {key: value for key, value in env.items() if value is not None}


def orvalnest(*args, env=None, drop_root=False):
    command = [sys.executable, "-m", "orvalnest", *map(str, args)]
    if drop_root and os.geteuid() == 0:
        # Root reads every folder whatever its mode; without these two
        # capabilities it meets permission errors like anyone else.
        if shutil.which("setpriv") is None:
            pytest.skip("needs setpriv to drop root's file access rights")
        caps = "-dac_override,-dac_read_search"
        command = ["setpriv", f"--bounding-set={caps}", f"--inh-caps={caps}", *command]
    return subprocess.run(command, capture_output=True, text=True, env=env or environment(), timeout=120)


def tool(*command):
    # Debian's tools are not built for a preloaded sanitizer runtime.
    return subprocess.run(command, capture_output=True, text=True, env=environment(LD_PRELOAD=None), timeout=60)


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "root"
    sizes = {"big.bin": 6000, "docs/a.txt": 3000, "docs/b.txt": 1000, "docs/c.txt": 500, "docs/d.txt": 300}
    for name, size in {**sizes, "docs/deep/x.txt": 200, "small.txt": 100}.items():
        make_file(root / name, size)
    (root / "empty").mkdir()
    return root  # 11100 bytes, docs 5000


def tree_lines(stdout):
    return stdout.split("\n\n", 1)[0].splitlines()


def du_b(*paths, flags=("-sb",)):
    """What du prints for the last of `paths`: its total with du's options."""
    return int(tool("du", *flags, *paths).stdout.splitlines()[-1].split()[0])


def test_tree_shows_sizes_shares_bars_and_folds(tree):
    result = orvalnest("scan", tree, "-A", "--depth", "2", "--top", "2", "--sort", "name")
    assert (result.returncode, result.stderr) == (0, "")  # no progress line in a pipe
    # Apparent sizes as du -b counts them: each folder's own length too.
    root, docs = du_b(tree), du_b(tree / "docs")
    rests = [
        (du_b(tree / "docs" / "deep") + 800, docs, "|   `-- … 3 more"),
        (du_b(tree / "empty") + 100, root, "`-- … 2 more"),
    ]

    def line(size, whole, category, name, shown=None):
        filled = "#" * round(20 * size / whole)
        amount = format_bytes(size) if shown is None else ""
        return f"{amount:>10}  {100 * size / whole:5.1f}%  [{filled:<20}]  {category:<10}    {name}"

    assert tree_lines(result.stdout) == [
        line(root, root, "directory", tree),
        line(6000, root, "other", "|-- big.bin"),
        line(docs, root, "directory", "|-- docs"),
        line(3000, docs, "document", "|   |-- a.txt"),
        line(1000, docs, "document", "|   |-- b.txt"),
        *(line(size, whole, "", f"{folded} ({format_bytes(size)})", shown=False) for size, whole, folded in rests),
    ]


@pytest.mark.parametrize(
    "option, order",
    [
        ("size", ["big.bin", "docs", "old"]),
        ("count", ["docs", "old", "big.bin"]),
        ("mtime", ["docs", "big.bin", "old"]),
    ],
)
def test_sort_keys_and_the_age_column(tree, option, order):
    day = 86400
    make_file(tree / "big.bin", 100_000)
    make_file(tree / "old" / "a" / "b.txt", 5)
    olds = [(tree / "old" / "a" / "b.txt", 800), (tree / "old" / "a", 900), (tree / "old", 1000)]
    for path, days in [*olds, (tree / "empty", 1200), (tree / "small.txt", 1200)]:
        os.utime(path, (time.time() - days * day - 60,) * 2)
    os.utime(tree / "big.bin", (time.time() - 3 * day - 60,) * 2)
    os.utime(tree / "docs" / "b.txt", (time.time() + day,) * 2)  # a clock set wrong
    result = orvalnest(tree, "--sort", option, "--age", "--depth", "1", "--top", "3")
    lines = tree_lines(result.stdout)[1:4]
    assert [line.rsplit(" ", 1)[1] for line in lines] == order
    # How long ago anything at or below changed: the newest time counts.
    ages = {line.rsplit(" ", 1)[1]: line.split("]")[1].split()[0:2] for line in lines}
    assert ages == {"big.bin": ["3", "d"], "docs": ["future", "directory"], "old": ["2.1", "y"]}


def summary_of(stdout):
    return stdout.split("\n\n", 1)[1]


def test_sizes_are_disk_usage_with_hard_links_once_and_the_summary_counts_the_whole_tree(tree, tmp_path):
    for name in ("one", "two"):
        os.link(tree / "big.bin", tree / "docs" / name)  # three links to 6000 bytes
    make_file(tree / "photo.jpg", 400)
    du, apparent = du_b(tree, flags=("-sB1",)), du_b(tree)
    (tmp_path / "link").symlink_to(tree)
    result = orvalnest(tmp_path / "link", "--depth", "0")  # a link given by name: its target is measured
    assert tree_lines(result.stdout)[0].lstrip().startswith(format_bytes(du) + " ")
    blocks = {name: os.lstat(tree / name).st_blocks * 512 for name in ("big.bin", "photo.jpg", "docs/a.txt")}
    for flag, first, second, shown in [
        ("-A", "apparent size", "disk usage", apparent),
        (None, "disk usage", "apparent", du),
    ]:
        report = orvalnest(
            tree, *[flag] * bool(flag), "--depth", "2", "--top", "0", "--bytes", "--html", tmp_path / "page.html"
        )
        assert tree_lines(report.stdout)[0].split()[:2] == [str(shown), "100.0%"]
        summary = summary_of(report.stdout)
        # Folders counted as the page counts them: the scanned one included.
        other = (apparent, du) if flag else (du, apparent)
        counts = rf"^total +{other[0]} bytes {first}\n{second:<12} {other[1]} bytes\nfiles +10\nfolders +4$"
        assert re.search(counts, summary, re.M), summary
        categories = re.findall(r"^  ([a-z]+) +(\d+) +([\d.]+)% +(\d+) files?$", summary, re.M)
        # Each inode once: the hard-linked file's length counts at one of its links.
        sizes = (
            {"other": 6000, "document": 5100, "image": 400}
            if flag
            else {"other": blocks["big.bin"], "document": 6 * blocks["docs/a.txt"], "image": blocks["photo.jpg"]}
        )
        ordered = sorted(sizes.items(), key=lambda item: (-item[1], item[0]))
        counted = {"other": "3", "document": "6", "image": "1"}
        assert categories == [(name, str(size), f"{100 * size / shown:.1f}", counted[name]) for name, size in ordered]
    page = (tmp_path / "page.html").read_text(encoding="utf-8")
    assert f'"totals":{{"disk":{du},"size":{apparent},"files":10,"folders":4,' in page


@pytest.mark.parametrize("build", [links_and_folders, sparse_files, many_entries])
def test_every_face_that_says_apparent_gives_what_du_b_counts(tmp_path, build):
    root = tmp_path / "root"
    root.mkdir()
    build(root)
    du = du_b(root)
    pages = {kind: tmp_path / f"out.{kind}" for kind in ("json", "html")}
    report = orvalnest(root, "-A", "--bytes", "--depth", "0", "--json", pages["json"], "--html", pages["html"])
    assert tree_lines(report.stdout)[0].split()[0] == str(du)
    assert f"\ntotal        {du} bytes apparent size\n" in report.stdout
    assert json.loads(pages["json"].read_text())["root"]["apparent_size"] == du
    data = json.loads(re.search(r'id="scan-data">(.*?)</script>', pages["html"].read_text(), re.S)[1])
    assert data["totals"]["size"] == sum(row["size"] for row in data["legend"]) == du


def test_exclude_patterns_and_files(tree, tmp_path):
    patterns = tmp_path / "patterns"
    patterns.write_text("*.bin\n\n")
    excludes = ["--exclude", "deep", "--exclude", f"{tree}/docs/a.txt", "--exclude-from", patterns]
    result = orvalnest(tree, "-A", "--bytes", *excludes, "--top", "0", "--depth", "3")
    names = [line.rsplit(" ", 1)[1] for line in tree_lines(result.stdout)[1:]]
    assert sorted(names) == ["b.txt", "c.txt", "d.txt", "docs", "empty", "small.txt"]
    du = du_b(*excludes, tree)
    assert re.search(rf"^total +{du} bytes apparent size$\n(.*\n)*excluded +3$", summary_of(result.stdout), re.M)


def test_a_pattern_with_a_slash_matches_whole_trailing_components_as_du_does(tree):
    make_file(tree / "xdocs" / "deep" / "y.txt", 5)  # "docs/deep" is not a trailing part of xdocs/deep
    du = tool("du", "-sB1", "--exclude", "docs/deep", tree).stdout.split()[0]
    summary = summary_of(orvalnest(tree, "--exclude", "docs/deep", "--bytes").stdout)
    assert re.search(rf"^total +{du} bytes disk usage$(.*\n)*excluded +1$", summary, re.M)


def test_markers_unreadable_folders_and_odd_names_in_a_pipe(tree, tmp_path):
    (tree / "link").symlink_to("big.bin")
    for name in ("evil\x1b]0;owned\x07name", "two\nlines", "x" * 90):
        make_file(tree / name, 10)
    make_file(tree / "locked" / "hidden.bin", 50)
    make_file(tree / "unsearchable" / "listed.bin", 60)
    (tree / "locked").chmod(0o000)
    (tree / "unsearchable").chmod(0o444)  # its names can be listed, their metadata not read
    try:
        result = orvalnest(tree, "--top", "0", "--issues", "--ncdu", tmp_path / "scan.json", drop_root=True)
    finally:
        (tree / "locked").chmod(0o755)
        (tree / "unsearchable").chmod(0o755)
    assert result.returncode == 3  # a report, but short of what could not be read
    assert result.stderr.startswith("orvalnest: 2 entries could not be read: the totals are lower bounds")
    # After the category column: the marker, then the name, escaped but whole however long.
    shown = {line.split("]  ", 1)[1][12:].replace("`", "|") for line in tree_lines(result.stdout)}
    # unsearchable is read in part: its entry could not be examined, so the folder's size is short.
    marked = ["@ |-- link", "! |-- locked (could not be read)", "! |-- unsearchable", "  |-- docs", "  |-- " + "x" * 90]
    assert {*marked, "  |-- evil\\x1b]0;owned\\x07name", "  |-- two\\x0alines"} <= shown
    summary = summary_of(result.stdout)
    assert re.search(r"^total +at least [\d.]+ KB \(\d+ bytes\) disk usage\napparent +at least ", summary, re.M)
    assert f"issues       2 could not be read, 0 skipped on purpose\n  {tree / 'locked'}: Permission" in summary
    assert f"\n  {tree / 'unsearchable' / 'listed.bin'}: Permission" in summary
    if shutil.which("ncdu"):
        items = ncdu_reexport(tmp_path / "scan.json", tmp_path)
        assert items[(str(tree), "locked")].get("read_error") is True
        assert items[(str(tree), "unsearchable", "listed.bin")].get("read_error") is True


@pytest.mark.parametrize(
    "paths, expected",
    [
        (["locked"], "cannot read directory '{root}/locked': Permission denied"),
        (["locked/inner"], "cannot access '{root}/locked/inner': Permission denied"),
        (["big.bin/x"], "cannot access '{root}/big.bin/x': Not a directory"),
        (["docs", "gone"], "cannot access '{root}/gone': No such file or directory"),  # the report of docs, then this
    ],
)
def test_paths_that_cannot_be_read_are_errors_in_dus_words(tree, paths, expected):
    (tree / "locked" / "inner").mkdir(parents=True)
    (tree / "locked").chmod(0o000)
    try:
        result = orvalnest(*(tree / path for path in paths), drop_root=True)
    finally:
        (tree / "locked").chmod(0o755)
    assert (result.returncode, result.stderr) == (1, f"orvalnest: {expected.format(root=tree)}\n")
    assert [line.split()[-1] for line in tree_lines(result.stdout)[:1]] == [str(tree / paths[0])] * (len(paths) > 1)


def test_several_paths_show_each_tree_and_count_what_they_share_once(tree):
    paths = [tree / "docs", tree / "small.txt", tree / "docs" / "deep", tree / "empty", tree / "docs"]
    result = orvalnest(*paths, "--depth", "0", "--bytes")
    # du counts every folder once, however often it is named.
    du, apparent = du_b(*paths, flags=("-csB1",)), du_b(*paths, flags=("-csb",))
    blocks = result.stdout.split("\n\n")
    assert [block.split()[-1] for block in blocks[:5]] == [str(path) for path in paths]
    assert re.search(
        rf"^total +{du} bytes disk usage\napparent +{apparent} bytes\nfiles +6\nfolders +3$", blocks[5], re.M
    )


WIDE_NAMES = ["漢字の名前がとても長いファイルです.txt", "🎉🎉 party 🎉🎉 pictures from the whole summer.jpg", "x" * 90]


def run_on_terminal(args, columns=80, interrupt_inside=None, rows=24, **changes):
    """(exit status, what the command shows) with standard output and error both on a terminal `columns`
    wide and `rows` high; Ctrl+C comes once the walk holds a folder of `interrupt_inside` open."""
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
    env = {"COLUMNS": str(columns), "TERM": "xterm-256color", "PYTHONIOENCODING": "utf-8", "NO_COLOR": "1"}
    env = environment(**{**env, **changes})
    command = [sys.executable, "-m", "orvalnest", *map(str, args)]
    process = subprocess.Popen(command, stdin=follower, stdout=follower, stderr=follower, env=env)
    os.close(follower)
    deadline = time.monotonic() + 60
    while interrupt_inside and not scanning_inside(process.pid, interrupt_inside):
        assert time.monotonic() < deadline, "the walk never started"
    if interrupt_inside:
        process.send_signal(signal.SIGINT)
    output = b""
    try:
        while select.select([leader], [], [], 5)[0] and (chunk := os.read(leader, 65536)):
            output += chunk
    except OSError:  # a pseudo-terminal reports its closing as an error
        pass
    os.close(leader)
    return process.wait(timeout=60), output.decode()


@pytest.mark.parametrize(
    "columns, no_color, si", [(40, "1", False), (60, "1", True), (80, None, False), (120, "1", True)]
)
def test_lines_fit_the_terminal_and_colour_it_unless_told_not_to(tree, columns, no_color, si):
    for name in WIDE_NAMES:
        make_file(tree / "docs" / "deep" / name, 10)
    args = [tree, "--depth", "3", "--top", "0", "--issues", *["--si"] * si]
    status, output = run_on_terminal(args, columns, NO_COLOR=no_color)
    assert status == 0
    assert re.search(r"\rscanning \d+ entries, [\d.]+ k?[KMG]?B, \d+ s ", output)
    report = output.rsplit("\r\x1b[K", 1)[1]  # the progress line erased before the report
    assert bool(re.search(r"\x1b\[[\d;]*m", output)) is (no_color is None)
    assert bool(re.search("[\u2500-\u259f]", output)) is (no_color is None)  # box drawing and blocks
    lines = re.split(r"[\r\n]", re.sub(r"\x1b\[[\d;]*[mK]", "", output))  # the progress line too
    assert [line for line in lines if display_width(line) > columns] == []
    # Each total on a line of its own, first, saying which it is, and read back whole.
    root = measure(tree).root
    size = r"([\d.]+ k?[KMG]?B)"
    totals = re.match(rf"total +{size}( \(\d+ bytes\))? disk usage\r\napparent +{size}(.*)\r", report)
    assert totals is not None, report
    assert totals.group(1, 3) == (format_size(root.disk_usage, si), format_size(root.apparent_size, si))
    exact = f" ({root.disk_usage} bytes)", f" ({root.apparent_size} bytes)"
    assert totals.group(2, 4) == (exact if columns >= 60 else (None, ""))
    assert "…" not in report.split("\r\n\r\n")[-1]  # the rest of the summary gives up padding, not numbers


def test_a_terminal_first_shows_the_totals_and_what_fits_of_the_tree(tree, tmp_path):
    for i in range(30):
        make_file(tree / f"f{i:02}.log", 100 + i)
    screens = {}
    for options in ([], ["--top", "3"]):
        status, output = run_on_terminal([tree, *options], rows=14, NO_COLOR="1")
        screens[bool(options)] = output.rsplit("\r\x1b[K", 1)[1].split("\r\n")[:-1]
        assert status == 0 and screens[bool(options)][0].startswith("total ")
    fitted = screens[False]
    assert len(fitted) == 13  # the last row is the prompt's
    assert fitted[3].endswith("/root") and fitted[4].endswith(" docs") and fitted[-3].endswith(" 28 more (112.0 KB)")
    assert re.fullmatch(r"fitted to the window \(--depth 1 --top 6\); more: --depth N --top N, or \| less", fitted[-1])
    # Asked for, or in a pipe, the whole report.
    assert len(screens[True]) > 13 and screens[True][-1].startswith("elapsed ")
    piped = tree_lines(orvalnest(tree).stdout)
    assert piped[0].endswith(f" {tree}") and len(piped) > 13
    # A saved scan read back says so while it is read, and the line is gone before the report.
    saved = tmp_path / "tree.scan"
    assert orvalnest(tree, "--save", saved).returncode == 0
    status, output = run_on_terminal(["-f", saved], rows=14, NO_COLOR="1")
    assert status == 0 and output.startswith("\rreading ") and "tree.scan\x1b[K\r\x1b[Ktotal " in output
    assert output.rsplit("\r\x1b[K", 1)[1].split("\r\n")[:-1] == fitted


def test_json_export_reads_back_as_the_scan(tree, tmp_path):
    make_file(tree / 'naïve "quoted"\t.txt', 7)
    (tree / "link").symlink_to("big.bin")
    os.link(tree / "small.txt", tree / "docs" / "hard")
    (tree / os.fsdecode(b"caf\xe9 %.txt")).write_bytes(b"12")
    root = tree.rename(tmp_path / os.fsdecode(b"\xff root"))  # no path in it is UTF-8
    target = tmp_path / "out.json"
    started = int(time.time())
    result = orvalnest(root, "--json", target, "--exclude", "*.bin")
    assert f"JSON export to {target}" in result.stdout
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.json", root.name]  # no temporary left behind
    data = json.loads(target.read_text(encoding="utf-8"))
    expected = measure(root, exclude=["*.bin"])
    assert (data["version"], data["orvalnest"], data["excluded"]) == (1, __version__, 1)
    assert urllib.parse.unquote_to_bytes(data["root"]["path_raw"]) == os.fsencode(root)
    stack = [(data["root"], expected.root)]
    raw_names = []
    fields = ("name", "path", "size", "disk_usage", "apparent_size", "mtime", "is_dir", "category")
    while stack:
        item, entry = stack.pop()
        assert [item[field] for field in fields] == [getattr(entry, field) for field in fields]
        flags = (item.get("is_symlink", False), item.get("is_hardlink", False), item.get("newest_mtime"))
        assert flags == (entry.is_symlink, entry.is_hardlink, entry.newest_mtime if entry.is_dir else None)
        raw_names += [urllib.parse.unquote_to_bytes(item["name_raw"])] if "name_raw" in item else []
        # Largest size first, equal ones by name, as the format promises.
        stack.extend(zip(item["children"], entry.sorted_children("size"), strict=True))
    assert raw_names == [b"caf\xe9 %.txt"]
    assert data["issues"] == [{"path": i.path, "message": i.message} for i in expected.issues]
    assert started <= data["timestamp"] <= expected.timestamp  # when that scan started
    # Read back, it is the tree it was written from, du's apparent sizes and times included.
    again = open_scan(target)
    keys = ("path_bytes", "disk_usage", "apparent_size", "mtime", "newest_mtime", "is_hardlink", "is_symlink")
    assert [[getattr(tree.entry(i), k) for k in keys] for tree in (again, expected) for i in range(tree.entries)] == [
        [getattr(expected.entry(i), k) for k in keys] for i in range(expected.entries)
    ] * 2


def ncdu_items(data):
    """{path tuple: info} of an ncdu export's tree."""
    items, stack = {}, [(data[3], ())]
    while stack:
        node, parents = stack.pop()
        info, children = (node[0], node[1:]) if isinstance(node, list) else (node, [])
        items[(*parents, info["name"])] = info
        stack.extend((child, (*parents, info["name"])) for child in children)
    return items


def ncdu_reexport(export, tmp_path, *flags):
    """{path tuple: info} of what Debian's ncdu reads from `export` and writes again."""
    again = tmp_path / "again.json"
    result = tool("ncdu", *flags, "-f", export, "-o", again)
    # ncdu 1.18 exits 0 even on a file it rejects; only its message tells.
    assert result.stderr.strip() == "" and result.returncode == 0
    data = json.loads(again.read_text(encoding="utf-8"))
    assert data[:2] == [1, 2] and len(data) == 4
    return ncdu_items(data)


def totals(items):
    return [sum(info.get(key, 0) for info in items.values()) for key in ("dsize", "asize")] + [len(items)]


@needs_ncdu
def test_ncdu_reads_the_export_as_its_own_scan(tree, tmp_path):
    for name in ("one", "two"):
        os.link(tree / "big.bin", tree / "docs" / name)
    os.link(tree / "docs" / "a.txt", tree / "a-again")  # a second inode: ncdu tells them apart by number
    (tree / "link").symlink_to("big.bin")
    make_file(tree / "del\x7fname", 5)
    make_file(tree / "docs" / "résumé\x01.log", 33)
    make_file(tree / "skipped" / "inside", 12)
    excludes = ["--exclude", "*.log", "--exclude", "skipped"]
    os.utime(tree / "docs", (1_000_000_000, 1_000_000_000))  # ncdu -e shows the newest below it itself
    started = int(time.time())
    assert orvalnest(tree, *excludes, "--ncdu", tmp_path / "ours.json").returncode == 0
    header = json.loads((tmp_path / "ours.json").read_text(encoding="utf-8"))[2]
    assert header["progver"] == __version__ and started <= header["timestamp"] <= time.time()
    ours = ncdu_reexport(tmp_path / "ours.json", tmp_path, "-e")
    tool("ncdu", "-e", *excludes, "-o", tmp_path / "direct.json", tree)
    theirs = ncdu_items(json.loads((tmp_path / "direct.json").read_text(encoding="utf-8")))
    assert totals(ours) == totals(theirs)
    facts = ("mtime", "ino", "nlink")  # ncdu counts a hard-linked inode once by its number
    assert {key: [info.get(fact) for fact in facts] for key, info in ours.items()} == {
        key: [info.get(fact) for fact in facts] for key, info in theirs.items()
    }
    assert {key: info.get("excluded") for key, info in ours.items() if "excluded" in info} == {
        (str(tree), "skipped"): "pattern",
        (str(tree), "docs", "résumé\x01.log"): "pattern",
    }
    assert {key[-1] for key, info in ours.items() if info.get("hlnkc")} == {"big.bin", "one", "two", "a.txt", "a-again"}
    assert ours[(str(tree), "link")].get("notreg") is True


@pytest.mark.skipif(shutil.which("gdu") is None, reason="needs Debian's gdu")
def test_gdu_shows_the_same_top_entries(tree, tmp_path):
    assert orvalnest(tree, "--ncdu", tmp_path / "ours.json").returncode == 0
    shown = tool("gdu", "-n", "-c", "-f", tmp_path / "ours.json")
    assert shown.returncode == 0, shown.stderr
    names = [line.split()[-1].lstrip("/") for line in shown.stdout.splitlines() if line.strip()]
    ours = [line.rsplit(" ", 1)[1] for line in tree_lines(orvalnest(tree, "--depth", "1", "--top", "0").stdout)[1:]]
    assert names[:2] == ours[:2] and sorted(names) == sorted(ours)


def disk_usage_below(path):
    """What du counts: st_blocks of every entry below `path`, each inode once."""
    seen, total = set(), 0
    for entry in [path, *path.rglob("*")]:
        status = entry.lstat()
        if (status.st_dev, status.st_ino) not in seen:
            seen.add((status.st_dev, status.st_ino))
            total += status.st_blocks * 512
    return total


def test_trash_reports_each_path_in_order_audits_it_and_says_where_the_space_went(tree, tmp_path, isolated_home):
    requested = [tree / "small.txt", "/etc/passwd", tree / "docs", tree / "gone"]
    moved = disk_usage_below(tree / "small.txt") + disk_usage_below(tree / "docs")
    result = orvalnest("trash", "--root", tree, "--audit-dir", tmp_path / "audit", *requested)
    assert result.returncode == 1
    assert result.stdout.splitlines() == [
        f"trashed      {requested[0]}",
        "failed       /etc/passwd: refused: outside the scanned folder",
        f"trashed      {requested[2]}",
        f"failed       {requested[3]}: no such file or directory",
        f"in the trash 2 items, {format_bytes(moved)}, in {isolated_home}/.local/share/Trash",
        "             undo with the desktop's trash, trash-restore or gio trash --restore",
        "             the space comes back when the trash is emptied; for these items:",
        f"             orvalnest trash --purge --root {tree}",
        f"audit log    {tmp_path / 'audit' / 'deletions.jsonl'}",
    ]
    records = audit_records(tmp_path / "audit")
    assert [record["outcome"] for record in records] == ["trashed", "failed", "trashed", "failed"]
    assert not (tree / "docs").exists() and not (tree / "small.txt").exists()


@pytest.mark.skipif(shutil.which("trash-put") is None, reason="needs trash-cli's trash-put for another tool's item")
def test_purge_empties_from_the_trash_only_what_this_tool_put_there(tree, tmp_path, isolated_home):
    audit = ["--root", tree, "--audit-dir", tmp_path / "audit"]
    sizes = [disk_usage_below(tree / "big.bin"), disk_usage_below(tree / "docs")]
    assert orvalnest("trash", *audit, tree / "big.bin", tree / "docs").returncode == 0
    # Another tool's item in the same trash, from the very same place.
    make_file(tree / "big.bin", 10)
    assert tool("trash-put", tree / "big.bin").returncode == 0
    trash = isolated_home / ".local/share/Trash"
    for verb, total, dry_run in [("would purge", "would free", ["--dry-run"]), ("purged", "freed", [])]:
        result = orvalnest("trash", "--purge", *dry_run, *audit)
        assert (result.returncode, result.stdout.splitlines()) == (
            0,
            [
                f"{verb:<12} {tree / 'big.bin'} ({format_bytes(sizes[0])}, in {trash})",
                f"{verb:<12} {tree / 'docs'} ({format_bytes(sizes[1])}, in {trash})",
                f"{total:<12} {format_bytes(sum(sizes))}",
                f"audit log    {tmp_path / 'audit' / 'deletions.jsonl'}",
            ],
        )
    (left,) = os.listdir(trash / "files")
    assert (trash / "files" / left).read_bytes() == b"x" * 10
    outcomes = [record["outcome"] for record in audit_records(tmp_path / "audit")]
    assert outcomes == ["trashed", "trashed", "would-purge", "would-purge", "purged", "purged"]


def full_disk_for_files_past(size):
    """For a child: no file may grow past `size` bytes (as on a full disk), and
    the signal that would end the process for it is ignored."""

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, resource.RLIM_INFINITY))

    return limit


@pytest.mark.parametrize("kind", ["json", "ncdu", "html"])
def test_an_export_that_fails_after_the_scan_is_an_error_and_leaves_the_old_file(tree, tmp_path, kind):
    target = tmp_path / f"scan.{kind}"
    target.write_text("old")
    command = [sys.executable, "-m", "orvalnest", str(tree), f"--{kind}", str(target), "--depth", "0"]
    result = subprocess.run(
        command,
        capture_output=True,
        text=True,
        timeout=120,
        env=environment(),
        preexec_fn=full_disk_for_files_past(400),
    )
    assert result.returncode == 1
    name = {"json": "JSON", "ncdu": "ncdu", "html": "HTML"}[kind]
    assert result.stderr == f"orvalnest: cannot write the {name} export to {target}: File too large\n"
    assert result.stdout.startswith(tree_lines(orvalnest(tree, "--depth", "0").stdout)[0])  # the report came first
    assert sorted(os.listdir(tmp_path)) == sorted([target.name, "root"])
    assert target.read_text() == "old"


def test_a_move_whose_audit_line_cannot_be_written_is_said_and_exits_3(tree, tmp_path):
    (tmp_path / "audit").mkdir()
    log = tmp_path / "audit" / "deletions.jsonl"
    log.write_bytes(b"{}\n" * 1000)  # the trash's info file stays well below this size
    command = [sys.executable, "-m", "orvalnest", "trash", "--root", tree, "--audit-dir", tmp_path / "audit"]
    result = subprocess.run(
        [*map(str, command), str(tree / "small.txt")],
        capture_output=True,
        text=True,
        timeout=120,
        env=environment(),
        preexec_fn=full_disk_for_files_past(log.stat().st_size),
    )
    assert result.returncode == 3
    message = f"orvalnest: moved to the trash but NOT recorded in the audit log: {tree / 'small.txt'} (file too large)"
    assert result.stderr.splitlines() == [message]
    assert not (tree / "small.txt").exists() and log.stat().st_size == 3000


def test_a_dry_run_says_what_the_move_would_fail_on(tree, tmp_path):
    # Root (without the two capabilities) meets the folder's permissions as anyone does.
    (tree / "docs").chmod(0o555)
    try:
        result = orvalnest(
            "trash",
            "--root",
            tree,
            "--audit-dir",
            tmp_path / "audit",
            "--dry-run",
            tree / "docs" / "a.txt",
            tree / "big.bin",
            drop_root=True,
        )
    finally:
        (tree / "docs").chmod(0o755)
    assert result.returncode == 1
    assert result.stdout.splitlines()[:2] == [
        f"would fail   {tree / 'docs' / 'a.txt'}: the folder it is in does not let it be taken out (permission denied)",
        f"would trash  {tree / 'big.bin'}",
    ]
    assert [record["outcome"] for record in audit_records(tmp_path / "audit")] == ["would-fail", "would-trash"]


@pytest.mark.parametrize(
    "picked, kept",
    [
        (["docs/twin"], True),  # the 0 B twin: the file stays through big.bin
        (["docs/twin", "big.bin"], False),
        (["docs"], True),  # a folder frees its files with links only if all of them go
        (["docs", "big.bin"], False),
        (["docs", "docs/a.txt"], True),  # a path inside a picked folder goes with it, counted once
    ],
)
def test_a_dry_run_says_what_emptying_the_trash_would_free(tree, tmp_path, picked, kept):
    os.link(tree / "big.bin", tree / "docs" / "twin")
    result = orvalnest(
        "trash", "--root", tree, "--audit-dir", tmp_path / "audit", "--dry-run", *(tree / p for p in picked)
    )
    held = {}  # each inode of the pick once
    for path in [tree / name for name in picked]:
        for each in [path, *path.rglob("*")]:
            info = each.lstat()
            held[info.st_dev, info.st_ino] = info.st_blocks * 512
    twin = disk_usage_below(tree / "big.bin")
    expected = f"would free   {format_bytes(sum(held.values()) - twin * kept)} once the trash is emptied"
    expected += f" ({format_bytes(twin)} stays: files with hard links outside what was picked)" if kept else ""
    assert (result.returncode, result.stdout.splitlines()[len(picked)]) == (0, expected)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to give a folder to someone else")
def test_an_audit_folder_of_someone_else_stops_the_request_and_says_how_to_pick_another(tree, tmp_path, capsys):
    foreign = tmp_path / "shared"
    foreign.mkdir()
    os.chown(foreign, 4242, 4242)
    status, out, err = run_main(
        ["trash", "--root", str(tree), "--audit-dir", str(foreign), str(tree / "big.bin")], capsys
    )
    assert (status, out) == (1, "")
    assert err.splitlines() == [
        f"orvalnest: cannot open audit log in {foreign} (nothing was deleted): {foreign} is owned by user 4242, "
        "not by the user running this (0)",
        "orvalnest: nothing was done; choose an audit folder of your own with --audit-dir DIR or "
        "$ORVALNEST_AUDIT_LOG_DIR",
    ]
    assert (tree / "big.bin").exists() and not list(foreign.iterdir())


def mounted(point):
    with open("/proc/self/mounts", encoding="utf-8") as mounts:
        return {line.split()[1]: line.split()[2] for line in mounts}.get(point)


@pytest.mark.skipif(
    mounted("/dev/pts") != "devpts" or mounted("/dev/shm") is None or shutil.which("ncdu") is None,
    reason="needs /dev/pts, /dev/shm and ncdu",
)
def test_pseudo_and_other_filesystems_are_skipped_and_marked(tmp_path):
    # What /dev/shm holds could be large, and would only slow the walk down.
    result = orvalnest("/dev", "--exclude", "/dev/shm/*", "--depth", "1", "--top", "0", "--ncdu", tmp_path / "dev.json")
    assert any(re.search(r" > .-- pts \(pseudo-filesystem \(devpts\)\)$", line) for line in tree_lines(result.stdout))
    # Skipped on purpose: the total is a lower bound, but nothing failed.
    assert result.returncode == 0 and "\ntotal        at least " in result.stdout
    assert ncdu_reexport(tmp_path / "dev.json", tmp_path)[("/dev", "pts")].get("excluded") == "kernfs"
    one_filesystem = tree_lines(orvalnest("/dev", "-x", "--depth", "1", "--top", "0").stdout)
    assert any(re.search(r" > .-- shm \(other filesystem\)$", line) for line in one_filesystem)


@pytest.mark.parametrize(
    "setting, expected",
    [
        ("ORVALNEST_AUDIT_LOG_DIR={tmp}/env", "{tmp}/env"),
        ("XDG_STATE_HOME={tmp}/xdg", "{tmp}/xdg/orvalnest"),
        ("XDG_STATE_HOME=relative/state", "{home}/.local/state/orvalnest"),  # not absolute, so not to be used
    ],
)
def test_dry_run_takes_relative_paths_and_finds_its_audit_log(
    tree, tmp_path, isolated_home, monkeypatch, capsys, setting, expected
):
    setting, expected = (text.format(tmp=tmp_path, home=isolated_home) for text in (setting, expected))
    monkeypatch.setenv(*setting.split("=", 1))
    monkeypatch.chdir(tree)
    status, out, _ = run_main(["trash", "--root", ".", "--dry-run", "big.bin"], capsys)
    freed = f"would free   {format_bytes(disk_usage_below(tree / 'big.bin'))} once the trash is emptied"
    assert (status, out) == (0, f"would trash  {tree / 'big.bin'}\n{freed}\naudit log    {expected}/deletions.jsonl\n")
    assert (tree / "big.bin").exists()
    assert [record["outcome"] for record in audit_records(Path(expected))] == ["would-trash"]


def run_main(args, capsys):
    """(exit status, stdout, stderr) of the command run in this process: its
    refusals and messages need no interpreter of their own."""
    try:
        status = cli.main(args)
    except SystemExit as exit:
        status = exit.code
    return (status, *capsys.readouterr())


DOT_PATHS = ["", ".", "./", "deep/.", "deep/..", ".."]


@pytest.mark.parametrize(
    "args, code, stdout, stderr",
    [
        (["check", "--root", "{root}", "{root}/docs/a.txt"], 0, "{root}/docs/a.txt\n", ""),
        (["trash", "{root}/big.bin"], 2, "", "--root"),
        (["trash", "--root", "{root}/nope", "{root}/big.bin"], 1, "", "{root}/nope does not exist"),
        (["{root}", "--json", "-", "--html", "-"], 2, "", "only one of --json, --ncdu and --html"),
        # Export destinations are checked before the scan, so no tree is shown.
        (["{root}", "--json", "{tmp}/missing-dir/out"], 1, "", "JSON export to {tmp}/missing-dir/out: No such"),
        (["{root}", "--html", "{root}/big.bin/out"], 1, "", "HTML export to {root}/big.bin/out: Not a directory"),
        (["check", "--root", "{root}", "."], 2, "", "refusing to act on '.'"),
        # Said before the browser takes the screen: here, no terminal to take.
        (["browse", "{root}/./nope"], 1, "", "orvalnest: cannot access '{root}/./nope': No such file or directory\n"),
        (["-i", "{root}/big.bin", "-r"], 1, "", "orvalnest: cannot browse '{root}/big.bin': Not a directory\n"),
        (["browse", "{root}"], 1, "", "orvalnest: browsing needs a terminal"),
        (["browse", "-f", "{root}/big.bin"], 1, "", "orvalnest: {root}/big.bin: "),  # not a scan: said as -f says it
        (["browse", "-f", "{tmp}/none"], 1, "", "orvalnest: cannot read '{tmp}/none': No such file or directory\n"),
        (["browse", "{root}", "-f", "{root}/big.bin"], 2, "", "not both"),
        *[
            (["trash", "--root", "{root}", "{root}/big.bin", path], 2, "", f"refusing to act on {path!r}")
            for path in DOT_PATHS
        ],
    ],
)
def test_exit_codes_and_refusals_before_anything_happens(
    tree, tmp_path, monkeypatch, capsys, args, code, stdout, stderr
):
    monkeypatch.chdir(tree / "docs")  # made absolute, "" and "." would be this folder, "deep/." its subfolder
    monkeypatch.setenv("ORVALNEST_AUDIT_LOG_DIR", str(tmp_path / "audit"))
    status, out, err = run_main([arg.format(root=tree, tmp=tmp_path) for arg in args], capsys)
    assert (status, out) == (code, stdout.format(root=tree))
    assert stderr.format(root=tree, tmp=tmp_path) in err
    assert (tree / "docs" / "deep").is_dir() and (tree / "big.bin").exists()
    assert not (tmp_path / "audit").exists(), "refused before the audit log was opened"


def test_the_package_and_the_command_line_load_no_front_end_library():
    # Textual and Playwright are for browsing and page tests: callers of the
    # engine and of the text report must not pay for loading them.
    code = (
        "import sys, orvalnest, orvalnest.cli; sys.exit(sorted({'textual', 'playwright'} & set(sys.modules)) or None)"
    )
    assert subprocess.run([sys.executable, "-c", code], timeout=60).returncode == 0  # the names loaded on stderr


@pytest.fixture(scope="module")
def large_tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("large")
    # About 0.1 s of walking: long next to the moment it takes to send the signal.
    for i in range(100):
        for j in range(100):
            os.makedirs(root / f"d{i}" / f"e{j}")
    return root


def scanning_inside(pid, folder):
    """Whether the process holds a directory of `folder` open: the walk is on."""
    try:
        return any(os.readlink(f"/proc/{pid}/fd/{fd}").startswith(f"{folder}/") for fd in os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return False


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc to see the walk under way")
def test_ctrl_c_during_a_scan_exits_130(large_tree):
    status, output = run_on_terminal([large_tree], interrupt_inside=large_tree)
    assert status == 130 and f"scanning {large_tree}" in output
    # The progress line was erased and no partial tree follows.
    assert output.rsplit("\r\x1b[K", 1)[1] == "orvalnest: interrupted\r\n"
    # The browser, as busy as Textual is while it starts, takes it as its Ctrl+C key.
    status, output = run_on_terminal(["-i", large_tree], interrupt_inside=large_tree)
    assert status == 130 and "Traceback" not in output
