"""The `orvalnest` command, run as a person runs it: in a child process."""

import json
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from helpers import audit_records, make_file

from orvalnest import __version__, format_bytes, scan

needs_ncdu = pytest.mark.skipif(shutil.which("ncdu") is None, reason="needs Debian's ncdu")


def environment(**changes):
    # A value of None removes the variable.
    env = {**os.environ, **changes}
    return {key: value for key, value in env.items() if value is not None}


def orvalnest(*args, cwd=None, env=None, drop_root=False):
    command = [sys.executable, "-m", "orvalnest", *map(str, args)]
    if drop_root and os.geteuid() == 0:
        # Root reads every folder whatever its mode; without these two
        # capabilities it meets permission errors like anyone else.
        if shutil.which("setpriv") is None:
            pytest.skip("needs setpriv to drop root's file access rights")
        caps = "-dac_override,-dac_read_search"
        command = ["setpriv", f"--bounding-set={caps}", f"--inh-caps={caps}", *command]
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd, env=env or environment(), timeout=120)


def tool(*command):
    # Debian's tools are not built for a preloaded sanitizer runtime.
    return subprocess.run(command, capture_output=True, text=True, env=environment(LD_PRELOAD=None), timeout=60)


def drain(fd):
    data = b""
    try:
        while select.select([fd], [], [], 5)[0] and (chunk := os.read(fd, 65536)):
            data += chunk
    except OSError:  # a pseudo-terminal reports its closing as an error
        pass
    os.close(fd)
    return data


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "root"
    for name, size in [("big.bin", 6000), ("docs/a.txt", 3000), ("docs/b.txt", 1000), ("docs/c.txt", 500)] + [
        ("docs/d.txt", 300),
        ("docs/deep/x.txt", 200),
        ("small.txt", 100),
    ]:
        make_file(root / name, size)
    (root / "empty").mkdir()
    return root  # 11100 bytes, docs 5000


def tree_lines(stdout):
    return stdout.split("\n\n", 1)[0].splitlines()


@pytest.mark.parametrize(
    "options, shown, hidden, folds",
    [
        # shown: (name, size, parent size, level); folds in output order: (count, size, parent size)
        (
            ["--depth", "2", "--top", "2"],
            [("big.bin", 6000, 11100, 1), ("docs", 5000, 11100, 1), ("a.txt", 3000, 5000, 2), ("b.txt", 1000, 5000, 2)],
            ["small.txt", "empty", "c.txt", "deep", "x.txt"],
            [(3, 1000, 5000), (2, 100, 11100)],
        ),
        (
            ["--depth", "1", "--top", "0"],
            [("big.bin", 6000, 11100, 1), ("docs", 5000, 11100, 1), ("small.txt", 100, 11100, 1), ("empty", 0, 0, 1)],
            ["a.txt", "x.txt"],
            [],
        ),
        (["--depth", "3"], [("docs", 5000, 11100, 1), ("deep", 200, 5000, 2), ("x.txt", 200, 200, 3)], [], []),
    ],
)
def test_tree_shows_largest_first_with_shares_and_folds(tree, options, shown, hidden, folds):
    result = orvalnest("scan", tree, *options)
    assert result.returncode == 0, result.stderr
    lines = tree_lines(result.stdout)
    assert lines[0].endswith(str(tree)) and format_bytes(11100) in lines[0]
    positions, columns = [], {}
    for name, size, parent, level in shown:
        [index] = [i for i, line in enumerate(lines) if line.endswith(name)]
        assert lines[index].lstrip().startswith(format_bytes(size) + " ")
        assert f" {100 * size / parent if parent else 0:.1f}% " in lines[index]
        positions.append(index)
        columns.setdefault(level, set()).add(lines[index].index(name))
    assert positions == sorted(positions)  # largest first, children right under their parent
    assert [len(c) for c in columns.values()] == [1] * len(columns)  # one indentation per level
    assert sorted(columns) == sorted(columns, key=lambda level: min(columns[level]))
    assert not [line for line in lines for name in hidden if line.endswith(name)]
    fold_lines = [line for line in lines if " more (" in line]
    assert len(fold_lines) == len(folds)
    for line, (count, size, parent) in zip(fold_lines, folds, strict=True):
        assert line.endswith(f"… {count} more ({format_bytes(size)})")
        assert f" {100 * size / parent:.1f}% " in line


