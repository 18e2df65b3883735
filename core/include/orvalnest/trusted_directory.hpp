// Opening a folder that the cleaner writes into (the audit log's, the home
// trash) so that nobody else can choose where the writes land: symbolic links
// on the way are followed only when the user or root made them, and the folder
// itself must belong to the user. Running as root over a HOME or an audit
// folder that someone else controls must not turn into writing where they
// point.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "orvalnest/error.hpp"
#include "orvalnest/unique_fd.hpp"

namespace orvalnest {

enum class TrustProblem {
    Os,             // a call failed: `error` says which
    ForeignLink,    // a symbolic link on the way belongs to someone else
    ForeignFolder,  // the folder itself belongs to someone else
};

struct TrustError {
    TrustProblem problem = TrustProblem::Os;
    OsError error = OsError::from_errno(0);
    std::string path;  // the link, the folder, or the component that failed (native bytes)
    uid_t owner = 0;   // ForeignLink and ForeignFolder: who owns it

    // "/home/bob/state is owned by user 1000, not by the user running this (0)", …
    std::string text() const;
};

struct TrustedFolder {
    uid_t user = 0;  // links of this user or of root are followed; the folder must be theirs
    // How many trailing components of the path may be created (mode 0700)
    // when missing: 0 creates nothing.
    std::size_t create_last = 0;
    bool must_own = true;  // false: only the links on the way are checked
};

// An O_PATH descriptor of the directory `absolute_path` (lexical absolute
// form: ".." is taken as the kernel would), reached one component at a time
// from "/" without ever following a link owned by anyone but `how.user` or
// root, and owned by `how.user` (when `how.must_own`). At most 40 links are
// followed.
std::expected<UniqueFd, TrustError> open_trusted_folder(std::string_view absolute_path,
                                                        const TrustedFolder& how);

}  // namespace orvalnest
