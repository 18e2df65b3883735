#include "orvalnest/tree.hpp"

#include <algorithm>

#include "orvalnest/paths.hpp"
#include "orvalnest/scanner.hpp"

namespace orvalnest {

std::uint64_t Tree::apparent_size(EntryIndex entry) const {
    const std::uint8_t bits = flags_[entry];
    if (bits & entry_flag::Dir) return dir_apparent_[aux_[entry]];
    if (!(bits & entry_flag::CountedLink)) return 0;
    return (bits & entry_flag::Symlink) ? aux_[entry] : size_[entry];
}

std::int64_t Tree::newest_mtime(EntryIndex entry) const {
    return is_dir(entry) ? dir_newest_[aux_[entry]] : mtime_[entry];
}

std::uint32_t Tree::entries_below(EntryIndex entry) const {
    return is_dir(entry) ? dir_below_[aux_[entry]] : 0;
}

ChildRange Tree::children(EntryIndex entry) const {
    if (!is_dir(entry)) return {};
    const std::uint32_t slot = aux_[entry];
    return {first_child_[slot], child_count_[slot]};
}

std::string_view Tree::name(EntryIndex entry) const {
    if (entry == 0) return root_name(root_path_);
    const std::uint64_t reference = name_[entry];
    return {pool_.chunk_at(reference >> 8), static_cast<std::size_t>(reference & 0xFF)};
}

std::string Tree::path(EntryIndex entry) const {
    std::vector<std::string_view> names;
    for (; entry != 0; entry = parent_[entry]) names.push_back(name(entry));
    std::string path = root_path_;
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        if (!path.ends_with('/')) path += '/';
        path += *name;
    }
    return path;
}

std::optional<EntryIndex> Tree::child_named(EntryIndex directory, std::string_view wanted) const {
    const ChildRange range = children(directory);
    for (EntryIndex child = range.first; child < range.first + range.count; ++child) {
        if (name(child) == wanted) return child;
    }
    return std::nullopt;
}

}  // namespace orvalnest
