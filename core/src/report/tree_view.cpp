#include "orvalnest/tree_view.hpp"

#include <algorithm>
#include <limits>

namespace orvalnest {
namespace {

unsigned depth_of(const Tree& tree, EntryIndex entry) {
    unsigned depth = 0;
    for (; entry != 0; entry = tree.parent(entry)) ++depth;
    return depth;
}

std::uint64_t shifted(std::uint64_t value, std::int64_t delta) {
    if (delta < 0) {
        const auto less = static_cast<std::uint64_t>(-(delta + 1)) + 1;
        return value > less ? value - less : 0;
    }
    const auto more = static_cast<std::uint64_t>(delta);
    return value > std::numeric_limits<std::uint64_t>::max() - more
               ? std::numeric_limits<std::uint64_t>::max()
               : value + more;
}

std::int64_t difference(std::uint64_t after, std::uint64_t before) {
    return after >= before ? static_cast<std::int64_t>(after - before)
                           : -static_cast<std::int64_t>(before - after);
}

// The path without trailing separators ("" for the root of the filesystem):
// a root given as "/data/" holds "/data/x".
std::string_view trimmed(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    return path;
}

// The folder of the tree at `folder_path`, found name by name from the root.
std::optional<EntryIndex> folder_at(const Tree& tree, std::string_view folder_path) {
    const std::string_view root = trimmed(tree.root_path());
    folder_path = trimmed(folder_path);
    if (folder_path == root) return 0;
    if (!folder_path.starts_with(root) || folder_path.size() <= root.size() ||
        folder_path[root.size()] != '/')
        return std::nullopt;
    std::string_view rest = folder_path.substr(root.size() + 1);
    EntryIndex at = 0;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const auto found = tree.child_named(at, rest.substr(0, slash));
        if (!found) return std::nullopt;
        at = *found;
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    return at;
}

}  // namespace

std::expected<TreeView, std::string> TreeView::make(ViewEntry root, const Overlay& overlay) {
    TreeView view;
    view.plain_ = overlay.removed.empty() && overlay.replaced.empty();
    view.removed_.insert(overlay.removed.begin(), overlay.removed.end());
    view.replaced_list_ = overlay.replaced;
    for (const auto& [entry, replacement] : overlay.replaced) {
        view.replaced_[entry] = replacement;
        view.replacement_[replacement] = entry;
    }
    if (view.removed_.contains(root))
        return std::unexpected("the folder to write is among the removed entries");
    // A root scanned again shows as its newer scan, under its own name.
    for (std::size_t hops = 0; view.replaced_.contains(root); ++hops) {
        if (hops > view.replaced_.size()) return std::unexpected("the replacements lead in a circle");
        root = view.replaced_.at(root);
        if (view.removed_.contains(root))
            return std::unexpected("the folder to write is among the removed entries");
    }
    view.root_ = root;
    std::unordered_set<const Tree*> visiting;
    if (auto settled = view.settle(root.tree, visiting); !settled) return std::unexpected(settled.error());
    for (const Tree* tree : view.trees_) view.index_issues(tree);
    return view;
}

// Works out, for every folder of `tree` above a removed or replaced entry,
// what it lost or gained, deepest entries first so that a folder's change
// counts what happened below it once; replacements' trees first, for the same
// reason.
std::expected<void, std::string> TreeView::settle(const Tree* tree,
                                                  std::unordered_set<const Tree*>& visiting) {
    if (settled_.contains(tree)) return {};
    if (!visiting.insert(tree).second) return std::unexpected("the replacements lead in a circle");
    trees_.push_back(tree);
    std::vector<std::pair<unsigned, EntryIndex>> points;
    for (const ViewEntry& entry : removed_) {
        if (entry.tree == tree) points.push_back({depth_of(*tree, entry.index), entry.index});
    }
    for (const auto& [entry, replacement] : replaced_list_) {
        if (entry.tree != tree) continue;
        if (!removed_.contains(entry)) points.push_back({depth_of(*tree, entry.index), entry.index});
        if (auto inner = settle(replacement.tree, visiting); !inner) return inner;
    }
    std::ranges::sort(points, std::greater<>());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    std::vector<std::pair<unsigned, EntryIndex>> changed;
    for (const auto& [depth, index] : points) {
        const ViewEntry entry{tree, index};
        const ViewSizes before = sizes(entry);
        ViewSizes after{};
        if (const auto shown_as = shown(entry)) after = sizes(*shown_as);
        const Delta change{difference(after.size, before.size),
                           difference(after.disk_usage, before.disk_usage),
                           difference(after.apparent_size, before.apparent_size)};
        unsigned level = depth;
        for (EntryIndex at = index; at != 0;) {
            at = tree->parent(at);
            Delta& delta = deltas_[{tree, at}];
            delta.size += change.size;
            delta.disk_usage += change.disk_usage;
            delta.apparent_size += change.apparent_size;
            changed.push_back({--level, at});
        }
    }
    // The newest time of a folder above a change is taken again from what it shows.
    std::ranges::sort(changed, std::greater<>());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    for (const auto& [depth, folder] : changed) {
        std::int64_t newest = tree->mtime(folder);
        const ChildRange range = tree->children(folder);
        for (EntryIndex child = range.first; child < range.first + range.count; ++child) {
            if (const auto shown_as = shown({tree, child}))
                newest = std::max(newest, shown_newest(*shown_as));
        }
        newest_[{tree, folder}] = newest;
    }
    visiting.erase(tree);
    settled_.insert(tree);
    return {};
}

void TreeView::index_issues(const Tree* tree) {
    std::unordered_map<std::string_view, std::optional<EntryIndex>> folders;
    for (const TreeIssue& issue : tree->issues()) {
        if (issue.entry != kNoEntry) {
            own_issues_.try_emplace({tree, issue.entry}, &issue);
            continue;
        }
        if (issue.skipped) continue;
        const std::string_view path = issue.path;
        const std::size_t slash = path.rfind('/');
        if (slash == std::string_view::npos) continue;
        const std::string_view folder_path = path.substr(0, slash);
        auto [known, fresh] = folders.try_emplace(folder_path);
        if (fresh) known->second = folder_at(*tree, folder_path);
        if (known->second) lost_[{tree, *known->second}].push_back(path.substr(slash + 1));
    }
}

std::optional<ViewEntry> TreeView::shown(ViewEntry child) const {
    if (plain_) return child;
    for (std::size_t hops = 0; hops <= replaced_.size(); ++hops) {
        if (removed_.contains(child)) return std::nullopt;
        const auto replacement = replaced_.find(child);
        if (replacement == replaced_.end()) return child;
        child = replacement->second;
    }
    return std::nullopt;  // a circle, refused by make()
}

void TreeView::children(ViewEntry folder, std::vector<ViewEntry>& out) const {
    const ChildRange range = folder.tree->children(folder.index);
    for (EntryIndex child = range.first; child < range.first + range.count; ++child) {
        if (const auto shown_as = shown({folder.tree, child})) out.push_back(*shown_as);
    }
}

ViewSizes TreeView::sizes(ViewEntry entry) const {
    const Tree& tree = *entry.tree;
    ViewSizes sizes{tree.size(entry.index), tree.disk_usage(entry.index), tree.apparent_size(entry.index),
                    tree.newest_mtime(entry.index)};
    if (deltas_.empty()) return sizes;
    if (const auto delta = deltas_.find(entry); delta != deltas_.end()) {
        sizes.size = shifted(sizes.size, delta->second.size);
        sizes.disk_usage = shifted(sizes.disk_usage, delta->second.disk_usage);
        sizes.apparent_size = shifted(sizes.apparent_size, delta->second.apparent_size);
    }
    sizes.newest_mtime = shown_newest(entry);
    return sizes;
}

std::int64_t TreeView::shown_newest(ViewEntry entry) const {
    const auto newest = newest_.find(entry);
    return newest != newest_.end() ? newest->second : entry.tree->newest_mtime(entry.index);
}

std::string_view TreeView::name(ViewEntry entry) const {
    for (std::size_t hops = 0; hops <= replacement_.size(); ++hops) {
        const auto replaced = replacement_.find(entry);
        if (replaced == replacement_.end()) break;
        entry = replaced->second;
    }
    return entry.tree->name(entry.index);
}

std::string TreeView::path(ViewEntry entry) const {
    for (std::size_t hops = 0; hops <= replacement_.size(); ++hops) {
        const auto replaced = replacement_.find(entry);
        if (replaced == replacement_.end()) break;
        entry = replaced->second;
    }
    return entry.tree->path(entry.index);
}

// Whether `entry` shows below the root: every folder on the way up is shown
// as itself, and a replacement's way continues from the entry it replaced.
bool TreeView::is_shown(ViewEntry entry) const {
    if (plain_ && root_.index == 0) return entry.tree == root_.tree;
    if (removed_.contains(entry) || replaced_.contains(entry)) return false;
    for (ViewEntry at = entry;;) {
        if (at == root_) return true;
        if (const auto replaced = replacement_.find(at); replaced != replacement_.end()) {
            at = replaced->second;
            if (removed_.contains(at)) return false;
        }
        if (at.index == 0) return false;
        at = {at.tree, at.tree->parent(at.index)};
        if (removed_.contains(at) || replaced_.contains(at)) return false;
    }
}

std::vector<const TreeIssue*> TreeView::issues() const {
    std::vector<const TreeIssue*> found;
    if (plain_ && root_.index == 0) {
        for (const TreeIssue& issue : root_.tree->issues()) found.push_back(&issue);
        return found;
    }
    for (const Tree* tree : trees_) {
        std::unordered_map<std::string_view, bool> folders;  // shown, by path
        for (const TreeIssue& issue : tree->issues()) {
            if (issue.entry != kNoEntry) {
                if (is_shown({tree, issue.entry})) found.push_back(&issue);
                continue;
            }
            const std::string_view path = issue.path;
            const std::string_view folder_path = path.substr(0, path.rfind('/'));
            auto [known, fresh] = folders.try_emplace(folder_path, false);
            if (fresh) {
                const auto folder = folder_at(*tree, folder_path);
                known->second = folder && is_shown({tree, *folder});
            }
            if (known->second) found.push_back(&issue);
        }
    }
    return found;
}

const TreeIssue* TreeView::own_issue(ViewEntry entry) const {
    const auto found = own_issues_.find(entry);
    return found == own_issues_.end() ? nullptr : found->second;
}

const std::vector<std::string_view>* TreeView::lost_names(ViewEntry folder) const {
    const auto found = lost_.find(folder);
    return found == lost_.end() ? nullptr : &found->second;
}

}  // namespace orvalnest
