// Two trees of the same place compared: entries are matched by path (the exact
// bytes of each name, folder by folder), so a renamed folder is one gone and
// one new. Matching is a merge of the two name-sorted child lists of each
// matched folder pair; what changed below a folder is known without
// looking again.
#pragma once

#include <cstdint>
#include <vector>

#include "orvalnest/tree.hpp"

namespace orvalnest {

// Which number a change is measured in.
enum class DiffKey : std::uint8_t { DiskUsage, ApparentSize, Size, Entries };

class TreeDiff {
public:
    // An entry of the old tree, of the new one, or of both (kNoEntry on a missing side).
    struct Pair {
        EntryIndex old_entry = kNoEntry;
        EntryIndex new_entry = kNoEntry;
        bool operator==(const Pair&) const = default;
    };
    struct Amount {
        std::uint64_t entries = 0;
        std::uint64_t bytes = 0;  // disk usage
    };
    struct Totals {
        Amount appeared, disappeared;  // entries at every depth; the bytes of the outermost ones
        Amount grew, shrank;  // files (not folders) matched on both sides; bytes by which they changed
    };

    TreeDiff(const Tree& old_tree, const Tree& new_tree);

    const Tree& old_tree() const { return old_; }
    const Tree& new_tree() const { return new_; }
    Pair root() const { return {0, 0}; }
    Pair pair_of_new(EntryIndex entry) const { return {old_of_new_[entry], entry}; }
    Pair pair_of_old(EntryIndex entry) const { return {entry, new_of_old_[entry]}; }
    // New minus old, a missing side counting as nothing.
    std::int64_t delta(Pair pair, DiffKey key = DiffKey::DiskUsage) const;
    // Present on one side only, or a size differs at or below it.
    bool changed(Pair pair) const;
    bool is_dir(Pair pair) const;
    // Whatever is inside, from both sides: largest change by `key` first,
    // then changed before unchanged, then by name.
    std::vector<Pair> children(Pair pair, DiffKey key = DiffKey::DiskUsage) const;
    const Totals& totals() const { return totals_; }

private:
    std::vector<Pair> merged_children(Pair pair) const;

    const Tree& old_;
    const Tree& new_;
    std::vector<EntryIndex> old_of_new_, new_of_old_;
    std::vector<bool> changed_new_;  // of matched new entries
    Totals totals_;
};

}  // namespace orvalnest
