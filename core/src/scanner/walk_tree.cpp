#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <unordered_set>
#include <variant>

#include "dir_reader.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/scanner.hpp"
#include "pseudo_filesystem.hpp"

namespace orvalnest {

std::string_view root_name(std::string_view root) {
    if (const auto final = paths::final_name(root)) return *final;
    return root;
}

std::string NodeRecord::path() const {
    return is_root() ? std::string(tail()) : paths::join(directory.text(), tail());
}

std::string_view NodeRecord::name_bytes() const { return is_root() ? root_name(tail()) : tail(); }

std::string NodeRecord::name() const { return paths::node_name(tail()); }

PathBytes copy_bytes(std::string_view bytes) {
    PathBytes copy(static_cast<char*>(std::malloc(bytes.empty() ? 1 : bytes.size())));
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    return copy;
}

namespace {

using scanner_detail::DirReader;
using scanner_detail::kDirBufferSize;

// Where an examined entry lives: the root is given whole, every other entry as
// its directory's shared path plus the name the listing returned.
struct EntryPath {
    const SharedPathRef* directory;  // null for the root
    std::string_view name;           // the root's full path, or one component

    std::string joined() const {
        return directory ? paths::join(directory->text(), name) : std::string(name);
    }

    NodeRecord make_node(bool is_dir) const {
        NodeRecord node;
        node.is_dir = is_dir;
        if (directory) node.directory = *directory;
        node.tail_size = static_cast<std::uint32_t>(name.size());
        node.tail_data = copy_bytes(name);
        return node;
    }

    // The full path of a directory about to be listed, shared by its entries.
    SharedPathRef make_shared() const {
        if (!directory) return SharedPathRef::concat({name});
        const std::string_view base = directory->text();
        return SharedPathRef::concat({base, base.ends_with('/') ? "" : "/", name});
    }
};

// One directory being listed.
struct DirFrame {
    NodeRecord node;  // the directory itself, and the children gathered so far
    SharedPathRef path;
    DirReader reader;
    unsigned depth = 0;
    dev_t device = 0;
    std::uint64_t own_disk_usage = 0;  // the directory's own allocation
};

struct Leaf {
    NodeRecord node;
};
struct Descend {
    DirFrame frame;
};
struct Skip {};
using VisitResult = std::variant<Leaf, Descend, Skip>;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return std::numeric_limits<std::uint64_t>::max();
    return sum;
}

// Bytes allocated to an entry, from its block count (512-byte units everywhere).
std::uint64_t allocated_bytes(const struct stat& metadata) {
    const auto blocks = static_cast<std::uint64_t>(metadata.st_blocks);
    return blocks > std::numeric_limits<std::uint64_t>::max() / 512
               ? std::numeric_limits<std::uint64_t>::max()
               : blocks * 512;
}

// The inodes of multiply linked files met so far, so a file reachable through
// several links occupies the disk once. Files with one link never enter it.
class LinkedInodes {
public:
    // True the first time this inode is met.
    bool first_meeting(const struct stat& metadata) {
        return seen_.insert(Key{metadata.st_dev, metadata.st_ino}).second;
    }

private:
    struct Key {
        dev_t device;
        ino_t inode;
        bool operator==(const Key&) const = default;
    };
    struct Hash {
        size_t operator()(const Key& key) const noexcept {
            return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(key.inode) * 0x9E3779B97F4A7C15ULL ^
                                              static_cast<std::uint64_t>(key.device));
        }
    };
    std::unordered_set<Key, Hash> seen_;
};

// The exclude patterns, split by what they are matched against.
class ExcludeRules {
public:
    explicit ExcludeRules(const std::vector<std::string>& patterns) {
        for (const auto& pattern : patterns) {
            (pattern.find('/') == std::string::npos ? by_name_ : by_path_).push_back(pattern);
        }
    }
    bool empty() const { return by_name_.empty() && by_path_.empty(); }
    // `name` is NUL-terminated; the full path is only made when a pattern needs it.
    template <typename MakePath>
    bool excludes(const char* name, MakePath&& make_path) const {
        for (const auto& pattern : by_name_) {
            if (::fnmatch(pattern.c_str(), name, 0) == 0) return true;
        }
        if (by_path_.empty()) return false;
        const std::string path = make_path();
        for (const auto& pattern : by_path_) {
            if (::fnmatch(pattern.c_str(), path.c_str(), 0) == 0) return true;
        }
        return false;
    }

private:
    std::vector<std::string> by_name_;
    std::vector<std::string> by_path_;
};

