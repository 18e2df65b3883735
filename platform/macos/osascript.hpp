// Running one AppleScript through the `osascript` command. Plain POSIX
// process handling, so it is built and tested on Linux too, against a
// stand-in `osascript` found first on PATH; only the Finder is Apple's.
#pragma once

#include <string_view>

#include "../trash.hpp"

namespace orvalnest::platform::macos {

// Runs `osascript -e <script>` (found through PATH) with standard input and
// output on /dev/null and waits for it. Exit status 0 is success; exit code N
// is Os{N}, death by a signal Unknown, both described with the standard error
// it wrote; a child that cannot start is Unknown with the OS error text.
TrashResult run_osascript(std::string_view script);

}  // namespace orvalnest::platform::macos