def test_summary_counts_the_whole_tree(tree):
    make_file(tree / "photo.jpg", 400)
    summary = orvalnest(tree, "--depth", "0").stdout.split("\n\n", 1)[1]
    assert re.search(rf"^total +{re.escape(format_bytes(11500))} \(11500 bytes\)$", summary, re.M)
    assert re.search(r"^files +8\ndirectories +3$", summary, re.M)
    categories = re.findall(r"^  ([a-z]+) +(.+?) +[\d.]+% +(\d+) files?$", summary, re.M)
    assert categories == [
        ("other", format_bytes(6000), "1"),
        ("document", format_bytes(5100), "6"),
        ("image", "400 B", "1"),
    ]
    assert re.search(r"^issues +0\nelapsed +\d+\.\d\d s$", summary, re.M)


def test_names_cannot_inject_terminal_control(tmp_path):
    make_file(tmp_path / "evil\x1b]0;owned\x07name", 20)
    make_file(tmp_path / "two\nlines", 10)
    result = orvalnest(tmp_path)
    assert "\x1b" not in result.stdout and "\x07" not in result.stdout
    assert tree_lines(result.stdout)[1].endswith("evil\\x1b]0;owned\\x07name")
    assert tree_lines(result.stdout)[2].endswith("two\\x0alines")


@pytest.mark.parametrize("terminal, no_color, fancy", [(False, None, False), (True, "1", False), (True, None, True)])
def test_colour_and_block_bars_only_on_a_terminal(tree, terminal, no_color, fancy):
    env = environment(NO_COLOR=no_color, TERM="xterm-256color", PYTHONIOENCODING="utf-8")
    args = [sys.executable, "-m", "orvalnest", str(tree), "--top", "2"]
    if terminal:
        leader, follower = pty.openpty()
        process = subprocess.Popen(args, stdout=follower, stderr=subprocess.DEVNULL, env=env)
        os.close(follower)
        output = drain(leader).decode()
        assert process.wait(timeout=60) == 0
    else:
        output = subprocess.run(args, capture_output=True, text=True, env=env, check=True).stdout
    assert ("\x1b[" in output) is fancy
    assert bool([ch for ch in output if "\u2500" <= ch <= "\u259f"]) is fancy  # box drawing and blocks
    assert "… 2 more (100 B)" in output


@pytest.mark.parametrize("to_stdout", [False, True])
def test_json_export_reads_back_as_the_scan(tree, tmp_path, to_stdout):
    make_file(tree / 'naïve "quoted"\t.txt', 7)
    (tree / "link").symlink_to("big.bin")
    target = "-" if to_stdout else tmp_path / "out.json"
    result = orvalnest(tree, "--json", target)
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout if to_stdout else target.read_text(encoding="utf-8"))
    expected = scan(tree)
    stack = [(data["root"], expected.root)]
    while stack:
        item, node = stack.pop()
        fields = ("name", "path", "size", "is_dir", "category")
        assert [item[field] for field in fields] == [getattr(node, field) for field in fields]
        stack.extend(zip(item["children"], node.children, strict=True))
    assert data["issues"] == [{"path": i.path, "message": i.message} for i in expected.issues]
    if not to_stdout:
        assert f"JSON export to {target}" in result.stdout
        assert sorted(p.name for p in tmp_path.iterdir()) == ["out.json", "root"]  # no temporary left behind


