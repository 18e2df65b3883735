#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
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
    explicit Walk(FunctionRef<void()> poll_signals) : poll_signals_(poll_signals) {
        stack_.reserve(MAX_DEPTH);
    }

    WalkOutcome run(std::string_view root, FunctionRef<bool()> is_cancelled) {
        const EntryPath root_path{nullptr, root};
        struct stat metadata {};
        const auto c_root = paths::c_path(root);
        if (!c_root) return unlisted_root(root_path, c_root.error());
        if (::lstat(c_root->c_str(), &metadata) != 0) return unlisted_root(root_path, OsError::last());

        VisitResult first = visit_entry(AT_FDCWD, c_root->c_str(), root_path, metadata, 0, nullptr);
        if (auto* leaf = std::get_if<Leaf>(&first)) return {std::move(leaf->node), std::move(issues_)};
        if (std::holds_alternative<Skip>(first)) return {root_path.make_node(true), std::move(issues_)};
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
        return {std::move(finished_root_), std::move(issues_)};
    }

private:
    WalkOutcome unlisted_root(const EntryPath& root, const OsError& error) {
        add_issue(root.joined(), error);
        return {root.make_node(true), std::move(issues_)};
    }

    // Examines one entry whose metadata is read. `open_name` opens it relative
    // to `parent_fd`; `parent_device` is the device of its directory, none for the root.
    VisitResult visit_entry(int parent_fd, const char* open_name, const EntryPath& path,
                            const struct stat& metadata, unsigned depth, const dev_t* parent_device) {
        if (++counter_ % SIGNAL_POLL_INTERVAL == 0) poll_signals_();

        switch (metadata.st_mode & S_IFMT) {
            case S_IFREG: {
                NodeRecord node = path.make_node(false);
                node.size = static_cast<std::uint64_t>(metadata.st_size);
                return Leaf{std::move(node)};
            }
            case S_IFLNK:
                return Leaf{path.make_node(false)};
            case S_IFDIR:
                break;
            default:
                return Skip{};  // FIFOs, sockets and devices hold no data of their own
        }

        if (depth >= MAX_DEPTH) {
            add_issue(path.joined(), "skipped: nested deeper than " + std::to_string(MAX_DEPTH) + " levels");
            return Leaf{path.make_node(true)};
        }
        // Relative to the parent's descriptor, so paths longer than PATH_MAX
        // still open; O_NOFOLLOW, so a directory swapped for a symbolic link
        // since its metadata was read is not followed.
        UniqueFd fd(::openat(parent_fd, open_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            add_issue(path.joined(), OsError::last());
            return Leaf{path.make_node(true)};
        }
        // Only a mount point can start a pseudo-filesystem, and a mount point
        // has a device of its own: every other directory skips the check.
        if (!parent_device || *parent_device != metadata.st_dev) {
            if (const auto pseudo = scanner_detail::pseudo_filesystem_name(fd.get())) {
                add_issue(path.joined(), "skipped: pseudo-filesystem (" + std::string(*pseudo) + ")");
                return Leaf{path.make_node(true)};
            }
        }
        return Descend{DirFrame{path.make_node(true), path.make_shared(),
                                DirReader(std::move(fd), buffer_for(depth)), depth, metadata.st_dev}};
    }

    // Returns true when the finished frame was the root.
    bool finish_top() {
        NodeRecord node = std::move(stack_.back().node);
        stack_.pop_back();  // closes the directory; its entries keep the shared path
        auto& children = node.children;
        children.shrink_to_fit();
        sort_largest_first(children);
        std::uint64_t total = 0;
        for (const auto& child : children) total = saturating_add(total, child.size);
        node.size = total;
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

    FunctionRef<void()> poll_signals_;
    std::uint64_t counter_ = 0;
    std::vector<IssueRecord> issues_;
    std::vector<DirFrame> stack_;
    std::vector<std::unique_ptr<std::byte[]>> buffers_;
    NodeRecord finished_root_;
};

}  // namespace

WalkOutcome walk_tree(std::string_view root, FunctionRef<bool()> is_cancelled,
                      FunctionRef<void()> poll_signals) {
    return Walk(poll_signals).run(root, is_cancelled);
}

}  // namespace orvalnest
