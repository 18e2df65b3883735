#include "visit_rules.hpp"

#include <fcntl.h>
#include <fnmatch.h>

#include "orvalnest/category.hpp"
#include "orvalnest/paths.hpp"
#include "pseudo_filesystem.hpp"

namespace orvalnest::scanner_detail {

ExcludeRules::ExcludeRules(const std::vector<std::string>& patterns) {
    constexpr std::string_view kSpecial = "*?[\\/";
    for (const auto& text : patterns) {
        Pattern::Reach reach = Pattern::Reach::AnyPart;
        if (text.find_first_of(kSpecial) == std::string::npos) {
            reach = Pattern::Reach::Name;
        } else if (text.starts_with('*') && text.find_first_of(kSpecial, 1) == std::string::npos) {
            reach = Pattern::Reach::NameSuffix;
        }
        patterns_.push_back({text, reach});
    }
}

bool ExcludeRules::excludes(const std::string& path, std::size_t name_size) const {
    const char* name = path.c_str() + path.size() - name_size;
    for (const auto& pattern : patterns_) {
        if (pattern.reach != Pattern::Reach::AnyPart) {
            if (::fnmatch(pattern.text.c_str(), name, 0) == 0) return true;
            continue;
        }
        if (::fnmatch(pattern.text.c_str(), path.c_str(), 0) == 0) return true;
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            if (slash + 1 < path.size() && path[slash + 1] != '/' &&
                ::fnmatch(pattern.text.c_str(), path.c_str() + slash + 1, 0) == 0)
                return true;
        }
    }
    return false;
}

OsResult<std::string> VisitRules::read_root(std::string_view root, struct stat& metadata) {
    auto c_root = paths::c_path(root);
    if (!c_root) return c_root;
    if (::lstat(c_root->c_str(), &metadata) != 0) return std::unexpected(OsError::last());
    root_device_ = metadata.st_dev;
    return c_root;
}

Examined VisitRules::examine(std::string_view name, const struct stat& metadata, unsigned depth,
                             TreeBuilder::NameWriter* names, TreeBuilder& builder) const {
    const auto type = metadata.st_mode & S_IFMT;
    if (type != S_IFREG && type != S_IFLNK && type != S_IFDIR)
        return {Examined::Kind::Skip, {}, std::nullopt};

    EntryRow row;
    if (names) row.name = names->add(name);
    row.mtime = row.newest = static_cast<std::int64_t>(metadata.st_mtime);
    row.category = category_of(name, type == S_IFDIR);
    if (type != S_IFDIR) {
        // A symbolic link counts its own blocks and length, never its target's.
        const auto length = static_cast<std::uint64_t>(metadata.st_size);
        if (type == S_IFREG) {
            row.size = length;
        } else {
            row.flags |= entry_flag::Symlink;
            row.aux = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, UINT32_MAX));
        }
        row.apparent = length;
        row.disk_usage = allocated_bytes(metadata);
        const bool linked = metadata.st_nlink > 1;
        if (linked) row.flags |= entry_flag::Hardlink;
        return {Examined::Kind::Leaf, row, std::nullopt, linked};
    }

    row.flags |= entry_flag::Dir;
    const auto unentered = [&](std::string issue) {
        row.flags |= entry_flag::Skipped | entry_flag::Incomplete;
        row.aux = builder.add_directory({}, row);
        return Examined{Examined::Kind::Leaf, row, std::move(issue)};
    };
    if (depth > 0 && one_filesystem_ && metadata.st_dev != root_device_)
        return unentered("skipped: other filesystem");
    // An unlisted directory still occupies its own blocks, as du counts them.
    row.disk_usage = allocated_bytes(metadata);
    row.apparent = static_cast<std::uint64_t>(metadata.st_size);
    if (max_depth_ != 0 && depth >= max_depth_)
        return unentered("skipped: nested deeper than " + std::to_string(max_depth_) + " levels");
    return {Examined::Kind::Enter, row, std::nullopt};
}

std::optional<std::string> check_entered(int fd, EntryRow& row, dev_t device, const dev_t* parent_device) {
    if (parent_device && *parent_device == device) return std::nullopt;
    if (const auto pseudo = pseudo_filesystem_name(fd)) {
        row.disk_usage = row.apparent = 0;  // nothing of a kernel-made filesystem is on a disk
        row.flags |= entry_flag::Skipped | entry_flag::Incomplete;
        return "skipped: pseudo-filesystem (" + std::string(*pseudo) + ")";
    }
    return std::nullopt;
}

}  // namespace orvalnest::scanner_detail
