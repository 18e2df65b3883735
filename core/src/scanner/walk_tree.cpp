#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <variant>

#include "dir_reader.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/scanner.hpp"
#include "parallel_walk.hpp"
#include "visit_rules.hpp"

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
using scanner_detail::EntryPath;
using scanner_detail::Examined;
using scanner_detail::kDirBufferSize;
using scanner_detail::saturating_add;

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

class Walk {
public:
    Walk(const WalkOptions& options, FunctionRef<void(const WalkProgress&)> poll)
        : poll_(poll), rules_(options), exclude_(options.exclude) {
        stack_.reserve(MAX_DEPTH);
    }

    WalkOutcome run(std::string_view root, FunctionRef<bool()> is_cancelled) {
        const EntryPath root_path{nullptr, root};
        struct stat metadata {};
        const auto c_root = rules_.read_root(root, metadata);
        if (!c_root) return unlisted_root(root_path, c_root.error());

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
        Examined examined = rules_.examine(path, metadata, depth, parent_device);
        if (examined.kind == Examined::Kind::Skip) return Skip{};
        NodeRecord& node = examined.node;
        if (node.is_hardlink && !links_.first_meeting({metadata.st_dev, metadata.st_ino}))
            node.disk_usage = 0;
        size_so_far_ = saturating_add(size_so_far_, node.size);
        disk_so_far_ = saturating_add(disk_so_far_, node.disk_usage);
        if (examined.issue) add_issue(path.joined(), std::move(*examined.issue));
        if (examined.kind == Examined::Kind::Leaf) return Leaf{std::move(node)};

        // Relative to the parent's descriptor, so paths longer than PATH_MAX still open.
        UniqueFd fd = scanner_detail::open_listed_directory(parent_fd, open_name);
        const std::uint64_t own_disk = node.disk_usage;
        if (auto issue = scanner_detail::check_entered(fd, node, metadata.st_dev, parent_device)) {
            add_issue(path.joined(), std::move(*issue));
            disk_so_far_ -= own_disk - node.disk_usage;
            return Leaf{std::move(node)};
        }
        return Descend{DirFrame{std::move(node), path.make_shared(),
                                DirReader(std::move(fd), buffer_for(depth)), depth, metadata.st_dev,
                                own_disk}};
    }

    // Returns true when the finished frame was the root.
    bool finish_top() {
        NodeRecord node = std::move(stack_.back().node);
        std::uint64_t disk = stack_.back().own_disk_usage;
        stack_.pop_back();  // closes the directory; its entries keep the shared path
        auto& children = node.children;
        children.shrink_to_fit();
        scanner_detail::sort_largest_first(children);
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
    scanner_detail::VisitRules rules_;
    const scanner_detail::ExcludeRules exclude_;
    scanner_detail::LinkedInodes links_;
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
    if (options.threads > 1) return scanner_detail::parallel_walk(root, options, is_cancelled, poll);
    return Walk(options, poll).run(root, is_cancelled);
}

}  // namespace orvalnest
