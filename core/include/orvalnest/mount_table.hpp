// The mounts this process sees, read from the kernel once per trash request
// and again only when the kernel says they changed: a USB disk plugged in after
// a cleaner was made must still be noticed, and a request over thousands of
// folders must not parse the table once per folder.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "orvalnest/error.hpp"
#include "orvalnest/path_set.hpp"
#include "orvalnest/unique_fd.hpp"

namespace orvalnest {

struct MountEntry {
    std::uint64_t id = 0;
    std::uint64_t parent = 0;
    dev_t device = 0;   // of the mounted filesystem, as the mount table gives it
    std::string root;   // the folder of that filesystem the mount shows
    std::string point;  // where it shows it
};

class MountTable {
public:
    // Reads the table; on Linux the file stays open so that changes can be
    // noticed without reading it again.
    static OsResult<MountTable> read();
    // A table of the given mounts, for tests.
    static MountTable of(std::vector<MountEntry> entries);

    // Reads the table again if the kernel reports a change since the last
    // read (poll on /proc/self/mountinfo); true when it did.
    OsResult<bool> refresh_if_changed();
    OsResult<void> reread();

    const MountEntry* find(std::uint64_t id) const;
    // The mount whose point is the longest prefix of `path` (a real path): the
    // one holding it, for kernels that do not name the mount of an entry.
    const MountEntry* holding(std::string_view path) const;
    bool is_mount_point(std::string_view path) const;
    // A mount point strictly below the folder `path`, if there is one.
    std::optional<std::string> mount_below(std::string_view path) const;
    bool has_children(std::uint64_t id) const;

    // Every place the location `path` (a real path on `holder`) shows up in the
    // tree: `path` itself, and where each other mount of the same filesystem
    // shows the same folder. A bind mount of /etc/ssh inside a scanned folder
    // makes its files show up under /etc too. None when `path` is not on
    // `holder`.
    std::optional<std::vector<std::string>> aliases(const MountEntry& holder, std::string_view path) const;

    const std::vector<MountEntry>& entries() const { return entries_; }

private:
    void index();

    UniqueFd file_;
    std::vector<MountEntry> entries_;
    PathSet points_;
    std::unordered_map<std::uint64_t, std::size_t> by_id_;
    std::unordered_map<dev_t, std::vector<std::size_t>> by_device_;
    std::unordered_map<std::uint64_t, std::size_t> children_;
};

// A path field of /proc/self/mountinfo with its octal escapes ("\040" for a
// space, "\134" for a backslash, ...) decoded.
std::string decode_mountinfo_path(std::string_view field);

}  // namespace orvalnest
