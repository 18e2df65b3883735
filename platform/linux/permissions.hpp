// What the kernel would allow this process to do, asked without doing it:
// a dry run that says "would trash" must not meet "permission denied" later.
#pragma once

#include "orvalnest/entry_facts.hpp"
#include "orvalnest/error.hpp"

namespace orvalnest::platform::linux_trash {

// Whether entries can be added to and removed from the folder `dirfd` (write
// and search permission for the effective user, a filesystem mounted
// read-write). `dirfd` may be an O_PATH descriptor.
OsResult<void> can_change_folder(int dirfd);

// Whether the entry `name` in `dirfd`, described by `entry`, may be renamed
// out of that folder (`folder` describes it): the sticky-bit rule, immutable
// or append-only flags, and write permission on a folder itself (its ".."
// changes when it moves to another folder).
OsResult<void> can_rename_out(int dirfd, const char* name, const EntryFacts& entry, const EntryFacts& folder);

}  // namespace orvalnest::platform::linux_trash
