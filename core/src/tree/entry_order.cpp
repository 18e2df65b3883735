#include "orvalnest/entry_order.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace orvalnest {
namespace {

std::int64_t clamped(std::uint64_t value) {
    return static_cast<std::int64_t>(std::min<std::uint64_t>(value, INT64_MAX));
}

}  // namespace

std::optional<SortKey> sort_key_named(std::string_view name) {
    constexpr std::pair<std::string_view, SortKey> kKeys[] = {
        {"disk_usage", SortKey::DiskUsage},
        {"apparent_size", SortKey::ApparentSize},
        {"size", SortKey::Size},
        {"mtime", SortKey::Mtime},
        {"entries", SortKey::Entries},
        {"name", SortKey::Name},
    };
    for (const auto& [known, key] : kKeys) {
        if (name == known) return key;
    }
    return std::nullopt;
}

std::int64_t sort_value(const Tree& tree, EntryIndex entry, SortKey key) {
    switch (key) {
        case SortKey::DiskUsage:
            return clamped(tree.disk_usage(entry));
        case SortKey::ApparentSize:
            return clamped(tree.apparent_size(entry));
        case SortKey::Size:
            return clamped(tree.size(entry));
        case SortKey::Mtime:
            return tree.newest_mtime(entry);
        case SortKey::Entries:
            return tree.entries_below(entry);
        case SortKey::Name:
            return 0;
    }
    return 0;
}

bool EntryOrder::operator()(EntryIndex a, EntryIndex b) const {
    if (key != SortKey::Name) {
        const std::int64_t va = sort_value(tree, a, key), vb = sort_value(tree, b, key);
        if (va != vb) return reverse ? va < vb : va > vb;
    }
    const auto na = tree.name(a), nb = tree.name(b);
    if (na != nb) return key == SortKey::Name && reverse ? na > nb : na < nb;
    return a < b;
}

bool EntryOrder::is_tree_order() const {
    // The walk's other order keeps listing order among equal sizes.
    return key == SortKey::DiskUsage && !reverse && tree.order() == TreeOrder::DiskUsage;
}

}  // namespace orvalnest