// Largest first; equal sizes keep the listing's order.
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

class Walk {
public:
    Walk(const WalkOptions& options, FunctionRef<void(const WalkProgress&)> poll)
        : poll_(poll), one_filesystem_(options.one_filesystem), exclude_(options.exclude) {
        stack_.reserve(MAX_DEPTH);
    }

    WalkOutcome run(std::string_view root, FunctionRef<bool()> is_cancelled) {
        const EntryPath root_path{nullptr, root};
        struct stat metadata {};
        const auto c_root = paths::c_path(root);
        if (!c_root) return unlisted_root(root_path, c_root.error());
        if (::lstat(c_root->c_str(), &metadata) != 0) return unlisted_root(root_path, OsError::last());
        root_device_ = metadata.st_dev;

        VisitResult first = visit_entry(AT_FDCWD, c_root->c_str(), root_path, metadata, 0, nullptr);
        if (auto* leaf = std::get_if<Leaf>(&first)) return outcome(std::move(leaf->node));
        if (std::holds_alternative<Skip>(first)) return outcome(root_path.make_node(true));
        stack_.push_back(std::move(std::get<Descend>(first).frame));

        for (;;) {
            DirFrame& top = stack_.back();
            // Once cancelled, every open frame is finished with what it has.
            if (is_cancelled()) {
                if (finish_top()) break;
                continue;
            }
            const DirReader::Next next = top.reader.next();
            if (next.step == DirReader::Step::End) {
                if (finish_top()) break;
                continue;
            }
            if (next.step == DirReader::Step::Error) {
                add_issue(std::string(top.path.text()), OsError::from_errno(next.error));
                continue;
            }
            const EntryPath entry{&top.path, {next.name, next.name_size}};
            if (!exclude_.empty() && exclude_.excludes(next.name, [&] { return entry.joined(); })) {
                ++excluded_;
                continue;
            }
            if (::fstatat(top.reader.fd(), next.name, &metadata, AT_SYMLINK_NOFOLLOW) != 0) {
                add_issue(entry.joined(), OsError::last());
                continue;
            }
            VisitResult visited =
                visit_entry(top.reader.fd(), next.name, entry, metadata, top.depth + 1, &top.device);
            if (auto* leaf = std::get_if<Leaf>(&visited)) {
                top.node.children.push_back(std::move(leaf->node));
            } else if (auto* descend = std::get_if<Descend>(&visited)) {
                // `stack_` never reallocates (reserved for MAX_DEPTH frames), but
                // `top` is not used past this point anyway.
                stack_.push_back(std::move(descend->frame));
            }
        }
        return outcome(std::move(finished_root_));
    }

private:
    WalkOutcome unlisted_root(const EntryPath& root, const OsError& error) {
        add_issue(root.joined(), error);
        return outcome(root.make_node(true));
    }

    WalkOutcome outcome(NodeRecord root) {
        return {std::move(root), std::move(issues_), excluded_, counter_};
    }

