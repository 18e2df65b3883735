"""The HTML report in a real browser: Debian's Chromium driven by Playwright,
the page opened from file:// as a person would open it."""

import os
import shutil

import pytest
from helpers import SI_CASES, make_file
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_cli import orvalnest as run_command

import orvalnest
from orvalnest.report.html_report import _asset, render_html
from orvalnest.view import format_size, printable

HOSTILE = "<img src=x onerror=alert(1)>"
ESCAPED = "&lt;b&gt; & <!-- \"q'"
BIDI = "\u202egnp.exe"  # shows as "exe.png" unless escaped


@pytest.fixture(scope="module")
def browser():
    if os.environ.get("ORVALNEST_SANITIZED"):
        pytest.skip("the sanitizer run checks the native code; the browser would inherit its preloaded runtimes")
    try:
        from playwright.sync_api import Error, sync_playwright
    except ImportError:
        pytest.skip("playwright is not installed (pip install '.[test]')")
    executable = shutil.which("chromium") or shutil.which("chromium-browser")
    if executable is None:
        pytest.skip("no chromium on PATH (apt-get install chromium)")
    with sync_playwright() as playwright:
        try:
            instance = playwright.chromium.launch(executable_path=executable, args=["--no-sandbox"])
        except Error as error:
            pytest.skip(f"chromium cannot start: {error}")
        yield instance
        instance.close()


class Watched:
    """A page with everything it must not do (errors, warnings, requests, dialogs) recorded in `faults`."""

    def __init__(self, browser, url):
        self.page = browser.new_page(viewport={"width": 1200, "height": 800})
        self.faults = []
        self.page.on("console", lambda m: m.type in ("error", "warning") and self.faults.append(m.text))
        self.page.on("pageerror", lambda e: self.faults.append(str(e)))
        self.page.on("request", lambda r: r.url != url and self.faults.append(r.url))
        self.page.on("dialog", lambda d: (self.faults.append(d.message), d.dismiss()))
        self.page.goto(url)

    def rects(self):
        return self.page.evaluate("orvalnestTreemap.rects()")

    def rect(self, path):
        return next(r for r in self.rects() if r["path"] == path and r["kind"] != "fold")

    def click(self, path):
        rect = self.rect(path)  # on the folder's name strip, 6 pixels below its top
        self.page.locator("#map").click(position={"x": rect["x"] + rect["w"] / 2, "y": rect["y"] + 6})

    def hover(self, rect):
        self.page.locator("#map").hover(position={"x": rect["x"] + rect["w"] / 2, "y": rect["y"] + rect["h"] / 2})
        return self.page.locator("#tip").text_content()


@pytest.fixture(scope="module")
def layout_page(browser):
    page = browser.new_page()
    page.set_content("<!DOCTYPE html><script>" + _asset("squarify.js") + "</script>")
    yield page
    page.close()


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    values=st.lists(st.integers(0, 10**12), min_size=1, max_size=60).map(lambda v: sorted(v, reverse=True)),
    box=st.tuples(st.floats(0, 500), st.floats(0, 500), st.floats(1, 2000), st.floats(1, 2000)),
)
def test_squarify_areas_follow_values_without_overlap_inside_the_parent(layout_page, values, box):
    x, y, w, h = box
    flat = layout_page.evaluate("([v, b]) => Array.from(squarify(v, ...b))", [values, list(box)])
    rects = [flat[i : i + 4] for i in range(0, len(flat), 4)]
    total = sum(values)
    slack = 1e-6 * (w + h)
    for value, (rx, ry, rw, rh) in zip(values, rects, strict=True):
        assert rw >= -slack and rh >= -slack
        expected = w * h * value / total if total else 0.0
        assert abs(rw * rh - expected) <= 0.01 * expected + slack * (w + h)
        if value:
            assert x - slack <= rx and rx + rw <= x + w + slack and y - slack <= ry and ry + rh <= y + h + slack
    for i, a in enumerate(rects):
        for b in rects[i + 1 :]:
            overlap_w = min(a[0] + a[2], b[0] + b[2]) - max(a[0], b[0])
            overlap_h = min(a[1] + a[3], b[1] + b[3]) - max(a[1], b[1])
            assert overlap_w <= slack or overlap_h <= slack


@pytest.fixture(scope="module")
def scanned(tmp_path_factory):
    # No name holds a "/", but a root's path can hold "</script>" and "</title>".
    root = tmp_path_factory.mktemp("report") / "x<" / "script><script>alert(2)<" / "title>\u2028\u202eq"
    make_file(root / "big" / "a.bin", 600_000)
    make_file(root / "big" / "b.bin", 200_000)
    make_file(root / "big" / "sub" / "c.bin", 100_000)
    make_file(root / "big" / "sub" / BIDI, 250_000)
    make_file(root / "photos" / "x.jpg", 300_000)
    make_file(root / HOSTILE, 150_000)
    make_file(root / ESCAPED, 120_000)
    for i in range(40):
        make_file(root / "many" / f"f{i:02}.txt", 3000 + i)
    return root, orvalnest.measure(root)