def ncdu_reexport(export, tmp_path):
    """{path tuple: info} of what Debian's ncdu reads from `export` and writes again."""
    again = tmp_path / "again.json"
    result = tool("ncdu", "-f", export, "-o", again)
    # ncdu 1.18 exits 0 even on a file it rejects; only its message tells.
    assert result.stderr.strip() == "" and result.returncode == 0
    data = json.loads(again.read_text(encoding="utf-8"))
    assert data[:2] == [1, 2] and len(data) == 4
    items, stack = {}, [(data[3], ())]
    while stack:
        node, parents = stack.pop()
        info, children = (node[0], node[1:]) if isinstance(node, list) else (node, [])
        items[(*parents, info["name"])] = info
        stack.extend((child, (*parents, info["name"])) for child in children)
    return items


@needs_ncdu
def test_ncdu_opens_the_export_and_sees_unreadable_entries(tree, tmp_path):
    out = tmp_path / "out"
    out.mkdir(mode=0o777)
    out.chmod(0o777)
    make_file(tree / "docs" / "résumé\x01.txt", 33)
    (tree / "link").symlink_to("big.bin")
    make_file(tree / "locked" / "hidden.bin", 50)
    make_file(tree / "unsearchable" / "listed.bin", 60)
    (tree / "locked").chmod(0o000)
    (tree / "unsearchable").chmod(0o444)  # its names can be listed, their metadata not read
    try:
        result = orvalnest(tree, "--ncdu", out / "scan.json", "--issues", drop_root=True)
    finally:
        (tree / "locked").chmod(0o755)
        (tree / "unsearchable").chmod(0o755)
    assert result.returncode == 0, result.stderr
    assert re.search(r"^issues +2$", result.stdout, re.M)
    assert f"{tree / 'locked'}: Permission denied (os error 13)\n" in result.stdout
    raw = (out / "scan.json").read_bytes()
    assert "résumé".encode() in raw and b"\\u00e9" not in raw and b"\\u0001" in raw
    assert json.loads(raw)[2]["progname"] == "orvalnest"
    items = ncdu_reexport(out / "scan.json", tmp_path)
    assert sum(info.get("asize", 0) for info in items.values()) == 11133  # the unreadable contents are unknown
    assert items[(str(tree), "docs", "résumé\x01.txt")]["asize"] == 33
    assert items[(str(tree), "link")].get("notreg") is True and "notreg" not in items[(str(tree), "big.bin")]
    assert items[(str(tree), "locked")].get("read_error") is True
    assert items[(str(tree), "unsearchable", "listed.bin")].get("read_error") is True


@needs_ncdu
def test_ncdu_export_marks_pseudo_filesystems(tmp_path):
    with open("/proc/self/mounts", encoding="utf-8") as mounts:
        if not any(line.split()[1:3] == ["/dev/pts", "devpts"] for line in mounts):
            pytest.skip("needs /dev/pts mounted as devpts")
    assert orvalnest("/dev", "--ncdu", tmp_path / "dev.json").returncode == 0
    assert ncdu_reexport(tmp_path / "dev.json", tmp_path)[("/dev", "pts")].get("excluded") == "kernfs"


def test_trash_reports_each_path_in_order_and_audits_it(tree, tmp_path):
    requested = [tree / "small.txt", "/etc/passwd", tree / "docs", tree / "gone"]
    result = orvalnest("trash", "--root", tree, "--audit-dir", tmp_path / "audit", *requested)
    assert result.returncode == 1
    assert result.stdout.splitlines() == [
        f"trashed      {requested[0]}",
        "failed       /etc/passwd: refused: path is outside the scanned folder",
        f"trashed      {requested[2]}",
        f"failed       {requested[3]}: refused: path could not be resolved: No such file or directory (os error 2)",
        f"audit log    {tmp_path / 'audit' / 'deletions.jsonl'}",
    ]
    outcomes = [record["outcome"] for record in audit_records(tmp_path / "audit")]
    assert outcomes == ["trashed", "failed", "trashed", "failed"]
    assert not (tree / "docs").exists()
    listing = tool("trash-list").stdout
    assert f"{requested[0]}\n" in listing and f"{requested[2]}\n" in listing


