#include "orvalnest/tree_diff.hpp"

#include <algorithm>
#include <numeric>

namespace orvalnest {
namespace {

std::uint64_t value(const Tree& tree, EntryIndex entry, DiffKey key) {
    switch (key) {
        case DiffKey::DiskUsage:
            return tree.disk_usage(entry);
        case DiffKey::ApparentSize:
            return tree.apparent_size(entry);
        case DiffKey::Size:
            return tree.size(entry);
        case DiffKey::Entries:
            return 1 + std::uint64_t{tree.entries_below(entry)};
    }
    return 0;
}

std::int64_t signed_value(const Tree& tree, EntryIndex entry, DiffKey key) {
    if (entry == kNoEntry) return 0;
    return static_cast<std::int64_t>(std::min<std::uint64_t>(value(tree, entry, key), INT64_MAX));
}

std::vector<EntryIndex> by_name(const Tree& tree, EntryIndex folder) {
    const ChildRange range = tree.children(folder);
    std::vector<EntryIndex> entries(range.count);
    std::iota(entries.begin(), entries.end(), range.first);
    std::ranges::sort(entries, [&](EntryIndex a, EntryIndex b) {
        const auto na = tree.name(a), nb = tree.name(b);
        return na != nb ? na < nb : a < b;
    });
    return entries;
}

bool sizes_differ(const Tree& a, EntryIndex ea, const Tree& b, EntryIndex eb) {
    return a.disk_usage(ea) != b.disk_usage(eb) || a.size(ea) != b.size(eb) ||
           a.apparent_size(ea) != b.apparent_size(eb);
}

}  // namespace

TreeDiff::TreeDiff(const Tree& old_tree, const Tree& new_tree)
    : old_(old_tree),
      new_(new_tree),
      old_of_new_(new_tree.size(), kNoEntry),
      new_of_old_(old_tree.size(), kNoEntry),
      changed_new_(new_tree.size(), false) {
    // The roots are what is compared, whatever their paths.
    old_of_new_[0] = 0;
    new_of_old_[0] = 0;
    std::vector<Pair> folders;  // matched folder pairs, parents before children
    if (old_.is_dir(0) && new_.is_dir(0)) folders.push_back({0, 0});
    for (std::size_t next = 0; next < folders.size(); ++next) {
        for (const Pair pair : merged_children(folders[next])) {
            if (pair.old_entry == kNoEntry) {
                totals_.appeared.entries += 1 + std::uint64_t{new_.entries_below(pair.new_entry)};
                totals_.appeared.bytes += new_.disk_usage(pair.new_entry);
            } else if (pair.new_entry == kNoEntry) {
                totals_.disappeared.entries += 1 + std::uint64_t{old_.entries_below(pair.old_entry)};
                totals_.disappeared.bytes += old_.disk_usage(pair.old_entry);
            } else {
                old_of_new_[pair.new_entry] = pair.old_entry;
                new_of_old_[pair.old_entry] = pair.new_entry;
                if (new_.is_dir(pair.new_entry)) {
                    folders.push_back(pair);
                    continue;
                }
                const std::int64_t change = delta(pair);
                Amount& amount = change > 0 ? totals_.grew : totals_.shrank;
                if (change != 0) {
                    amount.entries += 1;
                    amount.bytes += static_cast<std::uint64_t>(change > 0 ? change : -change);
                }
            }
        }
    }
    // Deepest first: a folder changed when anything in it did.
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        const auto [o, n] = *folder;
        bool changed = sizes_differ(old_, o, new_, n);
        const ChildRange old_range = old_.children(o), new_range = new_.children(n);
        for (EntryIndex c = new_range.first; !changed && c < new_range.first + new_range.count; ++c)
            changed = this->changed(pair_of_new(c));
        for (EntryIndex c = old_range.first; !changed && c < old_range.first + old_range.count; ++c)
            changed = new_of_old_[c] == kNoEntry;
        changed_new_[n] = changed;
    }
}

std::vector<TreeDiff::Pair> TreeDiff::merged_children(Pair pair) const {
    std::vector<Pair> merged;
    const bool old_dir = pair.old_entry != kNoEntry && old_.is_dir(pair.old_entry);
    const bool new_dir = pair.new_entry != kNoEntry && new_.is_dir(pair.new_entry);
    const auto a = old_dir ? by_name(old_, pair.old_entry) : std::vector<EntryIndex>{};
    const auto b = new_dir ? by_name(new_, pair.new_entry) : std::vector<EntryIndex>{};
    merged.reserve(a.size() + b.size());
    std::size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (j == b.size() || (i < a.size() && old_.name(a[i]) < new_.name(b[j]))) {
            merged.push_back({a[i++], kNoEntry});
        } else if (i == a.size() || new_.name(b[j]) < old_.name(a[i])) {
            merged.push_back({kNoEntry, b[j++]});
        } else if (old_.is_dir(a[i]) == new_.is_dir(b[j])) {
            merged.push_back({a[i++], b[j++]});
        } else {
            // A file that became a folder, or the reverse: one gone, one new.
            merged.push_back({a[i++], kNoEntry});
            merged.push_back({kNoEntry, b[j++]});
        }
    }
    return merged;
}

std::int64_t TreeDiff::delta(Pair pair, DiffKey key) const {
    return signed_value(new_, pair.new_entry, key) - signed_value(old_, pair.old_entry, key);
}

bool TreeDiff::changed(Pair pair) const {
    if (pair.old_entry == kNoEntry || pair.new_entry == kNoEntry) return true;
    if (new_.is_dir(pair.new_entry) && old_.is_dir(pair.old_entry)) return changed_new_[pair.new_entry];
    return sizes_differ(old_, pair.old_entry, new_, pair.new_entry);
}

bool TreeDiff::is_dir(Pair pair) const {
    return pair.new_entry != kNoEntry ? new_.is_dir(pair.new_entry) : old_.is_dir(pair.old_entry);
}

std::vector<TreeDiff::Pair> TreeDiff::children(Pair pair, DiffKey key) const {
    auto merged = merged_children(pair);
    struct Keyed {
        std::uint64_t size;
        bool changed;
        std::string_view name;
        Pair pair;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(merged.size());
    for (const Pair child : merged) {
        const std::int64_t change = delta(child, key);
        const auto name =
            child.new_entry != kNoEntry ? new_.name(child.new_entry) : old_.name(child.old_entry);
        keyed.push_back(
            {change < 0 ? 0 - static_cast<std::uint64_t>(change) : static_cast<std::uint64_t>(change),
             changed(child), name, child});
    }
    std::ranges::sort(keyed, [](const Keyed& a, const Keyed& b) {
        if (a.size != b.size) return a.size > b.size;
        if (a.changed != b.changed) return a.changed;
        if (a.name != b.name) return a.name < b.name;
        return a.pair.new_entry < b.pair.new_entry;
    });
    std::vector<Pair> ordered;
    ordered.reserve(keyed.size());
    for (const Keyed& item : keyed) ordered.push_back(item.pair);
    return ordered;
}

}  // namespace orvalnest
