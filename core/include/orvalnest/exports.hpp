// The whole tree written for other programs: orvalnest's own JSON, and the
// format of `ncdu -o` that `ncdu -f` and `gdu -f` browse. Both walk a view
// once with an explicit stack (any depth), write as they go, and read each
// folder's children once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "orvalnest/error.hpp"
#include "orvalnest/export_output.hpp"
#include "orvalnest/function_ref.hpp"
#include "orvalnest/tree_view.hpp"

namespace orvalnest {

// Changes whenever a reader of the JSON export would have to change.
inline constexpr int kJsonFormatVersion = 1;

struct ExportHeader {
    std::string_view version;    // orvalnest's
    std::int64_t timestamp = 0;  // when the scan started, seconds since the epoch
};

// {"version", "orvalnest", "timestamp", "excluded", "root": {...}, "issues": [...]}:
// every entry with its names (a name or path that is not UTF-8 also as its
// exact bytes, %-encoded), sizes and times; a folder's children largest
// `size` first, equal ones by name.
OsResult<void> write_json_export(const TreeView& view, const ExportHeader& header, ExportOutput& out);

// A tree's exclude patterns, given by the caller (the tree does not keep them).
using ExcludePatterns = FunctionRef<const std::vector<std::string>*(const Tree*)>;

// ncdu's format 1.2 with its extended `mtime`. What the tree does not keep and
// ncdu needs is read again without following links: the inode and link count
// of hard-linked files, and, when the scan excluded entries, each folder's
// listing, so that ncdu shows what the patterns left out as it would.
OsResult<void> write_ncdu_export(const TreeView& view, const ExportHeader& header, ExcludePatterns patterns,
                                 ExportOutput& out);

}  // namespace orvalnest
