// What the walk makes of each entry it examines: the node, the disk bytes, the
// reasons a directory is not entered. The sequential and the parallel walk both
// apply these, so the tree they return is the same.
#pragma once

#include <fnmatch.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "orvalnest/error.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/scanner.hpp"
#include "orvalnest/unique_fd.hpp"

namespace orvalnest::scanner_detail {

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return std::numeric_limits<std::uint64_t>::max();
    return sum;
}

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
};

// The inodes of multiply linked files met so far, so a file reachable through
// several links occupies the disk once. Files with one link never enter it.
class LinkedInodes {
public:
    // True the first time this inode is met.
    bool first_meeting(InodeKey key) { return seen_.insert(key).second; }

private:
    struct Hash {
        size_t operator()(const InodeKey& key) const noexcept {
            return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(key.inode) * 0x9E3779B97F4A7C15ULL ^
                                              static_cast<std::uint64_t>(key.device));
        }
    };
    std::unordered_set<InodeKey, Hash> seen_;
};

// The exclude patterns, split by what they are matched against.
class ExcludeRules {
public:
    explicit ExcludeRules(const std::vector<std::string>& patterns);
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
void sort_largest_first(std::vector<NodeRecord>& children);

// Where an examined entry lives: the root is given whole, every other entry as
// its directory's shared path plus the name the listing returned.
struct EntryPath {
    const SharedPathRef* directory;  // null for the root
    std::string_view name;           // the root's full path, or one component

    std::string joined() const {
        return directory ? paths::join(directory->text(), name) : std::string(name);
    }
    NodeRecord make_node(bool is_dir) const;
    // The full path of a directory about to be listed, shared by its entries.
    SharedPathRef make_shared() const;
};

// What an examined entry becomes before any directory is opened.
struct Examined {
    enum class Kind {
        Leaf,   // `node` is finished (a file, a link, a directory left unentered)
        Enter,  // `node` is a directory to list; its disk_usage holds its own allocation
        Skip,   // FIFOs, sockets and devices hold no data of their own
    } kind;
    NodeRecord node;
    std::optional<std::string> issue;  // why a directory is not entered
};

// The rules of one walk: where it started and what the caller asked for.
class VisitRules {
public:
    explicit VisitRules(const WalkOptions& options) : one_filesystem_(options.one_filesystem) {}
    // Reads the root's own metadata (a final symbolic link is not followed) and
    // keeps its device, which one_filesystem compares against. Gives the root
    // as a C string to open it with.
    OsResult<std::string> read_root(std::string_view root, struct stat& metadata);

    // `depth` counts from the root (0); `parent_device` is none for the root.
    // A regular file's disk_usage is its allocation even for a later hard link:
    // which link counts is the caller's to decide.
    Examined examine(const EntryPath& path, const struct stat& metadata, unsigned depth,
                     const dev_t* parent_device) const;

private:
    const bool one_filesystem_;
    dev_t root_device_ = 0;
};

// Opens a directory met in a listing of `parent_fd`. O_NOFOLLOW, so a directory
// swapped for a symbolic link since its metadata was read is not followed.
UniqueFd open_listed_directory(int parent_fd, const char* name);

// Checks a directory to list, right after the attempt to open it as `fd`. Gives
// the issue that leaves `node` unlisted: the open's error, or a kernel-made
// filesystem, whose node then counts no blocks. Only a mount point can start
// one, and a mount point has a device of its own: a directory on its parent's
// device (`parent_device`, none for the root) skips that check.
std::optional<std::string> check_entered(const UniqueFd& fd, NodeRecord& node, dev_t device,
                                         const dev_t* parent_device);

}  // namespace orvalnest::scanner_detail
