"""The engine's exports through an overlay: a tree after trashes and rescans
(entries left out, folders shown as a newer scan of themselves) must read as
a scan of the disk as it is now."""

import json
import os
import shutil

import pytest
from helpers import make_file

from orvalnest import _engine, cli, measure
from orvalnest.commands import scan


def exported(kind, root, **overlay):
    read, write = os.pipe()
    with os.fdopen(read, "rb") as reader, os.fdopen(write, "wb") as writer:
        # Small trees: the pipe's buffer holds all of it.
        getattr(_engine, f"write_{kind}")(root, writer.fileno(), **overlay)
        writer.close()
        return json.loads(reader.read())


def json_sizes(data):
    """path -> (size, disk usage, apparent size) of every node of a JSON export."""
    found, stack = {}, [data["root"]]
    while stack:
        node = stack.pop()
        found[node["path"]] = (node["size"], node["disk_usage"], node["apparent_size"])
        stack.extend(node["children"])
    return found


def ncdu_sizes(data):
    """path -> (asize, dsize, hard link) of every item of an ncdu export."""
    found, stack = {}, [(data[3], "")]
    while stack:
        node, parent = stack.pop()
        info, children = (node[0], node[1:]) if isinstance(node, list) else (node, [])
        path = os.path.join(parent, info["name"])
        found[path] = (info.get("asize"), info.get("dsize"), info.get("hlnkc"))
        stack.extend((child, path) for child in children)
    return found


def at(tree, *names):
    entry = tree.root
    for name in names:
        entry = next(child for child in entry.children if child.name == name)
    return entry


def test_an_overlay_reads_as_a_fresh_scan_of_what_is_left(tmp_path):
    root = tmp_path / "root"
    for name, size in [("a/x", 1000), ("a/y", 20000), ("b/c/z", 5000), ("b/w", 300), ("d", 7000), ("e/f", 100)]:
        make_file(root / name, size)
    os.link(root / "a" / "x", root / "b" / "x-again")
    for path, seconds in [(root / "a" / "x", 2000), (root / "a" / "y", 3000), (root / "a", 1000)]:
        os.utime(path, (seconds, seconds))
    tree = measure(root)
    removed = [at(tree, "a", "y"), at(tree, "d")]  # trashed
    for path in ("a/y", "d", "b/w"):
        os.unlink(root / path)
    make_file(root / "b" / "c" / "new", 9000)
    rescan = measure(root / "b")  # b scanned again, then z trashed inside it
    removed.append(at(rescan, "c", "z"))
    os.unlink(root / "b" / "c" / "z")
    make_file(root / "e" / "g", 40_000)
    first = measure(root / "e")
    make_file(root / "e" / "h", 60_000)
    second = measure(root / "e")  # e scanned twice
    replaced = {at(tree, "b"): rescan.root, at(tree, "e"): first.root, first.root: second.root}

    fresh = measure(root)
    overlay = {"removed": removed, "replaced": replaced}
    shown = exported("json", tree.root, **overlay)
    assert json_sizes(shown) == json_sizes(exported("json", fresh.root))
    assert ncdu_sizes(exported("ncdu", tree.root, **overlay)) == ncdu_sizes(exported("ncdu", fresh.root))
    # The folder on screen alone, and its newest time without what left it.
    folder = exported("json", at(tree, "a"), **overlay)["root"]
    assert (folder["name"], folder["newest_mtime"], [child["name"] for child in folder["children"]]) == (
        "a",
        2000,
        ["x"],
    )
    assert json_sizes(exported("json", at(tree, "b"), **overlay)) == json_sizes(
        exported("json", measure(root / "b").root)
    )


def test_an_overlay_that_cannot_be_shown_is_refused(tmp_path):
    make_file(tmp_path / "a" / "x", 10)
    one, two = measure(tmp_path), measure(tmp_path / "a")
    with pytest.raises(ValueError, match="among the removed"):
        _engine.write_json(one.root, 1, removed=[one.root])
    with pytest.raises(ValueError, match="circle"):
        _engine.write_json(one.root, 1, replaced={at(one, "a"): two.root, two.root: at(one, "a")})
    with pytest.raises(TypeError, match="Entry"):
        _engine.write_ncdu(one.root, 1, removed=[str(tmp_path / "a")])


def test_a_wide_folder_is_written_in_one_pass(tmp_path, monkeypatch, capsys):
    # Reading a folder's children again for each child made a folder of
    # 200,000 files take minutes; the command reads none from Python at all.
    wide = tmp_path / "wide"
    wide.mkdir()
    for i in range(20_000):
        os.close(os.open(wide / f"f{i:05}", os.O_WRONLY | os.O_CREAT, 0o644))
    trees = []
    monkeypatch.setattr(
        scan, "measure_tree", lambda *args, **options: trees.append(measure(*args, **options)) or trees[-1]
    )
    assert cli.main([str(wide), "--ncdu", str(tmp_path / "out.json"), "--json", str(tmp_path / "out2.json")]) == 0
    assert "… 19990 more" in capsys.readouterr().out
    assert trees[0].children_reads == 0
    assert len(ncdu_sizes(json.loads((tmp_path / "out.json").read_text()))) == 20_001
    shutil.rmtree(wide)  # inodes are shared with other work on this machine
