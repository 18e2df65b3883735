// The AppleScript that asks the Finder to move an item to the trash. Plain
// text building, so it is compiled and tested on every platform.
#pragma once

#include <string>
#include <string_view>

namespace orvalnest::platform::macos {

// The path inside an AppleScript string literal: valid UTF-8 runs as they
// are, each byte of an invalid sequence as "%XX" (upper-case hex), then a
// backslash before every backslash and double quote.
std::string applescript_path_text(std::string_view path);

// tell application "Finder" to delete { POSIX file "<path text>" }
std::string finder_delete_script(std::string_view path);

// What a failed run of the script reports, stderr as lossy text.
std::string script_error_description(std::string_view stderr_bytes);

}  // namespace orvalnest::platform::macos
