// A tree as a face shows it after the user acted on it: entries gone to the
// trash left out, folders scanned again shown as their newer scan (an entry
// of another Tree), and every folder above either taking the difference. The
// trees themselves stay as scanned; the exports read them through this.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "orvalnest/tree.hpp"

namespace orvalnest {

// One entry of one of the trees a view is made of.
struct ViewEntry {
    const Tree* tree = nullptr;
    EntryIndex index = 0;
    bool operator==(const ViewEntry&) const = default;
};

struct ViewEntryHash {
    std::size_t operator()(const ViewEntry& entry) const noexcept {
        return std::hash<const void*>()(entry.tree) * 0x9E3779B97F4A7C15ULL ^ entry.index;
    }
};

// What changed since the scans: entries of any of the trees left out, and
// entries shown as another entry (normally the root of a newer Tree). A
// replacement's own entries may be left out or replaced in turn.
struct Overlay {
    std::vector<ViewEntry> removed;
    std::vector<std::pair<ViewEntry, ViewEntry>> replaced;
};

// The totals of an entry as shown.
struct ViewSizes {
    std::uint64_t size = 0;  // every hard link counted, as Tree::size
    std::uint64_t disk_usage = 0;
    std::uint64_t apparent_size = 0;
    std::int64_t newest_mtime = 0;
};

class TreeView {
public:
    // The view of `root` and everything below it. Fails, with the message of a
    // ValueError, when `root` is left out or replacements lead in a circle.
    static std::expected<TreeView, std::string> make(ViewEntry root, const Overlay& overlay);

    ViewEntry root() const { return root_; }
    // Nothing left out or replaced.
    bool plain() const { return plain_; }

    // What shows in place of `child` of a shown folder: itself, what replaces
    // it, or nothing when it was left out.
    std::optional<ViewEntry> shown(ViewEntry child) const;
    // Appends the shown children of `folder` in its tree's order.
    void children(ViewEntry folder, std::vector<ViewEntry>& out) const;
    ViewSizes sizes(ViewEntry entry) const;
    // A replacement shows under the name of the entry it replaced.
    std::string_view name(ViewEntry entry) const;
    // The full path as shown: its own tree's path, under the replaced one's name.
    std::string path(ViewEntry entry) const;

    // The issues about shown entries (an unexaminable entry's through its
    // folder): the root's tree's in their order, then each replacement's.
    std::vector<const TreeIssue*> issues() const;
    // The issue a shown entry has of its own (it could not be listed, or was
    // skipped), if any; an entry with several has its first.
    const TreeIssue* own_issue(ViewEntry entry) const;
    // Names in a shown folder whose entries could not be examined at all.
    const std::vector<std::string_view>* lost_names(ViewEntry folder) const;

private:
    struct Delta {
        std::int64_t size = 0, disk_usage = 0, apparent_size = 0;
    };
    using EntrySet = std::unordered_set<ViewEntry, ViewEntryHash>;
    template <typename Value>
    using EntryMap = std::unordered_map<ViewEntry, Value, ViewEntryHash>;

    TreeView() = default;
    std::expected<void, std::string> settle(const Tree* tree, std::unordered_set<const Tree*>& visiting);
    void index_issues(const Tree* tree);
    bool is_shown(ViewEntry entry) const;
    std::int64_t shown_newest(ViewEntry entry) const;

    ViewEntry root_;
    bool plain_ = true;
    EntrySet removed_;
    std::vector<std::pair<ViewEntry, ViewEntry>> replaced_list_;  // as given, for a stable order
    EntryMap<ViewEntry> replaced_;                                // entry -> what shows in its place
    EntryMap<ViewEntry> replacement_;                             // what shows -> the entry it replaces
    EntryMap<Delta> deltas_;
    EntryMap<std::int64_t> newest_;
    std::unordered_set<const Tree*> settled_;
    std::vector<const Tree*> trees_;  // the root's, then each replacement's, once each
    EntryMap<const TreeIssue*> own_issues_;
    EntryMap<std::vector<std::string_view>> lost_;
};

}  // namespace orvalnest
