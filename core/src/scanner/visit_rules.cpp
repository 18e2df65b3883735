#include "visit_rules.hpp"

#include <fcntl.h>

#include <algorithm>

#include "pseudo_filesystem.hpp"

namespace orvalnest::scanner_detail {

ExcludeRules::ExcludeRules(const std::vector<std::string>& patterns) {
    for (const auto& pattern : patterns) {
        (pattern.find('/') == std::string::npos ? by_name_ : by_path_).push_back(pattern);
    }
}

void sort_largest_first(std::vector<NodeRecord>& children) {
    const auto larger = [](const NodeRecord& a, const NodeRecord& b) { return a.size > b.size; };
    if (children.size() >= 21) {
        std::stable_sort(children.begin(), children.end(), larger);
        return;
    }
    // Most directories are small; insertion sort beats the merge sort's buffer there.
    for (size_t i = 1; i < children.size(); ++i) {
        if (!larger(children[i], children[i - 1])) continue;
        NodeRecord moving = std::move(children[i]);
        size_t j = i;
        do {
            children[j] = std::move(children[j - 1]);
            --j;
        } while (j > 0 && larger(moving, children[j - 1]));
        children[j] = std::move(moving);
    }
}

NodeRecord EntryPath::make_node(bool is_dir) const {
    NodeRecord node;
    node.is_dir = is_dir;
    if (directory) node.directory = *directory;
    node.tail_size = static_cast<std::uint32_t>(name.size());
    node.tail_data = copy_bytes(name);
    return node;
}

SharedPathRef EntryPath::make_shared() const {
    if (!directory) return SharedPathRef::concat({name});
    const std::string_view base = directory->text();
    return SharedPathRef::concat({base, base.ends_with('/') ? "" : "/", name});
}

OsResult<std::string> VisitRules::read_root(std::string_view root, struct stat& metadata) {
    auto c_root = paths::c_path(root);
    if (!c_root) return c_root;
    if (::lstat(c_root->c_str(), &metadata) != 0) return std::unexpected(OsError::last());
    root_device_ = metadata.st_dev;
    return c_root;
}

Examined VisitRules::examine(const EntryPath& path, const struct stat& metadata, unsigned depth,
                             const dev_t* parent_device) const {
    const auto type = metadata.st_mode & S_IFMT;
    if (type == S_IFREG || type == S_IFLNK) {
        NodeRecord node = path.make_node(false);
        // A symbolic link counts its own blocks but never its target's length.
        if (type == S_IFREG) node.size = static_cast<std::uint64_t>(metadata.st_size);
        node.is_symlink = type == S_IFLNK;
        node.is_hardlink = metadata.st_nlink > 1;
        node.disk_usage = allocated_bytes(metadata);
        return {Examined::Kind::Leaf, std::move(node), std::nullopt};
    }
    if (type != S_IFDIR) return {Examined::Kind::Skip, NodeRecord{}, std::nullopt};

    NodeRecord node = path.make_node(true);
    if (parent_device && one_filesystem_ && metadata.st_dev != root_device_) {
        return {Examined::Kind::Leaf, std::move(node), "skipped: other filesystem"};
    }
    // An unlisted directory still occupies its own blocks, as du counts them.
    node.disk_usage = allocated_bytes(metadata);
    if (depth >= MAX_DEPTH) {
        return {Examined::Kind::Leaf, std::move(node),
                "skipped: nested deeper than " + std::to_string(MAX_DEPTH) + " levels"};
    }
    return {Examined::Kind::Enter, std::move(node), std::nullopt};
}

UniqueFd open_listed_directory(int parent_fd, const char* name) {
    return UniqueFd(::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::optional<std::string> check_entered(const UniqueFd& fd, NodeRecord& node, dev_t device,
                                         const dev_t* parent_device) {
    if (!fd) return OsError::last().text();
    if (parent_device && *parent_device == device) return std::nullopt;
    if (const auto pseudo = pseudo_filesystem_name(fd.get())) {
        node.disk_usage = 0;  // nothing of a kernel-made filesystem is on a disk
        return "skipped: pseudo-filesystem (" + std::string(*pseudo) + ")";
    }
    return std::nullopt;
}

}  // namespace orvalnest::scanner_detail
