// The coarse kind of a scanned entry, decided from its name alone: no content
// sniffing, no permission bits, no size.
#pragma once

#include <cstdint>
#include <string_view>

namespace orvalnest {

// One byte per node; the text is made only when Python reads it.
enum class Category : std::uint8_t {
    Directory,
    Archive,
    Audio,
    Video,
    Image,
    Document,
    Code,
    Executable,
    System,
    Other,
};

// "directory", "archive", ... "other".
std::string_view category_text(Category category);

// Every directory is Directory; anything else goes by the lower-cased
// extension of its final path component, Other when unknown or absent.
Category category_of(std::string_view path, bool is_dir);

}  // namespace orvalnest
