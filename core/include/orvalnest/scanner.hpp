// The folder walk behind every scan: it fills a compact Tree, with no
// interpreter calls. The Python side hands in two callbacks (cancellation and
// polling) and reads the tree once the walk is over.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orvalnest/error.hpp"
#include "orvalnest/function_ref.hpp"
#include "orvalnest/tree.hpp"

namespace orvalnest {

// The depth scan() stops at: its nodes are nested Python objects.
inline constexpr unsigned MAX_DEPTH = 256;
// The walk takes the interpreter lock once per this many examined entries.
inline constexpr std::uint64_t SIGNAL_POLL_INTERVAL = 200;
// Descriptors the walk keeps open for subdirectories still to list, beyond the
// root's and two per thread; past them a folder is opened again from the root.
inline constexpr int kHeldDescriptors = 64;

// Reads a batch of directory entries as getdents64 does: bytes filled, 0 at the
// end, -1 with errno set on failure.
using ReadDirectory = std::function<ssize_t(int fd, std::byte* buffer, std::size_t size)>;

// What the front ends may ask of a walk beyond the plain scan.
struct WalkOptions {
    // Directories on another device than the root are not entered.
    bool one_filesystem = false;
    // Shell patterns (fnmatch), matched as du matches them: against the full
    // path and against every trailing part of it that starts at a component
    // ("share/doc" leaves out /usr/share/doc). Matching entries are left out.
    std::vector<std::string> exclude;
    // Walking threads; 1 walks on the calling thread alone.
    unsigned threads = 1;
    TreeOrder order = TreeOrder::DiskUsage;
    // Directories this deep below the root are not entered; 0 for no limit.
    unsigned max_depth = 0;
    // Lists directories instead of getdents64 (Linux only), so tests can make reads fail.
    ReadDirectory read_directory;
};

// How far a walk has got, handed to the poll callback.
struct WalkProgress {
    std::uint64_t entries = 0;     // examined so far, the root included
    std::uint64_t size = 0;        // apparent bytes met so far
    std::uint64_t disk_usage = 0;  // allocated bytes met so far
    std::string_view directory;    // native bytes of the folder being read
};

// Checks a scan root: the lexical absolute form of `path`, which must exist and
// be a directory (following symbolic links). The failure names the exception
// the caller raises.
std::expected<std::string, Failure> resolve_root(std::string_view path);

// The span of `root` that names it: its final component, or all of it.
std::string_view root_name(std::string_view root);

// Walks `root` without following symbolic links, at any depth, holding a
// bounded number of descriptors. With one thread `is_cancelled` is asked
// before every directory and `poll` runs once per SIGNAL_POLL_INTERVAL examined
// entries; with more, both run only on the calling thread, as the workers
// start and then every few milliseconds. Nothing here raises for a path:
// unreadable ones become issues. Issues, and which link of a hard-linked inode
// counts, come out as a one-thread depth-first walk in listing order meets them.
std::unique_ptr<Tree> walk_tree(std::string_view root, const WalkOptions& options,
                                FunctionRef<bool()> is_cancelled,
                                FunctionRef<void(const WalkProgress&)> poll);

}  // namespace orvalnest
