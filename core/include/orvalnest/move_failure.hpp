// Why a path was not moved, as a value the front ends can choose their own
// words for; the text is what the audit log and the plain report carry.
#pragma once

#include <string>

namespace orvalnest {

enum class FailureCause {
    Os,                 // a system call failed: the errno says which way
    FolderNotWritable,  // its folder does not let it be taken out (permissions, a read-only disk)
    NotMovable,     // the item itself may not be moved (a sticky folder, immutable, a folder without write
                    // permission)
    NoTrashFolder,  // no trash folder can be used or made on the item's filesystem
    TrashFolderUnusable,  // the trash folder is a link, or someone else's
    MountPoint,           // the item is a mount point
    ContainsMountPoint,   // a filesystem is mounted below the item (found after the move: put back)
    Changed,              // the entry or its folder changed while it was being moved (put back)
    NoFreeName,           // every name in the trash folder is taken
    AuditLogWrite,        // not attempted: the audit log could no longer be written
    Other,
};

struct MoveFailure {
    FailureCause cause = FailureCause::Other;
    int error = 0;     // the errno behind it, 0 when there is none
    std::string text;  // "Error during a `trash` operation: ..."
};

}  // namespace orvalnest
