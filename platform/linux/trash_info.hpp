// The ".trashinfo" file that records where a trashed item came from, in the
// form every freedesktop.org desktop (GLib, KDE, trash-cli) reads.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace orvalnest::platform::linux_trash {

// Percent-encodes raw path bytes: A-Z a-z 0-9 - . _ ~ / stay, every other
// byte becomes upper-case %XX. Bytes, not decoded text, so a name that is not
// UTF-8 comes back exactly when the reader decodes it.
std::string percent_encode_path(std::string_view bytes);

// Local time as YYYY-MM-DDThh:mm:ss, no zone and no fraction.
std::string deletion_date(std::time_t when);

// The whole file: "[Trash Info]", "Path=" and "DeletionDate=" lines.
// `original` is the absolute path (home trash) or the path relative to the
// top directory (a per-volume trash).
std::string trash_info_text(std::string_view original, std::time_t when);

// What an info file says: the original path's bytes (as written: absolute,
// or relative to the top directory) and the deletion time as local time read
// back into seconds since the epoch. None for a file that is not one.
struct TrashInfo {
    std::string path;
    std::time_t deleted_at = 0;
};
std::optional<TrashInfo> parse_trash_info(std::string_view text);

}  // namespace orvalnest::platform::linux_trash