@pytest.mark.parametrize("source", ["option", "env", "xdg", "home"])
def test_dry_run_takes_relative_paths_and_finds_its_audit_log(tree, tmp_path, isolated_home, source):
    env = environment()
    args = ["--audit-dir", tmp_path / "option"] if source == "option" else []
    if source == "env":
        env["ORVALNEST_AUDIT_LOG_DIR"] = str(tmp_path / "from-env")
    if source == "home":
        env["XDG_STATE_HOME"] = "relative/state"  # not absolute, so not to be used
    expected = {
        "option": tmp_path / "option",
        "env": tmp_path / "from-env",
        "xdg": Path(env["XDG_STATE_HOME"]) / "orvalnest",
        "home": isolated_home / ".local" / "state" / "orvalnest",
    }[source]
    result = orvalnest("trash", "--root", ".", "--dry-run", *args, "big.bin", cwd=tree, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"would trash  {tree / 'big.bin'}\naudit log    {expected}/deletions.jsonl\n"
    assert (tree / "big.bin").exists()
    assert [record["outcome"] for record in audit_records(expected)] == ["would-trash"]


@pytest.mark.parametrize(
    "args, code, stdout, stderr",
    [
        (["check", "--root", "{root}", "{root}/docs/a.txt"], 0, "{root}/docs/a.txt\n", ""),
        (["check", "--root", "{root}", "{root}/nope"], 1, "", "/nope: No such file or directory (os error 2)"),
        (["trash", "{root}/big.bin"], 2, "", "--root"),
        (["trash", "--root", "{root}/nope", "{root}/big.bin"], 1, "", "{root}/nope does not exist"),
        (["{root}/missing"], 1, "", "{root}/missing does not exist"),
        (["{root}", "--json", "-", "--ncdu", "-"], 2, "", "only one of --json, --ncdu and --html"),
        (["{root}", "--ncdu", "{root}/no/such.json"], 1, None, "cannot write the ncdu export to {root}/no/such.json"),
        (["--version"], 0, f"orvalnest {__version__}\n", ""),
        (["--help"], 0, None, ""),
    ],
)
def test_exit_codes_and_messages(tree, args, code, stdout, stderr):
    result = orvalnest(*(arg.format(root=tree) for arg in args))
    assert result.returncode == code
    if stdout is not None:
        assert result.stdout == stdout.format(root=tree)
    assert stderr.format(root=tree) in result.stderr
    assert (tree / "big.bin").exists()


@pytest.mark.parametrize(
    "command, path",
    [("trash", path) for path in ["", ".", "./", "deep/.", "deep/..", ".."]] + [("check", ""), ("check", ".")],
)
def test_empty_and_dot_paths_are_refused_before_anything_happens(tree, tmp_path, command, path):
    # Made absolute, "" and "." would be the working folder, "deep/." its subfolder.
    extra = ["--audit-dir", str(tmp_path / "audit"), str(tree / "big.bin")] if command == "trash" else []
    result = orvalnest(command, "--root", tree, *extra, path, cwd=tree / "docs")
    assert (result.returncode, result.stdout) == (2, "")
    assert f"refusing to act on {path!r}" in result.stderr
    assert (tree / "docs" / "deep").is_dir() and (tree / "big.bin").exists()
    assert not (tmp_path / "audit").exists(), "refused before the audit log was opened"


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
    # Standard error on a terminal, so the status line is drawn and must be cleared.
    leader, follower = pty.openpty()
    args = [sys.executable, "-m", "orvalnest", str(large_tree)]
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=follower, env=environment())
    os.close(follower)
    seen, deadline = b"", time.monotonic() + 60
    while not (b"scanning " in seen and scanning_inside(process.pid, large_tree)) and time.monotonic() < deadline:
        if select.select([leader], [], [], 0)[0]:
            seen += os.read(leader, 4096)
    process.send_signal(signal.SIGINT)
    stdout, _ = process.communicate(timeout=60)
    seen += drain(leader)
    assert process.returncode == 130
    assert stdout == b""  # no partial tree
    assert f"scanning {large_tree}".encode() in seen
    assert seen.rsplit(b"\x1b[K", 1)[1] == b"orvalnest: interrupted\r\n"
