#include "orvalnest/mount_table.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "orvalnest/eintr.hpp"
#include "orvalnest/paths.hpp"

#if defined(__linux__)
#include <sys/sysmacros.h>
#elif defined(__APPLE__)
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/ucred.h>
#endif

namespace orvalnest {

namespace {

bool is_octal(char c) { return c >= '0' && c <= '7'; }

std::string_view next_field(std::string_view& line) {
    const size_t space = line.find(' ');
    const std::string_view field = line.substr(0, space);
    line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
    return field;
}

template <typename Number>
bool parse_number(std::string_view text, Number& out) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

#if defined(__linux__)

// "36 35 98:0 /mnt1 /mnt/parent rw ...": id, parent id, device, root, point.
std::vector<MountEntry> parse_mountinfo(std::string_view text) {
    std::vector<MountEntry> out;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        MountEntry entry;
        const std::string_view id = next_field(line), parent = next_field(line), device = next_field(line);
        const std::string_view root = next_field(line), point = next_field(line);
        const size_t colon = device.find(':');
        unsigned major = 0, minor = 0;
        if (colon == std::string_view::npos || !parse_number(id, entry.id) ||
            !parse_number(parent, entry.parent) || !parse_number(device.substr(0, colon), major) ||
            !parse_number(device.substr(colon + 1), minor) || point.empty()) {
            continue;
        }
        entry.device = makedev(major, minor);
        entry.root = decode_mountinfo_path(root);
        entry.point = decode_mountinfo_path(point);
        out.push_back(std::move(entry));
    }
    return out;
}

OsResult<std::string> read_whole(int fd) {
    if (::lseek(fd, 0, SEEK_SET) < 0) return std::unexpected(OsError::last());
    // The kernel builds the table for each read; one large buffer keeps it to
    // a few calls.
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = retry_on_eintr([&] { return ::read(fd, buffer, sizeof buffer); });
        if (n < 0) return std::unexpected(OsError::last());
        if (n == 0) return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

#endif

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

MountTable MountTable::of(std::vector<MountEntry> entries) {
    MountTable table;
    table.entries_ = std::move(entries);
    table.index();
    return table;
}

OsResult<MountTable> MountTable::read() {
    MountTable table;
#if defined(__linux__)
    table.file_.reset(retry_on_eintr([] { return ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC); }));
    if (!table.file_) return std::unexpected(OsError::last());
#endif
    if (auto read = table.reread(); !read) return std::unexpected(read.error());
    return table;
}

OsResult<void> MountTable::reread() {
#if defined(__linux__)
    auto text = read_whole(file_.get());
    if (!text) return std::unexpected(text.error());
    entries_ = parse_mountinfo(*text);
#elif defined(__APPLE__)
    // getfsstat into our own buffer: getmntinfo's is shared by every thread.
    for (;;) {
        const int count = ::getfsstat(nullptr, 0, MNT_NOWAIT);
        if (count < 0) return std::unexpected(OsError::last());
        std::vector<struct statfs> table(static_cast<size_t>(count) + 4);
        const int got =
            ::getfsstat(table.data(), static_cast<int>(table.size() * sizeof(struct statfs)), MNT_NOWAIT);
        if (got < 0) return std::unexpected(OsError::last());
        if (static_cast<size_t>(got) == table.size()) continue;  // grew meanwhile: ask again
        entries_.clear();
        for (int i = 0; i < got; ++i) {
            const auto& fs = table[static_cast<size_t>(i)];
            // The filesystem id tells which entries show the same filesystem.
            entries_.push_back({static_cast<std::uint64_t>(i + 1), 0, static_cast<dev_t>(fs.f_fsid.val[0]),
                                "/", fs.f_mntonname});
        }
        break;
    }
#else
    return std::unexpected(OsError::custom("this system offers no mount table"));
#endif
    index();
    return {};
}

OsResult<bool> MountTable::refresh_if_changed() {
#if defined(__linux__)
    // The kernel flags the file with POLLPRI once the table has changed since
    // it was opened or last reported changed.
    pollfd watch{file_.get(), POLLPRI, 0};
    const int ready = retry_on_eintr([&] { return ::poll(&watch, 1, 0); });
    if (ready < 0) return std::unexpected(OsError::last());
    if (ready == 0 || !(watch.revents & (POLLPRI | POLLERR))) return false;
#endif
    if (auto read = reread(); !read) return std::unexpected(read.error());
    return true;
}

void MountTable::index() {
    by_id_.clear();
    by_device_.clear();
    children_.clear();
    for (size_t i = 0; i < entries_.size(); ++i) {
        const MountEntry& entry = entries_[i];
        by_id_[entry.id] = i;
        by_device_[entry.device].push_back(i);
        if (entry.parent != entry.id) ++children_[entry.parent];
    }
    std::vector<std::string> points;
    for (const auto& entry : entries_) points.push_back(entry.point);
    points_ = PathSet(std::move(points));
}

const MountEntry* MountTable::find(std::uint64_t id) const {
    const auto found = by_id_.find(id);
    return found == by_id_.end() ? nullptr : &entries_[found->second];
}

const MountEntry* MountTable::holding(std::string_view path) const {
    const MountEntry* best = nullptr;
    // The last listed of equal points is the one on top.
    for (const auto& entry : entries_) {
        if (paths::within(path, entry.point) && (!best || entry.point.size() >= best->point.size()))
            best = &entry;
    }
    return best;
}

bool MountTable::is_mount_point(std::string_view path) const { return points_.contains(path); }

std::optional<std::string> MountTable::mount_below(std::string_view path) const {
    return points_.below(path);
}

bool MountTable::has_children(std::uint64_t id) const { return children_.contains(id); }

std::optional<std::vector<std::string>> MountTable::aliases(const MountEntry& holder,
                                                            std::string_view path) const {
    if (!paths::within(path, holder.point)) return std::nullopt;
    const std::string_view inside = path.substr(holder.point == "/" ? 0 : holder.point.size());
    // Where the entry is within its filesystem.
    const std::string in_filesystem = paths::normal_form(holder.root + std::string(inside));
    std::vector<std::string> out = {std::string(path)};
    const auto group = by_device_.find(holder.device);
    if (group == by_device_.end()) return out;
    for (const size_t index : group->second) {
        const MountEntry& other = entries_[index];
        if (!paths::within(in_filesystem, other.root)) continue;
        const std::string_view rest =
            std::string_view(in_filesystem).substr(other.root == "/" ? 0 : other.root.size());
        std::string alias = paths::normal_form(other.point + std::string(rest));
        if (std::ranges::find(out, alias) == out.end()) out.push_back(std::move(alias));
    }
    return out;
}

}  // namespace orvalnest
