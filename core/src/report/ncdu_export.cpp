// The format of `ncdu -o`: [1, 2, {header}, [{folder}, item, [{folder}, ...], ...]].
// ncdu adds the sizes up itself, so a folder carries only its own, and a
// hard-linked file its inode, by which ncdu counts it once.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../scanner/visit_rules.hpp"
#include "orvalnest/exports.hpp"
#include "orvalnest/json_text.hpp"
#include "orvalnest/open_beneath.hpp"
#include "orvalnest/unique_fd.hpp"
#include "write_number.hpp"

namespace orvalnest {
namespace {

// Folders of the trees of a view, opened again below each tree's root without
// following a link: the last one opened is kept, since the entries that need
// it (hard links, a listing) come one folder at a time.
class Folders {
public:
    // A descriptor of the folder (O_PATH unless `listing`), or -1.
    int open(const Tree& tree, EntryIndex folder, bool listing) {
        if (last_tree_ == &tree && last_folder_ == folder && last_listing_ == listing) return last_.get();
        last_tree_ = &tree;
        last_folder_ = folder;
        last_listing_ = listing;
        last_.reset();
        auto [root, fresh] = roots_.try_emplace(&tree);
        if (fresh) {
            // The scan followed the root as given, links in it included.
            root->second = UniqueFd(::open(tree.root_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
        if (!root->second) return -1;
        std::vector<std::string_view> names;
        for (EntryIndex at = folder; at != 0; at = tree.parent(at)) names.push_back(tree.name(at));
        std::string relative = ".";
        for (auto name = names.rbegin(); name != names.rend(); ++name) {
            relative.push_back('/');
            relative += *name;
        }
        const int flags = (listing ? O_RDONLY : O_PATH) | O_DIRECTORY;
        if (auto opened = open_beneath(root->second.get(), relative, flags)) last_ = std::move(*opened);
        return last_.get();
    }

private:
    std::unordered_map<const Tree*, UniqueFd> roots_;
    const Tree* last_tree_ = nullptr;
    EntryIndex last_folder_ = kNoEntry;
    bool last_listing_ = false;
    UniqueFd last_;
};

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

struct Frame {
    ViewEntry folder;
    std::vector<ViewEntry> children;
    std::size_t next = 0;
};

class NcduWriter {
public:
    NcduWriter(const TreeView& view, ExcludePatterns patterns, ExportOutput& out)
        : view_(view), patterns_(patterns), out_(out) {}

    OsResult<void> write(const ExportHeader& header) {
        std::string& text = out_.text();
        text += "[1,2,{\"progname\":\"orvalnest\",\"progver\":";
        append_json_text(text, header.version, JsonEscapes::Ncdu);
        text += ",\"timestamp\":";
        append_number(text, header.timestamp);
        text += "},\n";
        const ViewEntry root = view_.root();
        // ncdu insists on a folder at the top, named by its whole path.
        std::string top = view_.path(root);
        while (top.size() > 1 && top.ends_with('/')) top.pop_back();
        if (!root.tree->is_dir(root.index)) {
            text += "[{\"name\":";
            append_json_text(text, top, JsonEscapes::Ncdu);
            text += ",\"asize\":0,\"notreg\":true}]]\n";
            return out_.flush();
        }
        text.push_back('[');
        folder_info(root, top);
        open(root);
        while (depth_ > 0) {
            Frame& frame = stack_[depth_ - 1];
            if (frame.next == frame.children.size()) {
                close(frame.folder);
                --depth_;
            } else {
                const ViewEntry child = frame.children[frame.next++];
                item(child);
            }
            if (auto paced = out_.pace(); !paced) return paced;
        }
        text += "]\n";
        return out_.flush();
    }

private:
    void item(ViewEntry entry) {
        std::string& text = out_.text();
        const Tree& tree = *entry.tree;
        const std::string_view name = view_.name(entry);
        if (!tree.is_dir(entry.index)) {
            text += ",\n";
            file_info(entry, name);
            return;
        }
        if (tree.has(entry.index, entry_flag::Skipped)) {
            // Another filesystem or a kernel-made one: ncdu's own words for them.
            const TreeIssue* issue = view_.own_issue(entry);
            const bool pseudo =
                issue && std::string_view(issue->message).starts_with("skipped: pseudo-filesystem");
            text += ",\n{\"name\":";
            append_json_text(text, name, JsonEscapes::Ncdu);
            text += pseudo ? ",\"excluded\":\"kernfs\"}" : ",\"excluded\":\"otherfs\"}";
            return;
        }
        text += ",\n[";
        folder_info(entry, name);
        open(entry);
    }

    void open(ViewEntry folder) {
        if (depth_ == stack_.size()) stack_.emplace_back();
        Frame& frame = stack_[depth_++];
        frame.folder = folder;
        frame.children.clear();
        frame.next = 0;
        view_.children(folder, frame.children);
    }

    // A folder's own sizes: what it holds beyond its children in its own tree.
    void folder_info(ViewEntry folder, std::string_view name) {
        const Tree& tree = *folder.tree;
        std::uint64_t disk = tree.disk_usage(folder.index), apparent = tree.apparent_size(folder.index);
        const ChildRange range = tree.children(folder.index);
        for (EntryIndex child = range.first; child < range.first + range.count; ++child) {
            disk -= std::min(disk, tree.disk_usage(child));
            apparent -= std::min(apparent, tree.apparent_size(child));
        }
        std::string& text = out_.text();
        text += "{\"name\":";
        append_json_text(text, name, JsonEscapes::Ncdu);
        text += ",\"asize\":";
        append_number(text, apparent);
        text += ",\"dsize\":";
        append_number(text, disk);
        mtime(tree.mtime(folder.index));
        const TreeIssue* issue = view_.own_issue(folder);
        if (issue && !issue->skipped) text += ",\"read_error\":true";
        text.push_back('}');
    }

    void file_info(ViewEntry entry, std::string_view name) {
        const Tree& tree = *entry.tree;
        const EntryIndex index = entry.index;
        std::string& text = out_.text();
        text += "{\"name\":";
        append_json_text(text, name, JsonEscapes::Ncdu);
        const bool symlink = tree.has(index, entry_flag::Symlink);
        const bool counted = tree.has(index, entry_flag::CountedLink);
        struct stat metadata {};
        // An uncounted link of an inode has no sizes of its own in the tree, and
        // ncdu wants every link's inode: those few are looked at again.
        const bool looked = (tree.has(index, entry_flag::Hardlink) || !counted) && look(entry, metadata);
        if (looked) {
            text += ",\"asize\":";
            append_number(text, static_cast<std::uint64_t>(metadata.st_size));
            text += ",\"dsize\":";
            append_number(text, static_cast<std::uint64_t>(metadata.st_blocks) * 512);
            if (symlink) {
                text += ",\"notreg\":true";
            } else {
                text += ",\"ino\":";
                append_number(text, static_cast<std::uint64_t>(metadata.st_ino));
                text += ",\"hlnkc\":true,\"nlink\":";
                append_number(text, static_cast<std::uint64_t>(metadata.st_nlink));
            }
        } else if (symlink) {
            text += ",\"asize\":";
            append_number(text, counted ? tree.apparent_size(index) : 0);
            text += ",\"dsize\":";
            append_number(text, tree.disk_usage(index));
            text += ",\"notreg\":true";
        } else {
            text += ",\"asize\":";
            append_number(text, tree.size(index));
            text += ",\"dsize\":";
            append_number(text, tree.disk_usage(index));
        }
        mtime(tree.mtime(index));
        text.push_back('}');
    }

    void mtime(std::int64_t seconds) {
        // ncdu reads an unsigned number; a time before 1970 says nothing useful to it.
        out_.text() += ",\"mtime\":";
        append_number(out_.text(), std::max<std::int64_t>(seconds, 0));
    }

    bool look(ViewEntry entry, struct stat& metadata) {
        const Tree& tree = *entry.tree;
        const int folder = folders_.open(tree, tree.parent(entry.index), false);
        if (folder < 0) return false;
        const std::string name(tree.name(entry.index));
        return ::fstatat(folder, name.c_str(), &metadata, AT_SYMLINK_NOFOLLOW) == 0;
    }

    // Ends a folder's array with the entries that have none in the tree: those
    // that could not be examined, and those the patterns left out.
    void close(ViewEntry folder) {
        std::string& text = out_.text();
        if (const auto* lost = view_.lost_names(folder)) {
            for (const std::string_view name : *lost) {
                text += ",\n{\"name\":";
                append_json_text(text, name, JsonEscapes::Ncdu);
                text += ",\"read_error\":true}";
            }
        }
        for (const std::string& name : excluded_names(folder)) {
            text += ",\n{\"name\":";
            append_json_text(text, name, JsonEscapes::Ncdu);
            text += ",\"excluded\":\"pattern\"}";
        }
        text.push_back(']');
    }

    std::vector<std::string> excluded_names(ViewEntry folder) {
        const Tree& tree = *folder.tree;
        std::vector<std::string> found;
        if (tree.excluded() == 0) return found;
        const auto* patterns = patterns_(&tree);
        if (!patterns || patterns->empty()) return found;
        auto [rules, fresh] = rules_.try_emplace(&tree, *patterns);
        const int fd = folders_.open(tree, folder.index, true);
        if (fd < 0) return found;
        const int listing = ::dup(fd);
        std::unique_ptr<DIR, DirCloser> dir(listing < 0 ? nullptr : ::fdopendir(listing));
        if (!dir) {
            if (listing >= 0) ::close(listing);
            return found;
        }
        std::unordered_set<std::string_view> present;
        const ChildRange range = tree.children(folder.index);
        for (EntryIndex child = range.first; child < range.first + range.count; ++child)
            present.insert(tree.name(child));
        std::string path = tree.path(folder.index);
        if (!path.ends_with('/')) path.push_back('/');
        const std::size_t base = path.size();
        while (const dirent* entry = ::readdir(dir.get())) {
            const std::string_view name = entry->d_name;
            if (name == "." || name == ".." || present.contains(name)) continue;
            path.resize(base);
            path += name;
            if (rules->second.excludes(path, name.size())) found.emplace_back(name);
        }
        std::ranges::sort(found);
        return found;
    }

    const TreeView& view_;
    ExcludePatterns patterns_;
    ExportOutput& out_;
    Folders folders_;
    std::unordered_map<const Tree*, scanner_detail::ExcludeRules> rules_;
    std::vector<Frame> stack_;
    std::size_t depth_ = 0;
};

}  // namespace

OsResult<void> write_ncdu_export(const TreeView& view, const ExportHeader& header, ExcludePatterns patterns,
                                 ExportOutput& out) {
    return NcduWriter(view, patterns, out).write(header);
}

}  // namespace orvalnest
