// A scanned folder tree in compact form: one row per entry in flat columns of
// fixed-width values indexed by a 32-bit entry number, the names in one byte
// pool, and a side table for directories. The root is entry 0; the children of
// a directory occupy one contiguous range of entry numbers, already in the
// order the scan was asked for. Every column is a plain array of integers, so
// the same accessors can later read a saved scan mapped from a file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvalnest/category.hpp"
#include "orvalnest/chunked_column.hpp"

namespace orvalnest {

using EntryIndex = std::uint32_t;
inline constexpr EntryIndex kNoEntry = 0xFFFFFFFFu;

// Bits of an entry's flags.
namespace entry_flag {
inline constexpr std::uint8_t Dir = 1;
inline constexpr std::uint8_t Symlink = 2;
inline constexpr std::uint8_t Hardlink = 4;     // a non-directory with more than one link
inline constexpr std::uint8_t CountedLink = 8;  // the link of its inode whose blocks and length count
inline constexpr std::uint8_t Unreadable = 16;  // this entry, or part of its listing, could not be read
inline constexpr std::uint8_t Skipped = 32;     // left out on purpose (other or pseudo filesystem, too deep)
inline constexpr std::uint8_t Incomplete = 64;  // something at or below it could not be counted
}  // namespace entry_flag

// How the children of each directory are ordered.
enum class TreeOrder : std::uint8_t {
    // Largest disk usage first, ties by name bytes: what the faces show first.
    DiskUsage,
    // Largest apparent size (`size`) first, equal sizes in listing order: the order of scan().
    ApparentSize,
};

struct TreeIssue {
    std::string path;  // native bytes
    std::string message;
    bool skipped = false;         // left out on purpose, rather than unreadable
    EntryIndex entry = kNoEntry;  // the entry it concerns, when the tree has one
};

struct ChildRange {
    EntryIndex first = 0;
    std::uint32_t count = 0;
};

class Tree {
public:
    // Names are pooled in 4 MiB chunks; a name never straddles two.
    static constexpr unsigned kPoolChunkBits = 22;

    Tree() = default;
    Tree(Tree&&) = delete;
    Tree& operator=(Tree&&) = delete;

    std::uint32_t size() const { return entries_; }
    const std::string& root_path() const { return root_path_; }
    const std::vector<TreeIssue>& issues() const { return issues_; }
    std::uint64_t excluded() const { return excluded_; }
    // Entries handed to the per-entry step, the root included (skipped file types too).
    std::uint64_t examined() const { return examined_; }
    std::uint32_t directories() const { return directories_; }
    std::uint32_t files() const { return entries_ - directories_; }
    TreeOrder order() const { return order_; }

    EntryIndex parent(EntryIndex entry) const { return parent_[entry]; }
    std::uint8_t flags(EntryIndex entry) const { return flags_[entry]; }
    bool has(EntryIndex entry, std::uint8_t flag) const { return (flags_[entry] & flag) != 0; }
    bool is_dir(EntryIndex entry) const { return has(entry, entry_flag::Dir); }
    Category category(EntryIndex entry) const { return static_cast<Category>(category_[entry]); }
    // Apparent bytes, every hard link counted: st_size of a regular file, 0 for
    // a link, the sum of the children for a directory (nothing for its own entry).
    std::uint64_t size(EntryIndex entry) const { return size_[entry]; }
    // Allocated bytes, each inode once; a directory's own blocks included.
    std::uint64_t disk_usage(EntryIndex entry) const { return disk_usage_[entry]; }
    // Apparent bytes as du counts them: each inode once, a link's own length,
    // a directory's own st_size included.
    std::uint64_t apparent_size(EntryIndex entry) const;
    // Own modification time (seconds since the epoch).
    std::int64_t mtime(EntryIndex entry) const { return mtime_[entry]; }
    // The newest modification time at or below the entry.
    std::int64_t newest_mtime(EntryIndex entry) const;
    // Entries below a directory, at every depth; 0 for anything else.
    std::uint32_t entries_below(EntryIndex entry) const;
    ChildRange children(EntryIndex entry) const;

    // The entry's final component; for the root, that of its path (or the whole path).
    std::string_view name(EntryIndex entry) const;
    std::string path(EntryIndex entry) const;
    // The child of `directory` called `name`, if it has one.
    std::optional<EntryIndex> child_named(EntryIndex directory, std::string_view name) const;

private:
    friend class TreeBuilder;
    friend struct SavedScanAccess;  // writes the columns to a file and points them into one

    // Per entry.
    ChunkedArray<EntryIndex, 16, 65536> parent_;
    ChunkedArray<std::uint64_t, 16, 65536> name_;  // pool offset << 8 | length
    ChunkedArray<std::uint8_t, 16, 65536> flags_;
    ChunkedArray<std::uint8_t, 16, 65536> category_;
    ChunkedArray<std::uint64_t, 16, 65536> size_;
    ChunkedArray<std::uint64_t, 16, 65536> disk_usage_;
    ChunkedArray<std::int64_t, 16, 65536> mtime_;
    // A directory's row in the directory table; a symbolic link's own length.
    ChunkedArray<std::uint32_t, 16, 65536> aux_;
    // Per directory.
    ChunkedArray<EntryIndex, 16, 65536> first_child_;
    ChunkedArray<std::uint32_t, 16, 65536> child_count_;
    ChunkedArray<std::uint64_t, 16, 65536> dir_apparent_;
    ChunkedArray<std::int64_t, 16, 65536> dir_newest_;
    ChunkedArray<std::uint32_t, 16, 65536> dir_below_;
    // The names; an entry's name never straddles two chunks.
    ChunkedArray<char, kPoolChunkBits, 262144> pool_;

    std::string root_path_;
    std::vector<TreeIssue> issues_;
    std::uint32_t entries_ = 0;
    std::uint32_t directories_ = 0;
    std::uint64_t excluded_ = 0;
    std::uint64_t examined_ = 0;
    TreeOrder order_ = TreeOrder::DiskUsage;
    // A saved scan's memory, which its columns point into.
    std::shared_ptr<const void> backing_;
};

}  // namespace orvalnest