@pytest.fixture(scope="module")
def report(browser, scanned, tmp_path_factory):
    root, result = scanned
    target = tmp_path_factory.mktemp("pages") / "report.html"
    # A small budget, so that folding shows in a small tree.
    target.write_text(render_html(result.root, budget=20), encoding="utf-8")
    watched = Watched(browser, target.as_uri())
    yield watched
    watched.page.close()


def test_page_draws_proportional_rectangles_and_names_as_text_without_errors_or_requests(report, scanned):
    root, result = scanned
    page = report.page
    areas = {r["path"]: r["w"] * r["h"] for r in report.rects() if r["depth"] == 1 and r["kind"] != "fold"}
    shares = {child.path: child.disk_usage / result.root.disk_usage for child in result.root.children}
    assert {path: area / sum(areas.values()) for path, area in areas.items()} == pytest.approx(shares, rel=0.01)
    # The page's own texts as the terminal shows names: line breaks and bidi controls escaped.
    assert page.title() == printable(str(root)) + " · orvalnest"
    assert page.locator("#root").text_content() == printable(str(root))
    names = page.locator("#largest .name").all_text_contents()
    folders = dict(zip(names, page.locator("#largest .where").all_text_contents(), strict=True))
    shown = [folders[name] for name in (HOSTILE, ESCAPED, "\\u202egnp.exe", "c.bin")]  # each with its folder
    assert shown == ["./", "./", "big/sub/", "big/sub/"] and "</script>" in str(root) and "</title>" in str(root)
    assert page.locator("img").count() == 0 and page.locator("script").count() == 2
    assert HOSTILE in report.hover(report.rect(str(root / HOSTILE)))
    assert report.hover(report.rect(str(root / "big" / "sub" / BIDI))).startswith(printable(str(root / "big/sub/")))
    assert "\u202e" not in page.locator("body").inner_text()
    assert report.faults == []


def test_hover_tells_path_sizes_and_shares_and_what_was_folded(report, scanned):
    root, result = scanned
    folder = next(child for child in result.root.children if child.name == "photos")
    [node] = folder.children
    sizes = orvalnest.format_bytes(node.disk_usage), orvalnest.format_bytes(node.apparent_size)
    shares = 100 * node.disk_usage / result.root.disk_usage, 100 * node.disk_usage / folder.disk_usage
    expected = "{}\ndisk usage {} · apparent size {}\n{:.1f}% of the root, {:.1f}% of its folder\nimage"
    assert report.hover(report.rect(node.path)) == expected.format(printable(node.path), *sizes, *shares)
    many = next(r for r in report.rects() if r["kind"] == "fold" and r["path"].endswith("/many"))
    kept = [r for r in report.rects() if r["path"].startswith(many["path"] + "/") and r["kind"] == "file"]
    assert many["count"] + len(kept) == 40
    assert f"… {many['count']} smaller items in {printable(many['path'])}" in report.hover(many)


def test_click_zooms_and_escape_and_backspace_return(report, scanned):
    root, _ = scanned
    page = report.page
    big = str(root / "big")
    report.click(big)
    assert page.evaluate("orvalnestTreemap.view()") == big
    assert page.locator("#crumbs button").all_text_contents() == [printable(str(root)), "big"]
    assert {r["path"] for r in report.rects() if r["depth"] == 1} == {big + "/a.bin", big + "/b.bin", big + "/sub"}
    report.click(big + "/sub")
    assert page.evaluate("orvalnestTreemap.view()") == big + "/sub"
    page.keyboard.press("Backspace")
    assert page.evaluate("orvalnestTreemap.view()") == big
    page.keyboard.press("Escape")
    assert page.evaluate("orvalnestTreemap.view()") == str(root)
    assert report.faults == []


@pytest.mark.parametrize("si", [False, True])
def test_page_writes_sizes_as_the_command_line_and_says_when_totals_are_short(browser, tmp_path, si):
    root, target = tmp_path / "root", tmp_path / "page.html"
    make_file(root / "a.bin", 5000)
    (root / "locked").mkdir(mode=0o755 - 0o755 * si)  # unreadable to the command below
    assert run_command(root, "--html", target, *["--si"] * si, drop_root=True).returncode == 3 * si
    (root / "locked").chmod(0o755)
    watched = Watched(browser, target.as_uri())
    sizes = [size for size, _ in SI_CASES if size < 2**53] + [1280, 1792, 1048575, 10**9]
    assert watched.page.evaluate("(sizes) => sizes.map(orvalnestTreemap.formatBytes)", sizes) == [
        format_size(size, si) for size in sizes
    ]
    bound = "at least " * si
    disk = orvalnest.measure(root).root.disk_usage
    assert f"disk usage {bound}{format_size(disk, si)}" in watched.page.locator("#facts").inner_text()
    assert watched.faults == []
    watched.page.close()
