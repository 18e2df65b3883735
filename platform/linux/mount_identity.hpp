// Which mounted filesystem an entry lives on. rename(2) only works within one
// mount, and two bind mounts of one filesystem share a device number, so the
// mount id from statx decides where the kernel offers it.
#pragma once

#include <string>

#include "orvalnest/entry_facts.hpp"
#include "orvalnest/error.hpp"

namespace orvalnest::platform::linux_trash {

// Same mount: equal mount ids where both are known, and always the same
// device (btrfs subvolumes share a mount but not rename).
bool same_mount(const EntryFacts& a, const EntryFacts& b);

// Whether `entry`, found in a directory described by `parent`, is a mount
// point. Decided by the kernel's mount-root flag or the mount id: inside an
// overlay (a container) the files of each layer report their own device
// number, so a device that differs from the parent's proves nothing.
bool is_mount_point_under(const EntryFacts& entry, const EntryFacts& parent);

// The mount point of the filesystem holding the directory `real_dir` (a real
// path, no links) described by `facts`: its highest ancestor on the same mount.
OsResult<std::string> top_directory(const std::string& real_dir, const EntryFacts& facts);

}  // namespace orvalnest::platform::linux_trash
