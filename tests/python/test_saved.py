"""open_scan, save_scan and compare: what a browser opened on a file or asked to
compare relies on."""

import os

import pytest
from helpers import make_file

import orvalnest


@pytest.fixture
def scanned(tmp_path):
    root = tmp_path / "root"
    make_file(root / "keep" / "a.bin", 5000)
    make_file(root / "old.log", 9000)
    make_file(root / "quiet" / "empty", 0)
    make_file(root / "keep" / "swap", 0)
    return root, orvalnest.measure(root, exclude=["*.tmp"], threads=2, one_filesystem=True)


def test_a_saved_scan_is_the_same_tree_with_its_options_and_where_it_came_from(scanned, tmp_path):
    root, tree = scanned
    orvalnest.save_scan(tree, tmp_path / "scan")
    opened = orvalnest.open_scan(tmp_path / "scan")
    fields = (
        "path",
        "entries",
        "files",
        "directories",
        "excluded",
        "timestamp",
        "exclude",
        "one_filesystem",
        "threads",
    )
    assert [getattr(opened, name) for name in fields] == [getattr(tree, name) for name in fields]
    assert (opened.source, opened.opened_from, tree.opened_from) == ("scan", str(tmp_path / "scan"), None)
    assert [(e.path_bytes, e.disk_usage, e.apparent_size, e.mtime) for e in opened.root.children] == [
        (e.path_bytes, e.disk_usage, e.apparent_size, e.mtime) for e in tree.root.children
    ]
    os.symlink(tmp_path / "scan", tmp_path / "link")
    with pytest.raises(OSError, match="symbolic link"):
        orvalnest.save_scan(tree, tmp_path / "link")
    assert orvalnest.open_scan(tmp_path / "link").entries == tree.entries  # reading through a link is harmless


def test_a_comparison_gives_a_browser_its_change_column_and_what_went(scanned):
    root, old = scanned
    make_file(root / "keep" / "a.bin", 50000)
    (root / "old.log").unlink()
    (root / "quiet" / "empty").unlink()  # no size changes, but the folder did
    (root / "keep" / "swap").unlink()
    (root / "keep" / "swap").mkdir()  # a file gone and a folder new, not one entry changed
    make_file(root / "fresh" / "b.bin", 100)
    new = orvalnest.measure(root)
    comparison = orvalnest.compare(old, new)
    keep = next(e for e in new.root.children if e.name == "keep")
    assert comparison.delta(keep) == keep.disk_usage - old.root.children[0].disk_usage > 0
    assert comparison.delta(keep, "entries") == 0
    assert comparison.change(keep).status == "grew" and comparison.change(keep).old.name == "keep"
    # Every child of both sides, what went included, largest change first.
    listed = [(c.name, c.status, c.old is None, c.new is None) for c in comparison.root.children]
    assert listed == [
        ("keep", "grew", False, False),
        ("old.log", "disappeared", False, True),
        ("fresh", "appeared", True, False),
        ("quiet", "changed", False, False),
    ]
    fresh = comparison.root.children[2]
    assert fresh.children[0].status == "appeared" and fresh.entries_delta == 2
    swapped = sorted(
        (c.status, c.old is None, c.new is None) for c in comparison.change(keep).children if c.name == "swap"
    )
    assert swapped == [("appeared", True, False), ("disappeared", False, True)]
    swap = next(e for e in keep.children if e.name == "swap")
    assert comparison.appeared == (3, fresh.new.disk_usage + swap.disk_usage) and comparison.disappeared[0] == 3
    assert comparison.change(old.root.children[1]) == comparison.root.children[1]
    with pytest.raises(ValueError, match="neither tree"):
        comparison.delta(orvalnest.measure(root).root)


NCDU_HEAD = (
    '[1,2,{"progname":"ncdu","progver":"1.18","timestamp":1700000000},\n[{"name":"/r","asize":4096,"dsize":4096}'
)


@pytest.mark.parametrize(
    "entries, expected",
    [
        # A hard-linked inode counts once, at the link met first; ino alone identifies it within a device.
        (
            '{"name":"a","asize":5,"dsize":4096,"ino":7,"nlink":2},{"name":"b","asize":5,"dsize":4096,"ino":7,"nlink":2}',
            {"disk": 8192, "size": 10, "marks": {"a": "H", "b": "H"}, "issues": []},
        ),
        # An extended export's times; a link is a "notreg" entry with a length, a device one without.
        (
            '{"name":"l","asize":3,"dsize":0,"notreg":true,"mtime":9},{"name":"dev","asize":0,"dsize":0,"notreg":true}',
            {"disk": 4096, "size": 0, "marks": {"l": "@"}, "issues": [], "newest": 9},
        ),
        (
            '[{"name":"d","asize":4096,"dsize":4096,"read_error":true}],{"name":"x","read_error":true}',
            {
                "disk": 8192,
                "size": 0,
                "marks": {"d": "!"},
                "issues": [
                    ("/r/d", "could not be read (the export gives no reason)", False),
                    ("/r/x", "could not be read (the export gives no reason)", False),
                ],
            },
        ),
        (
            '{"name":"proc","excluded":"kernfs"},{"name":"m","excluded":"otherfs"},{"name":"p","excluded":"pattern"}',
            {
                "disk": 4096,
                "size": 0,
                "marks": {"proc": ">", "m": ">"},
                "excluded": 1,
                "issues": [
                    ("/r/proc", "skipped: pseudo-filesystem", True),
                    ("/r/m", "skipped: other filesystem", True),
                ],
            },
        ),
    ],
)
def test_ncdu_exports_read_as_the_scan_counts(tmp_path, entries, expected):
    export = tmp_path / "export.json"
    export.write_text(f"{NCDU_HEAD},\n{entries}]]\n")
    tree = orvalnest.open_scan(export)
    root = tree.root
    assert (root.disk_usage, root.size, tree.timestamp, tree.source) == (
        expected["disk"],
        expected["size"],
        1700000000,
        "ncdu",
    )
    mark = {(True, False, False, False): "!", (False, True, False, False): ">", (False, False, True, False): "@"}
    marks = {
        e.name: mark.get((e.unreadable, e.skipped, e.is_symlink, False), "H" if e.is_hardlink else " ")
        for e in root.children
    }
    assert {name: m for name, m in marks.items() if m != " "} == expected["marks"]
    assert [(i.path, i.message, i.skipped) for i in tree.issues] == expected["issues"]
    assert tree.excluded == expected.get("excluded", 0)
    assert root.newest_mtime == expected.get("newest", 0)
    assert root.incomplete == bool(expected["issues"])
