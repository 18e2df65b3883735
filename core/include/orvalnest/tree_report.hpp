// What the faces read of a whole tree without a Python object per entry: a
// folder's first children in any order with the rest folded into one line,
// the totals by category, and the part of a tree a treemap page carries.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "orvalnest/category.hpp"
#include "orvalnest/entry_order.hpp"
#include "orvalnest/tree.hpp"

namespace orvalnest {

struct FoldedChildren {
    std::vector<EntryIndex> shown;
    std::uint32_t rest = 0;  // children after the shown ones
    std::uint64_t rest_disk_usage = 0;
    std::uint64_t rest_apparent_size = 0;
};

// The first `top` children of `folder` in `order` (all of them for 0), and the
// rest added up. The tree's own order costs nothing; another takes the `top`
// first without sorting the whole folder.
FoldedChildren fold_children(const Tree& tree, EntryIndex folder, std::uint32_t top, const EntryOrder& order);

inline constexpr std::size_t kCategories = static_cast<std::size_t>(Category::Other) + 1;

struct CategoryTally {
    std::uint64_t disk_usage = 0;
    std::uint64_t apparent_size = 0;
    std::uint64_t count = 0;
};

// At or below `root`: the entries that are not folders by category, and under
// Directory the folders themselves (`root` included) with their own sizes, so
// that the tallies add up to the root's totals.
std::array<CategoryTally, kCategories> tally_categories(const Tree& tree, EntryIndex root);

// Marker bits of a treemap node's kind, above the category (four bits).
namespace treemap_flag {
inline constexpr unsigned Unreadable = 16;
inline constexpr unsigned Skipped = 32;
inline constexpr unsigned Symlink = 64;
inline constexpr unsigned Hardlink = 128;
}  // namespace treemap_flag

struct Treemap {
    // The kept tree as nested JSON lists, safe inside an HTML script element:
    // [name, disk usage, apparent size, kind] and for a folder its kept
    // children and, when some were left out, [count, disk usage, apparent size].
    std::string json;
    std::uint64_t entries = 0;  // below the root
    std::uint64_t kept = 0;     // of those
};

// A page that must open in seconds cannot carry millions of entries, most of
// them smaller than a pixel. An entry's visibility is its share of the
// deepest of the root and the folders one and two levels below it that holds
// it (the largest area the views two clicks deep can give it), never above
// its folder's, by disk usage or apparent size, whichever is larger. The
// `budget` best-ranked entries are kept, equal ones in the order of a
// depth-first walk, so a kept entry's folders are always kept.
Treemap build_treemap(const Tree& tree, EntryIndex root, std::uint64_t budget);

}  // namespace orvalnest