    // Examines one entry whose metadata is read. `open_name` opens it relative
    // to `parent_fd`; `parent_device` is the device of its directory, none for the root.
    VisitResult visit_entry(int parent_fd, const char* open_name, const EntryPath& path,
                            const struct stat& metadata, unsigned depth, const dev_t* parent_device) {
        if (++counter_ % SIGNAL_POLL_INTERVAL == 0) {
            poll_(WalkProgress{counter_, size_so_far_, disk_so_far_,
                               path.directory ? path.directory->text() : path.name});
        }

        const auto type = metadata.st_mode & S_IFMT;
        if (type == S_IFREG || type == S_IFLNK) {
            NodeRecord node = path.make_node(false);
            // A symbolic link counts its own blocks but never its target's length.
            if (type == S_IFREG) node.size = static_cast<std::uint64_t>(metadata.st_size);
            node.is_symlink = type == S_IFLNK;
            node.is_hardlink = metadata.st_nlink > 1;
            if (!node.is_hardlink || links_.first_meeting(metadata))
                node.disk_usage = allocated_bytes(metadata);
            size_so_far_ = saturating_add(size_so_far_, node.size);
            disk_so_far_ = saturating_add(disk_so_far_, node.disk_usage);
            return Leaf{std::move(node)};
        }
        if (type != S_IFDIR) return Skip{};  // FIFOs, sockets and devices hold no data of their own

        if (parent_device && one_filesystem_ && metadata.st_dev != root_device_) {
            add_issue(path.joined(), "skipped: other filesystem");
            return Leaf{path.make_node(true)};
        }
        // An unlisted directory still occupies its own blocks, as du counts them.
        const std::uint64_t own_disk = allocated_bytes(metadata);
        disk_so_far_ = saturating_add(disk_so_far_, own_disk);
        if (depth >= MAX_DEPTH) {
            add_issue(path.joined(), "skipped: nested deeper than " + std::to_string(MAX_DEPTH) + " levels");
            return Leaf{unlisted_directory(path, own_disk)};
        }
        // Relative to the parent's descriptor, so paths longer than PATH_MAX
        // still open; O_NOFOLLOW, so a directory swapped for a symbolic link
        // since its metadata was read is not followed.
        UniqueFd fd(::openat(parent_fd, open_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            add_issue(path.joined(), OsError::last());
            return Leaf{unlisted_directory(path, own_disk)};
        }
        // Only a mount point can start a pseudo-filesystem, and a mount point
        // has a device of its own: every other directory skips the check.
        if (!parent_device || *parent_device != metadata.st_dev) {
            if (const auto pseudo = scanner_detail::pseudo_filesystem_name(fd.get())) {
                add_issue(path.joined(), "skipped: pseudo-filesystem (" + std::string(*pseudo) + ")");
                disk_so_far_ -= own_disk;  // nothing of a kernel-made filesystem is on a disk
                return Leaf{path.make_node(true)};
            }
        }
        return Descend{DirFrame{path.make_node(true), path.make_shared(),
                                DirReader(std::move(fd), buffer_for(depth)), depth, metadata.st_dev,
                                own_disk}};
    }

    static NodeRecord unlisted_directory(const EntryPath& path, std::uint64_t own_disk) {
        NodeRecord node = path.make_node(true);
        node.disk_usage = own_disk;
        return node;
    }

    // Returns true when the finished frame was the root.
    bool finish_top() {
        NodeRecord node = std::move(stack_.back().node);
        std::uint64_t disk = stack_.back().own_disk_usage;
        stack_.pop_back();  // closes the directory; its entries keep the shared path
        auto& children = node.children;
        children.shrink_to_fit();
        sort_largest_first(children);
        std::uint64_t total = 0;
        for (const auto& child : children) {
            total = saturating_add(total, child.size);
            disk = saturating_add(disk, child.disk_usage);
        }
        node.size = total;
        node.disk_usage = disk;
        if (stack_.empty()) {
            finished_root_ = std::move(node);
            return true;
        }
        stack_.back().node.children.push_back(std::move(node));
        return false;
    }

    // One listing buffer per depth: a frame is the only one at its depth.
    std::byte* buffer_for(unsigned depth) {
        if (buffers_.empty()) buffers_.resize(MAX_DEPTH);
        auto& buffer = buffers_[depth];
        if (!buffer) buffer = std::make_unique_for_overwrite<std::byte[]>(kDirBufferSize);
        return buffer.get();
    }

    void add_issue(std::string path, const OsError& error) { add_issue(std::move(path), error.text()); }
    void add_issue(std::string path, std::string message) {
        issues_.push_back({std::move(path), std::move(message)});
    }

    FunctionRef<void(const WalkProgress&)> poll_;
    const bool one_filesystem_;
    const ExcludeRules exclude_;
    dev_t root_device_ = 0;
    LinkedInodes links_;
    std::uint64_t counter_ = 0;
    std::uint64_t excluded_ = 0;
    std::uint64_t size_so_far_ = 0;
    std::uint64_t disk_so_far_ = 0;
    std::vector<IssueRecord> issues_;
    std::vector<DirFrame> stack_;
    std::vector<std::unique_ptr<std::byte[]>> buffers_;
    NodeRecord finished_root_;
};

}  // namespace

WalkOutcome walk_tree(std::string_view root, FunctionRef<bool()> is_cancelled,
                      FunctionRef<void()> poll_signals) {
    const auto poll = [&](const WalkProgress&) { poll_signals(); };
    return walk_tree(root, WalkOptions{}, is_cancelled, poll);
}

WalkOutcome walk_tree(std::string_view root, const WalkOptions& options, FunctionRef<bool()> is_cancelled,
                      FunctionRef<void(const WalkProgress&)> poll) {
    return Walk(options, poll).run(root, is_cancelled);
}

}  // namespace orvalnest
