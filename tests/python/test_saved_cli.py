"""Saved scans, imports and diff at the command line: a saved scan, ncdu's export
and the JSON export of a tree report what the scan of it reports."""

import json
import os
import shutil
import subprocess
import sys

import pytest
from helpers import make_file


def run(*args, stdin=None):
    command = [sys.executable, "-m", "orvalnest", *map(str, args)]
    return subprocess.run(command, capture_output=True, input=stdin, timeout=120)


def report(result):
    """The text report without the lines that differ between runs: the time taken and the files written."""
    assert result.returncode == 0, result.stderr
    lines = result.stdout.decode(errors="surrogateescape").splitlines()
    return [line for line in lines if not line.startswith(("elapsed", "wrote"))]


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "root"
    sizes = {"big.bin": 6000, "docs/a.txt": 3000, "docs/b.txt": 1000, "docs/deep/x.txt": 200, "small.txt": 100}
    for name, size in {**sizes, "skip.log": 5}.items():
        make_file(root / name, size)
    (root / "empty").mkdir()
    (root / "link").symlink_to("big.bin")
    os.link(root / "big.bin", root / "docs" / "hard")
    (root / os.fsdecode(b"caf\xe9")).write_bytes(b"12")
    return root


REPORT = ("--top", "0", "--depth", "9", "--issues", "--bytes", "--exclude", "*.log")


def test_a_saved_scan_and_the_exports_of_a_tree_report_what_its_scan_does(tree, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    exports = {kind: (out / f"live.{kind}", out / f"saved.{kind}") for kind in ("json", "ncdu", "html")}
    live = run(tree, *REPORT, "--save", out / "scan", *(a for k, (f, _) in exports.items() for a in (f"--{k}", f)))
    assert report(run(tree, *REPORT)) == report(live)  # the scan kept for saving reports as the plain one
    assert b"wrote        saved scan to " in live.stdout
    saved = run("-f", out / "scan", *REPORT, *(a for k, (_, f) in exports.items() for a in (f"--{k}", f)))
    assert report(saved) == report(live)
    for live_export, saved_export in exports.values():
        assert saved_export.read_bytes() == live_export.read_bytes(), saved_export
    piped = run("-f", "-", *REPORT, stdin=run(tree, "--exclude", "*.log", "--save", "-").stdout)
    assert report(piped) == report(live)
    readers = [out / "live.json", out / "live.ncdu"]
    if shutil.which("ncdu"):
        theirs = subprocess.run(["ncdu", "--exclude", "*.log", "-o", out / "theirs.ncdu", tree], capture_output=True)
        assert theirs.returncode == 0
        readers.append(out / "theirs.ncdu")
    for export in readers:
        assert report(run("-f", export, *REPORT)) == report(live), export
    # Saved again from an import, the tree is still the same one.
    assert report(run("-f", out / "saved.ncdu", "--save", out / "again")) == report(run("-f", out / "scan"))


def damaged(kind, folder):
    scan = folder / "scan"
    assert run(folder / "tree", "--save", scan).returncode == 0
    data = scan.read_bytes()
    contents = {
        "cut": data[: len(data) // 2],
        "flipped": data[:-1] + bytes([data[-1] ^ 1]),  # the last name's last byte
        "future": data[:8] + (9).to_bytes(4, "little") + data[12:],
        "empty": b"",
        "text": b"hello\n",
        "gzip": b"\x1f\x8b\x08\x00",
        "json cut": b'{"version":1,"root":{"name":"r","path":"/r","children":[',
        "ncdu 2": b"[2,0,{},[]]",
    }
    target = folder / kind.replace(" ", "-")
    target.write_bytes(contents[kind])
    return target


@pytest.mark.parametrize(
    "kind, reason",
    [
        ("cut", "truncated: "),
        ("flipped", "damaged: section POOL's checksum does not match"),
        ("future", "saved in format version 9 by a newer orvalnest; this one reads version 1"),
        ("empty", "empty"),
        ("text", "not a saved scan, ncdu export or orvalnest JSON export"),
        ("gzip", "compressed: decompress it first"),
        ("json cut", "cut short"),
        ("ncdu 2", "an ncdu export of major version 2; this reads version 1"),
    ],
)
def test_a_file_that_holds_no_tree_is_one_line_naming_it(tmp_path, kind, reason):
    make_file(tmp_path / "tree" / "f", 10)
    target = damaged(kind, tmp_path)
    for command in (["-f", target], ["diff", target, tmp_path / "tree"]):
        result = run(*command)
        message = result.stderr.decode()
        assert (result.returncode, result.stdout, message.count("\n")) == (1, b"", 1), message
        assert message.startswith(f"orvalnest: {target}: ") and reason in message


def test_diff_shows_what_changed_largest_first_and_a_rename_as_gone_and_new(tree, tmp_path):
    saved = tmp_path / "before"
    assert run(tree, "--save", saved).returncode == 0
    make_file(tree / "docs" / "a.txt", 30000)  # grew
    (tree / "small.txt").unlink()  # disappeared
    make_file(tree / "new" / "video.bin", 90000)  # appeared, in a new folder
    (tree / "docs" / "deep").rename(tree / "docs" / "deeper")  # renamed: one gone, one new
    result = run("diff", saved, tree, "--bytes")
    lines = report(result)
    assert lines[0].startswith(f"old          {tree}  (saved scan of ")
    assert lines[1] == f"new          {tree}  (scanned now)"
    tree_part = lines[3 : lines.index("", 3)]
    assert tree_part == [
        f"    +118784  ~  {tree}",  # 92 KB new, 28 KB grown, 4 KB gone
        "     +94208  +  |-- new/  (new)",
        "     +28672  ~  |-- docs/",
        "     +28672  ~  |   |-- a.txt",
        "      -8192  -  |   |-- deep/  (gone)",  # a tie: by name
        "      +8192  +  |   `-- deeper/  (new)",
        "      -4096  -  `-- small.txt  (gone)",
    ]
    totals = lines[lines.index("", 3) + 1 :]
    assert totals[:5] == [
        "change       +118784 disk usage (+241.7%)",
        "appeared     4 entries, +102400 disk usage",
        "disappeared  3 entries, -12288 disk usage",
        "grew         1 file, +28672 disk usage",
        "shrank       0 files, 0 disk usage",
    ]
    assert "a renamed or moved folder shows as one gone and one new, each with all its size." in lines
    help_text = " ".join(run("diff", "--help").stdout.decode().split())
    assert "renamed or moved shows as one gone (-) and one new (+)" in help_text
    data = json.loads(run("diff", saved, tree, "--json", "-").stdout)
    assert data["totals"]["disk_usage"] == 118784 and data["old"]["file"] == str(saved)
    changes = {c["name"]: (c["status"], c["disk_usage_delta"]) for c in data["changes"]["children"]}
    assert changes == {"new": ("appeared", 94208), "docs": ("grew", 28672), "small.txt": ("disappeared", -4096)}
    docs = next(c for c in data["changes"]["children"] if c["name"] == "docs")
    assert [(c["name"], c["status"]) for c in docs["children"]] == [
        ("a.txt", "grew"),
        ("deep", "disappeared"),
        ("deeper", "appeared"),
    ]
