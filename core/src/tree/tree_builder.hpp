// How a walk fills a Tree: rows are written once their directory is finished,
// into ranges the writing thread reserved, so several threads fill one tree
// without a lock; names go into pool chunks each thread takes for itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "orvalnest/tree.hpp"

namespace orvalnest {

// Everything a row holds while its directory is still being walked.
struct EntryRow {
    std::uint64_t name = 0;  // a pool reference (NameWriter::add)
    std::uint64_t size = 0;
    std::uint64_t disk_usage = 0;
    std::uint64_t apparent = 0;  // du's apparent size; a directory's total once finished
    std::int64_t mtime = 0;
    std::int64_t newest = 0;  // a directory's newest time at or below, once finished
    std::uint32_t below = 0;  // entries below, once finished
    std::uint32_t aux = 0;    // as Tree::aux_
    std::uint8_t flags = 0;
    Category category = Category::Other;

    bool has(std::uint8_t flag) const { return (flags & flag) != 0; }
};

class TreeBuilder {
public:
    TreeBuilder(Tree& tree, TreeOrder order, std::string root_path);

    // Appends names to pool chunks of its own; one per thread.
    class NameWriter {
    public:
        explicit NameWriter(TreeBuilder& builder) : builder_(builder) {}
        // A reference to a copy of `name` (at most 255 bytes).
        std::uint64_t add(std::string_view name);

    private:
        TreeBuilder& builder_;
        std::uint64_t next_ = 0;  // pool offset of the next name
        std::uint64_t end_ = 0;   // end of this writer's current chunk
    };

    std::string_view name(std::uint64_t reference) const;

    // Room for `count` rows in a row, the first returned. Thread-safe.
    EntryIndex reserve(std::uint32_t count);
    void write(EntryIndex at, const EntryRow& row, EntryIndex parent);
    // The row of a finished directory in the directory table. Thread-safe.
    std::uint32_t add_directory(ChildRange children, const EntryRow& totals);
    void set_parent(ChildRange range, EntryIndex parent);

    // Orders `rows` (a directory's children in listing order) as the tree keeps
    // them: the indices of `rows` in their final order.
    std::vector<std::uint32_t> ordered(const std::vector<EntryRow>& rows) const;

    // Where a finished folder's children went: their range, and each row's
    // entry number in row (listing) order.
    struct PlacedChildren {
        ChildRange range;
        std::vector<EntryIndex> entries;
    };
    // Writes a finished folder's children in the tree's order and settles the
    // folder's own row from them: sizes, newest time, entries below, the
    // incomplete mark and its directory row. Thread-safe, as reserve is.
    PlacedChildren finish_directory(EntryRow& own, const std::vector<EntryRow>& rows);
    // Sorts the children of a directory again after their sizes changed,
    // keeping every parent link right; `moved(old, new)` is told each move.
    template <typename Moved>
    void reorder_children(EntryIndex directory, Moved&& moved);

    // Adds `disk` and `apparent` to `entry` and to every directory above it;
    // the directories whose children changed size are added to `changed`.
    void adjust_upwards(EntryIndex entry, std::int64_t disk, std::int64_t apparent,
                        std::vector<EntryIndex>& changed);
    void set_flags(EntryIndex entry, std::uint8_t flags) { tree_.flags_[entry] = flags; }

    // Once every row is written.
    void finish(std::vector<TreeIssue> issues, std::uint64_t excluded, std::uint64_t examined);
    Tree& tree() { return tree_; }

private:
    void ensure_rows(std::size_t end);
    bool comes_before(const EntryRow& a, const EntryRow& b) const;
    EntryRow read(EntryIndex entry) const;
    void rewrite_children_parent(EntryIndex entry);

    Tree& tree_;
    const TreeOrder order_;
    std::atomic<std::uint32_t> entries_{1};  // the root's row is 0
    std::atomic<std::uint32_t> directories_{0};
    std::atomic<std::uint64_t> pool_chunks_{0};
};

template <typename Moved>
void TreeBuilder::reorder_children(EntryIndex directory, Moved&& moved) {
    const ChildRange range = tree_.children(directory);
    std::vector<EntryRow> rows;
    std::vector<EntryIndex> parents;
    rows.reserve(range.count);
    for (std::uint32_t k = 0; k < range.count; ++k) rows.push_back(read(range.first + k));
    const auto order = ordered(rows);
    for (std::uint32_t k = 0; k < range.count; ++k) {
        const EntryIndex to = range.first + k;
        write(to, rows[order[k]], directory);
        if (order[k] != k) moved(range.first + order[k], to);
        rewrite_children_parent(to);
    }
}

}  // namespace orvalnest
