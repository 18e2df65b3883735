// The per-entry step of the walk: what an examined entry becomes (its row, the
// reason a directory is not entered), which entries the exclude patterns leave
// out, and the inodes whose blocks were counted already.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "../tree/tree_builder.hpp"
#include "orvalnest/error.hpp"
#include "orvalnest/scanner.hpp"
#include "orvalnest/unique_fd.hpp"

namespace orvalnest::scanner_detail {

// Bytes allocated to an entry, from its block count (512-byte units everywhere).
inline std::uint64_t allocated_bytes(const struct stat& metadata) {
    const auto blocks = static_cast<std::uint64_t>(metadata.st_blocks);
    return blocks > std::numeric_limits<std::uint64_t>::max() / 512
               ? std::numeric_limits<std::uint64_t>::max()
               : blocks * 512;
}

struct InodeKey {
    dev_t device;
    ino_t inode;
    bool operator==(const InodeKey&) const = default;
    auto operator<=>(const InodeKey&) const = default;
};

// The inodes of multiply linked files met so far, so a file reachable through
// several links occupies the disk once. Files with one link never enter it.
// Shared by the walking threads.
class LinkedInodes {
public:
    // True the first time this inode is met.
    bool first_meeting(InodeKey key) {
        std::lock_guard lock(mutex_);
        return seen_.insert(key).second;
    }

private:
    struct Hash {
        size_t operator()(const InodeKey& key) const noexcept {
            return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(key.inode) * 0x9E3779B97F4A7C15ULL ^
                                              static_cast<std::uint64_t>(key.device));
        }
    };
    std::mutex mutex_;
    std::unordered_set<InodeKey, Hash> seen_;
};

// The exclude patterns, matched as du matches them: against the whole path
// and every trailing part of it that starts at a component.
class ExcludeRules {
public:
    explicit ExcludeRules(const std::vector<std::string>& patterns);
    bool empty() const { return patterns_.empty(); }
    // `path` is NUL-terminated and ends with the entry's name, `name_size` bytes long.
    bool excludes(const std::string& path, std::size_t name_size) const;

private:
    struct Pattern {
        std::string text;
        // How much of the path can match it: only the name when it is a plain
        // name or "*" and a plain suffix (no trailing part with a '/' can then
        // match where the name does not), else any trailing part.
        enum class Reach { Name, NameSuffix, AnyPart } reach;
    };
    std::vector<Pattern> patterns_;
};

// What an examined entry becomes.
struct Examined {
    enum class Kind {
        Leaf,   // `row` is finished (a file, a link, a directory left unentered)
        Enter,  // `row` is a directory to list; its disk_usage and apparent hold its own
        Skip,   // FIFOs, sockets and devices hold no data of their own
    } kind;
    EntryRow row;
    std::optional<std::string> issue;  // why a directory is not entered
    bool linked = false;               // a non-directory with several links: which one counts is the walk's
};

// The rules of one walk: where it started and what the caller asked for.
class VisitRules {
public:
    explicit VisitRules(const WalkOptions& options)
        : one_filesystem_(options.one_filesystem), max_depth_(options.max_depth) {}
    // Reads the root's own metadata (a final symbolic link is not followed) and
    // keeps its device, which one_filesystem compares against. Gives the root
    // as a C string to open it with.
    OsResult<std::string> read_root(std::string_view root, struct stat& metadata);

    // `depth` counts from the root (0); `name` is the entry's final component
    // (the root's whole path, which is not pooled). A directory left unentered
    // gets its row in the directory table here.
    Examined examine(std::string_view name, const struct stat& metadata, unsigned depth,
                     TreeBuilder::NameWriter* names, TreeBuilder& builder) const;

private:
    const bool one_filesystem_;
    const unsigned max_depth_;
    dev_t root_device_ = 0;
};

// Gives the issue that leaves the directory open as `fd` unlisted: a
// kernel-made filesystem, whose row then counts no bytes. Only a mount point
// can start one, and a mount point has a device of its own: a directory on its
// parent's device (`parent_device`, none for the root) skips the check.
std::optional<std::string> check_entered(int fd, EntryRow& row, dev_t device, const dev_t* parent_device);

}  // namespace orvalnest::scanner_detail
