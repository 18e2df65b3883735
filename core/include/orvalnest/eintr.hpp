// System calls interrupted by a signal before doing anything are simply made
// again: a scan or a trash request must not fail because Ctrl+C's handler ran.
#pragma once

#include <cerrno>

namespace orvalnest {

// Calls `call` until it does not fail with EINTR; for calls that report
// failure with a negative result and errno.
template <typename Call>
auto retry_on_eintr(Call&& call) {
    for (;;) {
        auto result = call();
        if (!(result < 0 && errno == EINTR)) return result;
    }
}

}  // namespace orvalnest
