"""The scan as the treemap page reads it: which entries the page keeps, the
rest of each folder folded into one box, and the totals of the legend.

A scan of a million entries cannot go into a page that must open in a couple of
seconds, and most of its entries would cover less than a pixel anyway. The
rule: an entry's visibility is its share of the deepest folder, among the root
and the folders one and two levels below it, that contains it -- the largest
area it can have in the views a person reaches with two clicks. An entry never
ranks above its folder (its visibility is capped by its folder's), and ranks by
the larger of its disk-usage and apparent-size shares, so both views of the page
are served. The `budget` entries that rank highest are kept (everything, when the
scan is smaller); ties go to the entry listed first, and a folder is listed
before its entries, so a kept entry's folders are always kept. Each kept folder records how many of its
children were left out, with their sizes, and the page draws them as one
"… N smaller items" box. Zooming deeper than two levels still shows the kept
entries, which are those large against their two-level ancestor.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from orvalnest.view import MARK_HARDLINK, MARK_SKIPPED, MARK_SYMLINK, MARK_UNREADABLE, IssueIndex, TreeNode

BUDGET = 200_000  # kept entries below the root; about 7 MB of page

# The order of the categories in the page; each node stores its index.
CATEGORIES = (
    "directory",
    "archive",
    "audio",
    "video",
    "image",
    "document",
    "code",
    "executable",
    "system",
    "other",
)
_CATEGORY_INDEX = {name: index for index, name in enumerate(CATEGORIES)}
_OTHER = _CATEGORY_INDEX["other"]

# Marker bits above the category index (which takes four bits).
FLAG_UNREADABLE = 16
FLAG_SKIPPED = 32
FLAG_SYMLINK = 64
FLAG_HARDLINK = 128
_MARKER_FLAGS = {
    MARK_UNREADABLE: FLAG_UNREADABLE,
    MARK_SKIPPED: FLAG_SKIPPED,
    MARK_SYMLINK: FLAG_SYMLINK,
    MARK_HARDLINK: FLAG_HARDLINK,
}


@dataclass
class CategoryTotal:
    disk: int = 0
    size: int = 0
    count: int = 0


@dataclass
class TreemapData:
    """The kept tree as nested lists, and what the header and legend show.

    A node is [name, disk usage, apparent size, kind] with kind the category
    index plus the FLAG_ bits; a folder adds its kept children, and, when some
    were left out, [count, disk usage, apparent size] of those."""

    tree: list[Any]
    entries: int  # below the root
    kept: int
    files: int = 0
    folders: int = 0  # the root included
    legend: dict[str, CategoryTotal] = field(default_factory=dict)


def _share(part: int, whole: int) -> float:
    return part / whole if whole > 0 else 0.0


def build(root: TreeNode, issues: IssueIndex, budget: int = BUDGET) -> TreemapData:
    # One depth-first walk: nodes in pre-order with their parent's index, and
    # each one's rank. Folders at depth 0..2 anchor their descendants' shares.
    nodes: list[TreeNode] = [root]
    parents: list[int] = [-1]
    ranks: list[float] = [float("inf")]
    legend = {name: CategoryTotal() for name in CATEGORIES}
    files = folders = 0
    # (node index, depth, anchor disk usage, anchor size)
    stack: list[tuple[int, int, int, int]] = [(0, 0, root.disk_usage, root.size)]
    while stack:
        index, depth, anchor_disk, anchor_size = stack.pop()
        node = nodes[index]
        disk, size = node.disk_usage, node.size
        if not node.is_dir:
            files += 1
            total = legend.get(node.category) or legend["other"]
            total.disk += disk
            total.size += size
            total.count += 1
            continue
        folders += 1
        children = node.children
        own = legend["directory"]
        own.disk += disk - sum(child.disk_usage for child in children)
        own.size += size - sum(child.size for child in children)
        own.count += 1
        if depth <= 2:
            anchor_disk, anchor_size = disk, size
        rank = ranks[index]
        pending = []
        for child in children:
            child_index = len(nodes)
            nodes.append(child)
            parents.append(index)
            seen = max(_share(child.disk_usage, anchor_disk), _share(child.size, anchor_size))
            ranks.append(min(rank, seen))
            pending.append((child_index, depth + 1, anchor_disk, anchor_size))
        stack.extend(pending)

    entries = len(nodes) - 1
    keep = _kept(ranks, budget)
    kept_lists: list[list[Any] | None] = [None] * len(nodes)
    for index, node in enumerate(nodes):
        parent = parents[index]
        if not keep[index]:
            parent_list = kept_lists[parent] if parent >= 0 else None
            if parent_list is not None:
                if len(parent_list) == 5:
                    parent_list.append([0, 0, 0])
                folded = parent_list[5]
                folded[0] += 1
                folded[1] += node.disk_usage
                folded[2] += node.size
            continue
        item: list[Any] = [node.name if parent >= 0 else node.path, node.disk_usage, node.size, _kind(node, issues)]
        if node.is_dir:
            item.append([])
        kept_lists[index] = item
        if parent >= 0:
            parent_item = kept_lists[parent]
            assert parent_item is not None  # a kept entry's folder is kept
            parent_item[4].append(item)
    tree = kept_lists[0]
    assert tree is not None
    return TreemapData(
        tree=tree,
        entries=entries,
        kept=sum(keep) - 1,
        files=files,
        folders=folders,
        legend=legend,
    )


def _kept(ranks: list[float], budget: int) -> list[bool]:
    """The root and the `budget` best-ranked entries; ties in listing order."""
    if len(ranks) - 1 <= budget:
        return [True] * len(ranks)
    if budget <= 0:
        return [True] + [False] * (len(ranks) - 1)
    cut = sorted(ranks[1:], reverse=True)[budget - 1]
    above = sum(1 for rank in ranks if rank > cut) - 1
    ties = budget - above
    keep = [False] * len(ranks)
    keep[0] = True
    for index in range(1, len(ranks)):
        rank = ranks[index]
        if rank > cut:
            keep[index] = True
        elif rank == cut and ties > 0:
            keep[index] = True
            ties -= 1
    return keep


def _kind(node: TreeNode, issues: IssueIndex) -> int:
    return _CATEGORY_INDEX.get(node.category, _OTHER) | _MARKER_FLAGS.get(issues.marker(node), 0)
