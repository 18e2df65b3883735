// Builds a Tree from entries that arrive depth first in listing order, as an
// export lists them: each folder is finished (its children summed, ordered and
// written in one range) when its listing ends, exactly as the walk finishes
// one, so an imported tree keeps every invariant of a scanned one.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvalnest/saved_scan.hpp"
#include "tree_builder.hpp"

namespace orvalnest {

class ImportBuilder {
public:
    // One entry being read: the importer fills `row` and `name`. A folder's
    // `row` holds its own blocks and length; its contents are added at its end.
    struct Frame {
        EntryRow row;
        std::string name;
        std::uint32_t row_in_parent = 0;
        std::vector<EntryRow> rows;  // the children so far, in listing order
        std::vector<std::pair<std::uint32_t, std::size_t>> child_issues;  // row -> issue
        std::vector<std::size_t> own_issues;
    };

    ImportBuilder();

    // The root's path, which must be absolute, before any of its children end.
    void set_root_path(std::string path) { root_path_ = std::move(path); }
    void begin();
    Frame& current() { return frames_.back(); }
    std::size_t depth() const { return frames_.size(); }
    // The current entry could not be read, or was left out on purpose.
    void mark_current(std::string message, bool skipped);
    // An entry of the current folder that could not be examined at all.
    void add_missing(std::string_view name, std::string message);
    void add_excluded() { ++excluded_; }
    // Ends the current entry as a non-folder; only a counted link of a
    // hard-linked inode keeps its blocks and length.
    LoadResult<void> end_leaf(bool counted);
    // Ends the current entry as a folder, finished like a walked one.
    LoadResult<void> end_folder();
    // Issues listed apart from the tree, once the root has ended: each marks
    // the entry its path names or, for an entry that has none, its folder.
    void add_listed_issue(const std::string& path, std::string message);
    void set_excluded(std::uint64_t count) { excluded_ = count; }
    LoadResult<LoadedTree> finish(ScanFacts facts);

    // The full path of the current entry (its name included).
    std::string current_path() const;

private:
    LoadResult<void> check_name(const Frame& frame) const;
    LoadResult<void> start_tree();
    void end_in_parent(Frame& frame, EntryRow row);

    std::unique_ptr<Tree> tree_;
    std::optional<TreeBuilder> builder_;
    std::optional<TreeBuilder::NameWriter> names_;
    std::string root_path_;
    std::vector<Frame> frames_;
    std::vector<TreeIssue> issues_;
    std::uint64_t excluded_ = 0;
    bool done_ = false;
};

// The full path of `entry` as the tree gives it, found by its components;
// nullopt when no entry has it.
std::optional<EntryIndex> find_path(const Tree& tree, std::string_view path);

// Importers of the two JSON formats; `fd` is read after `prefix`.
LoadResult<LoadedTree> import_ncdu(int fd, std::string prefix);
LoadResult<LoadedTree> import_orvalnest_json(int fd, std::string prefix);

}  // namespace orvalnest
