#include "orvalnest/tree_report.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <numeric>

#include "orvalnest/json_text.hpp"
#include "write_number.hpp"

namespace orvalnest {

FoldedChildren fold_children(const Tree& tree, EntryIndex folder, std::uint32_t top,
                             const EntryOrder& order) {
    const ChildRange range = tree.children(folder);
    const std::uint32_t shown = top == 0 ? range.count : std::min(top, range.count);
    FoldedChildren folded;
    folded.shown.resize(range.count);
    std::iota(folded.shown.begin(), folded.shown.end(), range.first);
    if (!order.is_tree_order()) {
        std::ranges::partial_sort(folded.shown, folded.shown.begin() + shown, order);
    }
    for (std::uint32_t k = shown; k < range.count; ++k) {
        folded.rest_disk_usage += tree.disk_usage(folded.shown[k]);
        folded.rest_apparent_size += tree.apparent_size(folded.shown[k]);
    }
    folded.rest = range.count - shown;
    folded.shown.resize(shown);
    return folded;
}

std::array<CategoryTally, kCategories> tally_categories(const Tree& tree, EntryIndex root) {
    std::array<CategoryTally, kCategories> tallies{};
    CategoryTally& folders = tallies[static_cast<std::size_t>(Category::Directory)];
    // A folder's own sizes are its totals less its children's: every folder's
    // totals are added and every entry's but the root's taken away again
    // (modulo 2^64, which the sums never reach).
    const auto count = [&](EntryIndex entry) {
        const std::uint64_t disk = tree.disk_usage(entry), apparent = tree.apparent_size(entry);
        if (entry != root) {
            folders.disk_usage -= disk;
            folders.apparent_size -= apparent;
        }
        CategoryTally& tally =
            tree.is_dir(entry) ? folders : tallies[static_cast<std::size_t>(tree.category(entry))];
        tally.disk_usage += disk;
        tally.apparent_size += apparent;
        ++tally.count;
    };
    if (root == 0) {
        for (EntryIndex entry = 0; entry < tree.size(); ++entry) count(entry);
        return tallies;
    }
    std::vector<EntryIndex> stack{root};
    while (!stack.empty()) {
        const EntryIndex entry = stack.back();
        stack.pop_back();
        count(entry);
        const ChildRange range = tree.children(entry);
        for (EntryIndex child = range.first; child < range.first + range.count; ++child)
            stack.push_back(child);
    }
    return tallies;
}

namespace {

double share(std::uint64_t part, std::uint64_t whole) {
    return whole > 0 ? static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

// Each entry's visibility, in the order of a depth-first walk in the tree's
// order (a folder before its entries, so a subtree is one run of the list).
std::vector<double> visibility(const Tree& tree, EntryIndex root) {
    struct Step {
        EntryIndex entry;
        unsigned depth;
        std::uint64_t anchor_disk, anchor_apparent;
        double rank;
    };
    std::vector<double> ranks;
    ranks.reserve(std::size_t{tree.entries_below(root)} + 1);
    std::vector<Step> stack{
        {root, 0, tree.disk_usage(root), tree.apparent_size(root), std::numeric_limits<double>::infinity()}};
    while (!stack.empty()) {
        Step step = stack.back();
        stack.pop_back();
        ranks.push_back(step.rank);
        const ChildRange range = tree.children(step.entry);
        if (range.count == 0) continue;
        if (step.depth <= 2) {
            step.anchor_disk = tree.disk_usage(step.entry);
            step.anchor_apparent = tree.apparent_size(step.entry);
        }
        for (EntryIndex child = range.first + range.count; child-- > range.first;) {
            const double seen = std::max(share(tree.disk_usage(child), step.anchor_disk),
                                         share(tree.apparent_size(child), step.anchor_apparent));
            stack.push_back(
                {child, step.depth + 1, step.anchor_disk, step.anchor_apparent, std::min(step.rank, seen)});
        }
    }
    return ranks;
}

// The root and the `budget` best-ranked entries; equal ranks in walk order.
std::vector<bool> kept_entries(const std::vector<double>& ranks, std::uint64_t budget) {
    const std::size_t below = ranks.size() - 1;
    if (below <= budget) return std::vector<bool>(ranks.size(), true);
    std::vector<bool> keep(ranks.size(), false);
    keep[0] = true;
    if (budget == 0) return keep;
    std::vector<double> sorted(ranks.begin() + 1, ranks.end());
    const auto nth = sorted.begin() + static_cast<std::ptrdiff_t>(budget - 1);
    std::ranges::nth_element(sorted, nth, std::greater<>());
    const double cut = *nth;
    std::uint64_t ties = budget;
    for (std::size_t i = 1; i < ranks.size(); ++i) ties -= ranks[i] > cut ? 1 : 0;
    for (std::size_t i = 1; i < ranks.size(); ++i) {
        if (ranks[i] > cut) {
            keep[i] = true;
        } else if (ranks[i] == cut && ties > 0) {
            keep[i] = true;
            --ties;
        }
    }
    return keep;
}

unsigned kind_of(const Tree& tree, EntryIndex entry) {
    auto kind = static_cast<unsigned>(tree.category(entry));
    if (tree.is_dir(entry)) {
        if (tree.has(entry, entry_flag::Unreadable)) return kind | treemap_flag::Unreadable;
        if (tree.has(entry, entry_flag::Skipped)) return kind | treemap_flag::Skipped;
        return kind;
    }
    if (tree.has(entry, entry_flag::Symlink)) return kind | treemap_flag::Symlink;
    if (tree.has(entry, entry_flag::Hardlink)) return kind | treemap_flag::Hardlink;
    return kind;
}

void node_head(std::string& out, const Tree& tree, EntryIndex entry, std::string_view name) {
    out.push_back('[');
    append_json_text(out, name, JsonEscapes::Html);
    out.push_back(',');
    append_number(out, tree.disk_usage(entry));
    out.push_back(',');
    append_number(out, tree.apparent_size(entry));
    out.push_back(',');
    append_number(out, kind_of(tree, entry));
}

}  // namespace

Treemap build_treemap(const Tree& tree, EntryIndex root, std::uint64_t budget) {
    const std::vector<bool> keep = kept_entries(visibility(tree, root), budget);
    Treemap map;
    map.entries = keep.size() - 1;
    map.kept = static_cast<std::uint64_t>(std::ranges::count(keep, true)) - 1;

    struct Open {
        EntryIndex next, end;
        bool first = true;
        std::uint64_t folded = 0, folded_disk = 0, folded_apparent = 0;
    };
    std::string& out = map.json;
    node_head(out, tree, root, tree.path(root));
    if (!tree.is_dir(root)) {
        out.push_back(']');
        return map;
    }
    out += ",[";
    const ChildRange top = tree.children(root);
    std::vector<Open> stack{{top.first, top.first + top.count}};
    std::size_t walked = 0;  // the walk position of the entry last met
    while (!stack.empty()) {
        Open& open = stack.back();
        if (open.next == open.end) {
            out.push_back(']');
            if (open.folded > 0) {
                out += ",[";
                append_number(out, open.folded);
                out.push_back(',');
                append_number(out, open.folded_disk);
                out.push_back(',');
                append_number(out, open.folded_apparent);
                out.push_back(']');
            }
            out.push_back(']');
            stack.pop_back();
            continue;
        }
        const EntryIndex child = open.next++;
        ++walked;
        if (!keep[walked]) {
            ++open.folded;
            open.folded_disk += tree.disk_usage(child);
            open.folded_apparent += tree.apparent_size(child);
            walked += tree.entries_below(child);  // its subtree is the next run of the walk
            continue;
        }
        if (!open.first) out.push_back(',');
        open.first = false;
        node_head(out, tree, child, tree.name(child));
        if (!tree.is_dir(child)) {
            out.push_back(']');
            continue;
        }
        out += ",[";
        const ChildRange range = tree.children(child);
        stack.push_back({range.first, range.first + range.count});
    }
    return map;
}

}  // namespace orvalnest
