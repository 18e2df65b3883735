// Writing a whole buffer to a descriptor: retried after interruptions and
// continued after partial writes, so callers see all or an error.
#pragma once

#include <string_view>

#include "orvalnest/error.hpp"

namespace orvalnest {

// A write that makes no progress fails with "failed to write whole buffer".
OsResult<void> write_all(int fd, std::string_view data);

}  // namespace orvalnest
