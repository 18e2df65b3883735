"""The HTML report's file: which entries it keeps, what it totals, and that
names stay data whatever they hold. What the page does with it is tested in a
real browser (test_html_browser.py)."""

import json
import re

import pytest
from helpers import make_file
from helpers import walk as walk_nodes

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
    match = re.search(r'<script type="application/json" id="scan-data">(.*?)</script>', page, re.S)
    assert match is not None
    return json.loads(match[1])


def walk(item, path=()):
    yield path, item
    for child in item[4] if len(item) > 4 else ():
        yield from walk(child, (*path, child[0]))


@pytest.fixture
def tree(tmp_path):
    # A name holds no "/", but a root's path can end a script element.
    root = tmp_path / "<" / "script><b>root&"
    make_file(root / "big" / "huge.bin", 400_000)
    make_file(root / "small" / "half1.txt", 9000)
    make_file(root / "small" / "half2.txt", 9000)
    make_file(root / "small" / "deep" / "er" / "est.jpg", 5000)
    for i in range(12):
        make_file(root / f"crumb{i:02}.log", 10)
    for name in HOSTILE:
        make_file(root / "names" / name, 3)
    return root


@pytest.mark.parametrize("budget", [0, 2, 5, 9, 10_000])
def test_kept_entries_are_the_best_ranked_and_every_byte_is_accounted_for(tree, budget):
    result = orvalnest.scan(str(tree))
    data = embedded(render_html(result.root, result.issues, budget=budget))
    entries = sum(1 for _ in walk(data["tree"])) - 1
    assert data["entries"] == len(list(walk_nodes(result.root))) - 1
    assert data["kept"] == entries == min(budget, data["entries"])
    # Every folder: kept children + folded ones + its own space = its size.
    by_path = {node.path: node for node in walk_nodes(result.root)}
    for path, item in walk(data["tree"]):
        node = by_path["/".join((str(tree), *path))]
        assert item[1:3] == [node.disk_usage, node.size]
        if node.is_dir:
            listed = [len(item[4]), sum(child[1] for child in item[4]), sum(child[2] for child in item[4])]
            whole = [len(node.children), sum(c.disk_usage for c in node.children), sum(c.size for c in node.children)]
            assert [a + b for a, b in zip(item[5] if len(item) > 5 else [0, 0, 0], listed, strict=True)] == whole
    kept = {"/".join(path) for path, _ in walk(data["tree"])}
    if budget == 5:
        # The big file's folder and the two halves of a small folder, which fill
        # the view of that folder, rank above crumbs that no zoom makes visible.
        assert {"big", "big/huge.bin", "small"} <= kept
        assert not any(path.startswith("crumb") for path in kept)


def test_command_line_writes_a_page_whose_header_and_legend_add_up_to_the_scan(tree, capsys):
    result = orvalnest.scan(str(tree))
    assert main([str(tree), "--html", "-"]) == 0
    page = capsys.readouterr().out
    assert page.startswith("<!DOCTYPE html>") and page.rstrip().endswith("</html>")  # the page alone, no tree
    data = embedded(page)
    nodes = list(walk_nodes(result.root))
    folders = sum(node.is_dir for node in nodes)
    disk, size, files = result.root.disk_usage, result.root.size, len(nodes) - folders
    assert data["totals"] == dict(disk=disk, size=size, files=files, folders=folders, issues=0, excluded=0)
    sums = {key: sum(row[key] for row in data["legend"]) for key in ("disk", "size", "count")}
    assert sums == {"disk": disk, "size": size, "count": len(nodes)}
