#include "orvalnest/category.hpp"

#include <array>
#include <optional>

#include "orvalnest/paths.hpp"

namespace orvalnest {
namespace {

struct Known {
    std::string_view extension;
    Category category;
};

using enum Category;

// Grouped by length so a lookup compares only against candidates that can match.
constexpr Known kLength1[] = {{"c", Code}, {"h", Code}};
constexpr Known kLength2[] = {
    {"7z", Archive}, {"gz", Archive}, {"xz", Archive}, {"md", Document}, {"cs", Code}, {"go", Code},
    {"js", Code},    {"py", Code},    {"rb", Code},    {"rs", Code},     {"ts", Code}, {"so", System},
};
constexpr Known kLength3[] = {
    {"bz2", Archive},    {"rar", Archive},    {"tar", Archive},    {"zip", Archive},    {"zst", Archive},
    {"aac", Audio},      {"m4a", Audio},      {"mp3", Audio},      {"ogg", Audio},      {"wav", Audio},
    {"wma", Audio},      {"avi", Video},      {"m4v", Video},      {"mkv", Video},      {"mov", Video},
    {"mp4", Video},      {"wmv", Video},      {"bmp", Image},      {"gif", Image},      {"jpg", Image},
    {"png", Image},      {"svg", Image},      {"doc", Document},   {"odt", Document},   {"pdf", Document},
    {"ppt", Document},   {"rtf", Document},   {"txt", Document},   {"xls", Document},   {"cpp", Code},
    {"css", Code},       {"hpp", Code},       {"jsx", Code},       {"tsx", Code},       {"yml", Code},
    {"app", Executable}, {"deb", Executable}, {"dmg", Executable}, {"exe", Executable}, {"msi", Executable},
    {"rpm", Executable}, {"dll", System},     {"log", System},     {"sys", System},     {"tmp", System},
};
constexpr Known kLength4[] = {
    {"flac", Audio}, {"webm", Video},    {"heic", Image},    {"jpeg", Image},    {"tiff", Image},
    {"webp", Image}, {"docx", Document}, {"pptx", Document}, {"xlsx", Document}, {"html", Code},
    {"java", Code},  {"json", Code},     {"toml", Code},     {"yaml", Code},
};
constexpr Known kLength5[] = {{"swift", Code}, {"cache", System}, {"dylib", System}};
constexpr Known kLength8[] = {{"appimage", Executable}};

template <size_t N>
Category find(const Known (&table)[N], std::string_view extension) {
    for (const Known& known : table) {
        if (known.extension == extension) return known.category;
    }
    return Other;
}

// The longest known extension has 8 characters.
constexpr size_t kMaxExtension = 8;

// Lower-cases `extension` into `out` and returns its length in characters, or
// nothing when it cannot be in the table. Every known extension is ASCII, and
// the only non-ASCII character whose Unicode lower-case form is ASCII is the
// KELVIN SIGN (U+212A, lower-cased to "k"), so any other non-ASCII byte, an
// invalid sequence included, rules the extension out without decoding it.
std::optional<size_t> fold_extension(std::string_view extension, std::array<char, kMaxExtension>& out) {
    size_t length = 0;
    for (size_t i = 0; i < extension.size();) {
        if (length == kMaxExtension) return std::nullopt;
        const auto byte = static_cast<unsigned char>(extension[i]);
        if (byte < 0x80) {
            out[length++] = static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte);
            ++i;
        } else if (extension.substr(i, 3) == "\xE2\x84\xAA") {
            out[length++] = 'k';
            i += 3;
        } else {
            return std::nullopt;
        }
    }
    return length;
}

}  // namespace

std::string_view category_text(Category category) {
    switch (category) {
        case Directory:
            return "directory";
        case Archive:
            return "archive";
        case Audio:
            return "audio";
        case Video:
            return "video";
        case Image:
            return "image";
        case Document:
            return "document";
        case Code:
            return "code";
        case Executable:
            return "executable";
        case System:
            return "system";
        case Other:
            break;
    }
    return "other";
}

Category category_of(std::string_view path, bool is_dir) {
    if (is_dir) return Directory;
    // The scan passes bare names; only a longer path needs its final component found.
    const bool bare = path.find('/') == std::string_view::npos && path != "." && path != "..";
    const auto name = bare ? std::optional(path) : paths::final_name(path);
    if (!name || name->empty()) return Other;
    const size_t dot = name->rfind('.');
    // No dot, or only a leading one (".profile"), means no extension.
    if (dot == std::string_view::npos || dot == 0) return Other;
    std::array<char, kMaxExtension> folded{};
    const auto length = fold_extension(name->substr(dot + 1), folded);
    if (!length) return Other;
    const std::string_view extension(folded.data(), *length);
    switch (*length) {
        case 1:
            return find(kLength1, extension);
        case 2:
            return find(kLength2, extension);
        case 3:
            return find(kLength3, extension);
        case 4:
            return find(kLength4, extension);
        case 5:
            return find(kLength5, extension);
        case 8:
            return find(kLength8, extension);
        default:
            return Other;
    }
}

}  // namespace orvalnest
