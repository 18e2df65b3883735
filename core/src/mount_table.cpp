#include "orvalnest/mount_table.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "orvalnest/eintr.hpp"
#include "orvalnest/unique_fd.hpp"

#if defined(__APPLE__)
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/ucred.h>
#endif

namespace orvalnest {

namespace {

bool is_octal(char c) { return c >= '0' && c <= '7'; }

}  // namespace

std::string decode_mountinfo_path(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && is_octal(field[i + 1]) && is_octal(field[i + 2]) &&
            is_octal(field[i + 3])) {
            out.push_back(static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                                            (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

#if defined(__linux__)

OsResult<std::vector<std::string>> mount_points() {
    UniqueFd fd(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    if (!fd) return std::unexpected(OsError::last());
    // The kernel builds the table for each read; one large buffer keeps it to
    // a few calls.
    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t n = retry_on_eintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
        if (n < 0) return std::unexpected(OsError::last());
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    // "36 35 98:0 /mnt1 /mnt/parent rw ...": the fifth field is the mount point.
    std::vector<std::string> out;
    std::string_view rest(text);
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        for (int skip = 0; skip < 4 && !line.empty(); ++skip) {
            const size_t space = line.find(' ');
            line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
        }
        const std::string_view field = line.substr(0, line.find(' '));
        if (!field.empty()) out.push_back(decode_mountinfo_path(field));
    }
    return out;
}

#elif defined(__APPLE__)

OsResult<std::vector<std::string>> mount_points() {
    // getfsstat into our own buffer: getmntinfo's is shared by every thread.
    for (;;) {
        const int count = ::getfsstat(nullptr, 0, MNT_NOWAIT);
        if (count < 0) return std::unexpected(OsError::last());
        std::vector<struct statfs> table(static_cast<size_t>(count) + 4);
        const int got =
            ::getfsstat(table.data(), static_cast<int>(table.size() * sizeof(struct statfs)), MNT_NOWAIT);
        if (got < 0) return std::unexpected(OsError::last());
        if (static_cast<size_t>(got) == table.size()) continue;  // grew meanwhile: ask again
        std::vector<std::string> out;
        for (int i = 0; i < got; ++i) out.emplace_back(table[static_cast<size_t>(i)].f_mntonname);
        return out;
    }
}

#else

OsResult<std::vector<std::string>> mount_points() {
    return std::unexpected(OsError::custom("this system offers no mount table"));
}

#endif

}  // namespace orvalnest
