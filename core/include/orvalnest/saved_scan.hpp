// A scan on disk: the compact tree's columns as they are in memory, behind a
// small header, so that opening one is a mapping and a validation pass rather
// than a parse. docs/saved-scans.md describes the format byte by byte; this
// file and saved_scan.cpp are its reference.
//
// Also the other files a tree can be read from (ncdu's JSON export and
// orvalnest's own JSON export): whatever the file, the caller gets one Tree.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orvalnest/error.hpp"
#include "orvalnest/tree.hpp"

namespace orvalnest {

inline constexpr std::uint32_t kSavedScanVersion = 1;
inline constexpr unsigned char kSavedScanMagic[8] = {0x89, 'O', 'R', 'V', 'S', 'C', 'A', 'N'};

// Where a tree's numbers came from.
enum class TreeSource : std::uint8_t {
    Scan,  // a walk of the disk
    Ncdu,  // ncdu's JSON export: no times unless extended, no reasons for unreadable entries
    Json,  // orvalnest's JSON export: no du apparent sizes, no times, no inode numbers
};
std::string_view source_text(TreeSource source);

// What a tree carries beside its entries: how it was scanned.
struct ScanFacts {
    std::vector<std::string> exclude;
    std::int64_t timestamp = 0;  // seconds since the epoch
    std::uint32_t threads = 1;
    bool one_filesystem = false;
    TreeSource source = TreeSource::Scan;
};

struct LoadedTree {
    std::unique_ptr<Tree> tree;
    ScanFacts facts;
};

// Why a file gives no tree: an OS error (errno set) while opening or reading
// it, or a description of what is wrong with its contents.
struct LoadFailure {
    int os_error = 0;
    std::string reason;
};

template <typename T>
using LoadResult = std::expected<T, LoadFailure>;

// Writes `tree` in the saved format from the descriptor's current position.
// The pool is written compacted, so a tree built by several threads takes no
// more room than one built by one.
OsResult<void> write_saved_scan(int fd, const Tree& tree, const ScanFacts& facts);

struct ReadOptions {
    // Tests turn it off to show that validation alone refuses a damaged tree.
    bool verify_checksums = true;
};

// A saved scan held in `bytes` (the caller's memory, which `keep` keeps alive
// for as long as the tree lives).
LoadResult<LoadedTree> read_saved_scan(std::string_view bytes, std::shared_ptr<const void> keep,
                                       const ReadOptions& options = {});

// Opens `path` and reads whichever of the formats it holds: a saved scan
// (mapped, or copied when someone else could change it under the mapping),
// ncdu's JSON export or orvalnest's JSON export (streamed). "-" reads
// standard input.
LoadResult<LoadedTree> load_tree_file(const std::string& path, const ReadOptions& options = {});

}  // namespace orvalnest
