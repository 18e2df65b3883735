// The orders a face lists entries in: by a size, a time, a count or the name,
// equal values by name bytes and then by entry number, so an order never
// depends on how the disk listed a folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "orvalnest/tree.hpp"

namespace orvalnest {

enum class SortKey : std::uint8_t { DiskUsage, ApparentSize, Size, Mtime, Entries, Name };

// "disk_usage", "apparent_size", "size", "mtime", "entries" or "name".
std::optional<SortKey> sort_key_named(std::string_view name);

// The value an entry is ordered by (0 for Name); a folder's Mtime is the
// newest at or below it.
std::int64_t sort_value(const Tree& tree, EntryIndex entry, SortKey key);

// Largest, newest or A first (`reverse` flips that); equal values by name.
struct EntryOrder {
    const Tree& tree;
    SortKey key;
    bool reverse = false;
    bool operator()(EntryIndex a, EntryIndex b) const;
    // Whether the tree's own order of children is this one.
    bool is_tree_order() const;
};

}  // namespace orvalnest
