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

// One walked entry. Kept small (56 bytes plus its name) because a scan holds one
// per entry: the directory's path is shared, and the full path is made on demand.
struct NodeRecord {
    SharedPathRef directory;           // the path of the directory holding it; none for the root
    PathBytes tail_data;               // the entry's name; for the root, its whole path
    std::vector<NodeRecord> children;  // listed directories only; largest first once finished
    std::uint64_t size = 0;
    std::uint32_t tail_size = 0;
    bool is_dir = false;

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

}  // namespace orvalnest
