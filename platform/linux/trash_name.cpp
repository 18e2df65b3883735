#include "trash_name.hpp"

#include "orvalnest/text.hpp"

namespace orvalnest::platform::linux_trash {

namespace {

// Extensions longer than this are more likely part of the name than a type.
constexpr std::size_t kMaxExtensionBytes = 16;

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string trash_name_candidate(std::string_view name, unsigned attempt) {
    std::string_view stem = name;
    std::string_view extension;
    const std::size_t dot = name.rfind('.');
    // A leading dot marks a hidden file, not an extension.
    if (dot != std::string_view::npos && dot > 0 && name.size() - dot <= kMaxExtensionBytes) {
        stem = name.substr(0, dot);
        extension = name.substr(dot);
    }
    const std::string counter = attempt == 0 ? std::string() : "." + std::to_string(attempt + 1);

    const std::size_t budget = kMaxTrashNameBytes - counter.size() - extension.size();
    if (stem.size() > budget) {
        std::size_t cut = budget;
        // Do not split a character: the trash name is what file managers show.
        if (is_valid_utf8(stem)) {
            while (cut > 0 && is_continuation(stem[cut])) --cut;
        }
        stem = stem.substr(0, cut);
    }
    std::string out;
    out.reserve(stem.size() + counter.size() + extension.size());
    out.append(stem).append(counter).append(extension);
    return out;
}

}  // namespace orvalnest::platform::linux_trash
