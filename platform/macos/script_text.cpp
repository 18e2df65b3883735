#include "script_text.hpp"

#include "orvalnest/hex.hpp"
#include "orvalnest/text.hpp"

namespace orvalnest::platform::macos {

std::string applescript_path_text(std::string_view path) {
    // lossy_utf8 marks each ill-formed subsequence with one U+FFFD; we need
    // each of its bytes instead, so walk the valid prefix lengths ourselves.
    std::string out;
    out.reserve(path.size());
    size_t i = 0;
    while (i < path.size()) {
        size_t run = 1;
        // Longest valid UTF-8 sequence starting at i is at most 4 bytes.
        while (run <= 4 && i + run <= path.size() && !is_valid_utf8(path.substr(i, run))) ++run;
        if (run <= 4 && i + run <= path.size()) {
            // Only a one-byte sequence can be a backslash or a double quote;
            // "%XX" never needs escaping.
            if (run == 1 && (path[i] == '\\' || path[i] == '"')) out.push_back('\\');
            out.append(path.substr(i, run));
            i += run;
        } else {
            append_hex_byte(out, "%", static_cast<unsigned char>(path[i]), HexCase::Upper);
            ++i;
        }
    }
    return out;
}

std::string finder_delete_script(std::string_view path) {
    return "tell application \"Finder\" to delete { POSIX file \"" + applescript_path_text(path) + "\" }";
}

std::string script_error_description(std::string_view stderr_bytes) {
    return "The AppleScript exited with error. stderr: " + lossy_utf8(stderr_bytes);
}

}  // namespace orvalnest::platform::macos
