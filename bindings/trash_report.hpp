// TrashReport: what one Cleaner.trash call did.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "boundary.hpp"

namespace orvalnest::py {

struct TrashReportFields {
    std::vector<std::string> trashed;                         // lossy text, request order
    std::vector<std::pair<std::string, std::string>> failed;  // (lossy text, reason)
    bool dry_run = false;
    std::string audit_log;  // lossy text of the log file's path
};

PyResult<Ref> make_trash_report(TrashReportFields&& fields);

}  // namespace orvalnest::py
