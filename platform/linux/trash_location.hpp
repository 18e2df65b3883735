// Where an item goes: the home trash when it lives on the same mount, else the
// trash at the top of its own mount. Data is never copied between filesystems,
// so an item with no usable trash on its mount is refused.
#pragma once

#include <expected>
#include <optional>
#include <string>

#include "../trash.hpp"
#include "orvalnest/entry_facts.hpp"
#include "orvalnest/error.hpp"
#include "orvalnest/unique_fd.hpp"

namespace orvalnest::platform::linux_trash {

struct TrashLocation {
    UniqueFd files;       // the items
    UniqueFd info;        // one NAME.trashinfo per item
    std::string root;     // the trash folder, for messages
    std::string top_dir;  // empty for the home trash; else the mount point Path= is relative to
};

// Opens (creating what is missing, mode 0700) the trash for an item whose
// parent directory is `real_parent`, described by `parent`. Every folder of
// the trash itself is opened without following links and must be a directory
// owned by the session's user; the folders above the home trash are reached
// without following a link someone else owns, and nothing above the home
// folder is created.
std::expected<TrashLocation, TrashFailure> trash_location_for(const std::string& real_parent,
                                                              const EntryFacts& parent,
                                                              const TrashSession& session);

// What trash_location_for() would meet, creating nothing: a folder that is
// missing but could be made is no failure.
std::optional<TrashFailure> probe_trash_location(const std::string& real_parent, const EntryFacts& parent,
                                                 const TrashSession& session);

// The trash folder at `path` as it is, creating nothing: opened as
// trash_location_for() opens it. Fails with ENOENT when it does not exist.
std::expected<TrashLocation, TrashFailure> open_existing_trash(const std::string& path,
                                                               const TrashSession& session);

// An Os failure "context: <OS error text>" (Unknown for errors without a number).
TrashFailure os_failure(const OsError& error, const std::string& context);

}  // namespace orvalnest::platform::linux_trash
