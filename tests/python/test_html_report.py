"""The HTML report's file: which entries it keeps, what it totals, and that
names stay data whatever they hold. What the page does with it is tested in a
real browser (test_html_browser.py)."""

import json
import re

import pytest
from helpers import make_file

import orvalnest
from orvalnest.cli import main
from orvalnest.report.html_report import render_html

HOSTILE = [
    "<img src=x onerror=alert(1)>",
    "<!-- & &amp; \u2028 'q\"",
    "tab\there\nnewline",
]


def embedded(page):
    """The scan data of a page, parsed as the page parses it."""
    match = re.search(r'<script type="application/json" id="scan-data">(.*?)</script[\s/>]', page, re.S | re.I)
    assert match is not None
    # Whatever a name holds, nothing in the data can end or bend the element.
    assert not {"<", ">", "&"} & set(match[1])
    return json.loads(match[1])


def walk(item, path=()):
    yield path, item
    for child in item[4] if len(item) > 4 else ():
        yield from walk(child, (*path, child[0]))


@pytest.fixture
def tree(tmp_path):
    # A name holds no "/", but a root's path can end a script element.
    root = tmp_path / "<" / "script <b>root&"
    make_file(root / "big" / "huge.bin", 400_000)
    make_file(root / "small" / "half1.txt", 9000)
    make_file(root / "small" / "half2.txt", 9000)
    make_file(root / "small" / "deep" / "er" / "est.jpg", 5000)
    for i in range(12):
        make_file(root / f"crumb{i:02}.log", 10)
    for name in HOSTILE:
        make_file(root / "names" / name, 3)
    return root


def entries(tree):
    stack = [tree.root]
    while stack:
        entry = stack.pop()
        yield entry
        stack.extend(entry.children)


@pytest.mark.parametrize("budget", [0, 2, 5, 9, 10_000])
def test_kept_entries_are_the_best_ranked_and_every_byte_is_accounted_for(tree, budget):
    scanned = orvalnest.measure(tree)
    data = embedded(render_html(scanned.root, budget=budget))
    kept = sum(1 for _ in walk(data["tree"])) - 1
    assert data["entries"] == len(scanned) - 1
    assert data["kept"] == kept == min(budget, data["entries"])
    # Every folder: kept children + folded ones = all its children.
    by_path = {entry.path: entry for entry in entries(scanned)}
    for path, item in walk(data["tree"]):
        entry = by_path["/".join((str(tree), *path))]
        assert item[1:3] == [entry.disk_usage, entry.apparent_size]
        if entry.is_dir:
            children = entry.children
            listed = [len(item[4]), sum(child[1] for child in item[4]), sum(child[2] for child in item[4])]
            whole = [len(children), sum(c.disk_usage for c in children), sum(c.apparent_size for c in children)]
            assert [a + b for a, b in zip(item[5] if len(item) > 5 else [0, 0, 0], listed, strict=True)] == whole
    kept = {"/".join(path) for path, _ in walk(data["tree"])}
    if budget == 5:
        # The big file's folder and the two halves of a small folder, which fill
        # the view of that folder, rank above crumbs that no zoom makes visible.
        assert {"big", "big/huge.bin", "small"} <= kept
        assert not any(path.startswith("crumb") for path in kept)


def test_command_line_writes_a_page_whose_header_and_legend_add_up_to_the_scan(tree, capsys):
    scanned = orvalnest.measure(tree, exclude=["crumb00.log"])
    assert main([str(tree), "--html", "-", "--exclude", "crumb00.log"]) == 0
    page = capsys.readouterr().out
    assert page.startswith("<!DOCTYPE html>") and page.rstrip().endswith("</html>")  # the page alone, no tree
    data = embedded(page)
    disk, size = scanned.root.disk_usage, scanned.root.apparent_size
    totals = dict(disk=disk, size=size, files=scanned.files, folders=scanned.directories, issues=0, excluded=1)
    assert data["totals"] == totals
    sums = {key: sum(row[key] for row in data["legend"]) for key in ("disk", "size", "count")}
    assert sums == {"disk": disk, "size": size, "count": len(scanned)}
