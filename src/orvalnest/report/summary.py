"""The summary of a text report: the two totals, then the counts, the
categories, the issues and the time. Every line is fitted to the terminal on
its own, so a narrow one never runs two lines' numbers together."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass

from orvalnest.view import Issue, Totals, display_width, format_size, is_skip, printable, share, shorten_middle


@dataclass(frozen=True)
class Units:
    """How a size is written: exact byte counts (--bytes, for scripts), else
    one decimal in powers of 1024, or of 1000 (--si)."""

    exact_bytes: bool = False
    si: bool = False

    def amount(self, size: int) -> str:
        return str(size) if self.exact_bytes else format_size(size, self.si)


def fit(line: str, width: int | None) -> str:
    """`line` shortened in the middle to `width` columns (None: kept whole)."""
    return line if width is None else shorten_middle(line, width)


def fit_first(variants: Sequence[str], width: int | None) -> str:
    """The first of `variants` (longest and fullest first) that fits `width`
    columns, else the last one shortened in the middle."""
    for variant in variants:
        if width is None or display_width(variant) <= width:
            return variant
    return fit(variants[-1], width)


def _total_variants(label: str, size: int, kind: str, at_least: bool, units: Units) -> list[str]:
    amount = f"{size} bytes" if units.exact_bytes else units.amount(size)
    exact = "" if units.exact_bytes else f" ({size} bytes)"
    bound = "at least " if at_least else ""
    tail = f" {kind}" if kind else ""
    # A narrower terminal loses the byte count, then the padding, then the
    # kind: never the number, and never into the next line's.
    return [
        f"{label:<12} {bound}{amount}{exact}{tail}",
        f"{label:<12} {bound}{amount}{tail}",
        f"{label} {bound}{amount}{tail}",
        f"{label} {bound}{amount}",
    ]


def total_lines(
    disk_usage: int, apparent_size: int, apparent: bool, at_least: bool, units: Units, width: int | None
) -> list[str]:
    """Two lines: the total of the sizes shown, saying which they are, then the
    other total, both cut the same way to fit; "at least" in both when part of
    the tree could not be counted."""
    if apparent:
        first = _total_variants("total", apparent_size, "apparent size", at_least, units)
        second = _total_variants("disk usage", disk_usage, "", at_least, units)
    else:
        first = _total_variants("total", disk_usage, "disk usage", at_least, units)
        second = _total_variants("apparent", apparent_size, "", at_least, units)
    for pair in zip(first, second, strict=True):
        if width is None or max(map(display_width, pair)) <= width:
            return list(pair)
    return [fit(first[-1], width), fit(second[-1], width)]


def issue_count_lines(issues: Sequence[Issue], list_issues: bool, width: int | None) -> list[str]:
    if not issues:
        return ["issues       0"]
    skipped = sum(1 for issue in issues if is_skip(issue.message))
    unreadable = len(issues) - skipped
    counted = fit_first(
        [
            f"issues       {unreadable} could not be read, {skipped} skipped on purpose",
            f"issues       {unreadable} unreadable, {skipped} skipped",
        ],
        width,
    )
    if list_issues:
        # A path is cut in its middle, where its start and end stay readable.
        return [counted, *(fit("  " + line, width) for line in issue_lines(issues))]
    return [counted, fit_first(["             (list them with --issues)", "  (list them with --issues)"], width)]


def detail_lines(
    totals: Totals,
    shown_total: int,
    issues: Sequence[Issue],
    excluded: int,
    seconds: float,
    units: Units,
    list_issues: bool,
    width: int | None,
) -> list[str]:
    """Everything the summary says after the two totals, each line fitted to `width` columns."""
    lines = [f"files        {totals.files}", f"folders      {totals.folders}"]
    if excluded:
        lines.append(f"excluded     {excluded}")
    if totals.by_category:
        lines.append("by category")
        for category, (size, count) in totals.by_category.items():
            noun = "file" if count == 1 else "files"
            amount, percent = units.amount(size), share(size, shown_total)
            columns = f"  {category:<10}  {amount:>10}  {percent:5.1f}%  {count} {noun}"
            lines.append(fit_first([columns, f"  {category} {amount} {percent:.1f}% {count} {noun}"], width))
    lines += issue_count_lines(issues, list_issues, width)
    lines.append(f"elapsed      {seconds:.2f} s")
    return lines


def issue_lines(issues: Iterable[Issue]) -> Iterable[str]:
    for issue in issues:
        yield f"{printable(issue.path)}: {printable(issue.message)}"
