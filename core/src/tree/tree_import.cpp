#include "tree_import.hpp"

#include <algorithm>

#include "orvalnest/saturating.hpp"

namespace orvalnest {
namespace {

std::unexpected<LoadFailure> refuse(std::string reason) {
    return std::unexpected(LoadFailure{0, std::move(reason)});
}

}  // namespace

ImportBuilder::ImportBuilder() : tree_(std::make_unique<Tree>()) {}

LoadResult<void> ImportBuilder::start_tree() {
    if (builder_) return {};
    if (!root_path_.starts_with('/') || root_path_.find('\0') != std::string::npos)
        return refuse("the root is not an absolute path");
    builder_.emplace(*tree_, TreeOrder::DiskUsage, root_path_);
    names_.emplace(*builder_);
    return {};
}

void ImportBuilder::begin() {
    Frame frame;
    if (!frames_.empty()) {
        frame.row_in_parent = static_cast<std::uint32_t>(frames_.back().rows.size());
        frames_.back().rows.emplace_back();
    }
    frames_.push_back(std::move(frame));
}

std::string ImportBuilder::current_path() const {
    std::string path = root_path_;
    for (std::size_t level = 1; level < frames_.size(); ++level) {
        if (!path.ends_with('/')) path += '/';
        path += frames_[level].name;
    }
    return path;
}

void ImportBuilder::mark_current(std::string message, bool skipped) {
    Frame& frame = frames_.back();
    frame.row.flags |= (skipped ? entry_flag::Skipped : entry_flag::Unreadable) | entry_flag::Incomplete;
    frame.own_issues.push_back(issues_.size());
    issues_.push_back({current_path(), std::move(message), skipped, kNoEntry});
}

void ImportBuilder::add_missing(std::string_view name, std::string message) {
    Frame& frame = frames_.back();
    frame.row.flags |= entry_flag::Unreadable | entry_flag::Incomplete;
    std::string path = current_path();
    if (!path.ends_with('/')) path += '/';
    path += name;
    issues_.push_back({std::move(path), std::move(message), false, kNoEntry});
}

LoadResult<void> ImportBuilder::check_name(const Frame& frame) const {
    if (frames_.empty()) return {};  // the root is named by its path
    const std::string_view name = frame.name;
    if (name.empty() || name.size() > 255 || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos)
        return refuse("a name that is not a single path component");
    return {};
}

void ImportBuilder::end_in_parent(Frame& frame, EntryRow row) {
    if (frames_.empty()) {
        row.name = 0;
        builder_->write(0, row, kNoEntry);
        for (std::size_t issue : frame.own_issues) issues_[issue].entry = 0;
        done_ = true;
        return;
    }
    row.name = names_->add(frame.name);
    Frame& parent = frames_.back();
    parent.rows[frame.row_in_parent] = row;
    for (std::size_t issue : frame.own_issues) parent.child_issues.push_back({frame.row_in_parent, issue});
}

LoadResult<void> ImportBuilder::end_leaf(bool counted) {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (auto named = check_name(frame); !named) return named;
    if (auto started = start_tree(); !started) return started;
    EntryRow row = frame.row;
    row.newest = row.mtime;
    if (row.has(entry_flag::Dir)) {
        // A folder that was not entered: its own blocks, nothing below.
        row.category = Category::Directory;
        row.aux = builder_->add_directory({}, row);
    } else if (counted) {
        row.flags |= entry_flag::CountedLink;
    } else {
        row.disk_usage = row.apparent = 0;
    }
    end_in_parent(frame, row);
    return {};
}

LoadResult<void> ImportBuilder::end_folder() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (auto named = check_name(frame); !named) return named;
    if (auto started = start_tree(); !started) return started;
    EntryRow own = frame.row;
    own.flags |= entry_flag::Dir;
    own.category = Category::Directory;
    const auto& rows = frame.rows;
    const auto placed = builder_->finish_directory(own, rows);
    for (const auto& [row, issue] : frame.child_issues) issues_[issue].entry = placed.entries[row];
    if (frames_.empty()) builder_->set_parent(placed.range, 0);
    end_in_parent(frame, own);
    return {};
}

void ImportBuilder::add_listed_issue(const std::string& path, std::string message) {
    const bool skipped = message.starts_with("skipped: ");
    const auto entry = find_path(*tree_, path);
    std::optional<EntryIndex> marked = entry;
    if (!entry && !skipped) {
        const std::size_t slash = path.rfind('/');
        if (slash != std::string::npos) marked = find_path(*tree_, path.substr(0, slash == 0 ? 1 : slash));
    }
    if (marked) {
        // Flags as the walk sets them: the entry's own, and "incomplete" up to the root.
        std::uint8_t own = skipped ? entry_flag::Skipped : entry_flag::Unreadable;
        for (EntryIndex at = *marked; at != kNoEntry; at = tree_->parent(at)) {
            if ((tree_->flags(at) & (own | entry_flag::Incomplete)) == (own | entry_flag::Incomplete)) break;
            builder_->set_flags(at, tree_->flags(at) | own | entry_flag::Incomplete);
            own = 0;
        }
    }
    issues_.push_back({path, std::move(message), skipped, entry.value_or(kNoEntry)});
}

LoadResult<LoadedTree> ImportBuilder::finish(ScanFacts facts) {
    if (!done_ || !frames_.empty()) return refuse("cut short");
    builder_->finish(std::move(issues_), excluded_, 0);
    return LoadedTree{std::move(tree_), std::move(facts)};
}

std::optional<EntryIndex> find_path(const Tree& tree, std::string_view path) {
    std::string_view root = tree.root_path();
    if (path == root) return 0;
    if (root.ends_with('/')) root.remove_suffix(1);
    if (!path.starts_with(root) || path.size() <= root.size() + 1 || path[root.size()] != '/')
        return std::nullopt;
    path.remove_prefix(root.size() + 1);
    EntryIndex entry = 0;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const auto found = tree.child_named(entry, path.substr(0, slash));
        if (!found) return std::nullopt;
        entry = *found;
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    }
    return entry;
}

}  // namespace orvalnest
