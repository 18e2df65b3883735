// The folder walk behind scan(): plain records, no interpreter calls. The
// Python side hands in two callbacks (cancellation and signal polling) and
// turns the records into objects once the walk is over.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orvalnest/error.hpp"
#include "orvalnest/function_ref.hpp"
#include "orvalnest/shared_path.hpp"

namespace orvalnest {

inline constexpr unsigned MAX_DEPTH = 256;
// The walk takes the interpreter lock once per this many examined entries.
inline constexpr std::uint64_t SIGNAL_POLL_INTERVAL = 200;

struct FreeDeleter {
    void operator()(char* bytes) const { std::free(bytes); }
};
// Bytes from malloc, without a terminating NUL; the Python node adopts the
// buffer as it is, so a name is stored once.
using PathBytes = std::unique_ptr<char[], FreeDeleter>;

// A malloc'd copy of `bytes` (never a null buffer, even when empty).
PathBytes copy_bytes(std::string_view bytes);

// One walked entry. Kept small (64 bytes plus its name) because a scan holds one
// per entry: the directory's path is shared, and the full path is made on demand.
struct NodeRecord {
    SharedPathRef directory;           // the path of the directory holding it; none for the root
    PathBytes tail_data;               // the entry's name; for the root, its whole path
    std::vector<NodeRecord> children;  // listed directories only; largest first once finished
    std::uint64_t size = 0;            // apparent bytes, every hard link counted
    std::uint64_t disk_usage = 0;      // allocated bytes, each inode counted once
    std::uint32_t tail_size = 0;
    bool is_dir = false;
    bool is_symlink = false;
    bool is_hardlink = false;  // a non-directory with more than one link

    bool is_root() const { return !directory; }
    std::string_view tail() const { return {tail_data.get(), tail_size}; }
    // The directory's path, a separator unless it ends with one, the name.
    std::string path() const;
    // The bytes of the final component (or of the whole path when it has none).
    std::string_view name_bytes() const;
    // The name as lossy text.
    std::string name() const;
};

// The span of `root` that names it: its final component, or all of it.
std::string_view root_name(std::string_view root);

struct IssueRecord {
    std::string path;     // native bytes
    std::string message;  // UTF-8
};

struct WalkOutcome {
    NodeRecord root;
    std::vector<IssueRecord> issues;  // in the order the walk met them
    std::uint64_t excluded = 0;       // entries left out by an exclude pattern
    std::uint64_t entries = 0;        // entries examined, the root included
};

// What the front ends may ask of a walk beyond the plain scan.
struct WalkOptions {
    // Directories on another device than the root are not entered.
    bool one_filesystem = false;
    // Shell patterns (fnmatch): one without '/' matches an entry's name, one
    // with '/' its full path. Matching entries are left out altogether.
    std::vector<std::string> exclude;
    // Walking threads; 1 walks on the calling thread alone.
    unsigned threads = 1;
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

// Walks `root` depth first without following symbolic links. `is_cancelled` is
// asked before every directory read; `poll_signals` runs once per
// SIGNAL_POLL_INTERVAL examined entries. Nothing here raises: unreadable
// paths become issues.
WalkOutcome walk_tree(std::string_view root, FunctionRef<bool()> is_cancelled,
                      FunctionRef<void()> poll_signals);

// The same walk with options; `poll` gets the progress so far.
WalkOutcome walk_tree(std::string_view root, const WalkOptions& options, FunctionRef<bool()> is_cancelled,
                      FunctionRef<void(const WalkProgress&)> poll);

}  // namespace orvalnest
