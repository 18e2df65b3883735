#include <sys/stat.h>

#include "orvalnest/paths.hpp"
#include "orvalnest/scanner.hpp"
#include "orvalnest/text.hpp"

namespace orvalnest {

std::expected<std::string, Failure> resolve_root(std::string_view path) {
    auto absolute = paths::lexical_absolute(path);
    if (!absolute) {
        return std::unexpected(
            Failure{ExceptionKind::OSError, lossy_utf8(path) + ": " + absolute.error().text()});
    }
    // Any failure to read the metadata, a NUL byte in the path included, reads
    // to the user as a missing folder.
    struct stat metadata {};
    const auto c_path = paths::c_path(*absolute);
    if (!c_path || ::stat(c_path->c_str(), &metadata) != 0) {
        return std::unexpected(
            Failure{ExceptionKind::FileNotFoundError, lossy_utf8(*absolute) + " does not exist"});
    }
    if (!S_ISDIR(metadata.st_mode)) {
        return std::unexpected(
            Failure{ExceptionKind::NotADirectoryError, lossy_utf8(*absolute) + " is not a directory"});
    }
    return std::move(*absolute);
}

}  // namespace orvalnest
