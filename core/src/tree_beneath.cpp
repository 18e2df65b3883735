#include "orvalnest/tree_beneath.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "orvalnest/eintr.hpp"
#include "orvalnest/entry_facts.hpp"
#include "orvalnest/text.hpp"
#include "orvalnest/unique_fd.hpp"

namespace orvalnest {

namespace {

// Folders deeper than this below the top give their descriptor back while
// their subfolders are walked, and get it again through "..".
constexpr std::size_t kOpenFolders = 64;

struct Frame {
    UniqueFd fd;  // closed while far above the folder being walked
    FileIdentity identity;
    std::string name;                // in the folder above
    std::vector<std::string> names;  // entries still to visit
};

OsResult<UniqueFd> open_folder(int at, const std::string& name, const FileIdentity& expected) {
    UniqueFd fd(retry_on_eintr(
        [&] { return ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!fd) return std::unexpected(OsError::last());
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(OsError::last());
    // Not the folder that was looked at a moment ago: stop rather than walk
    // somewhere else.
    if (FileIdentity{st.st_dev, st.st_ino} != expected)
        return std::unexpected(OsError::custom(lossy_utf8(name) + " changed while it was being walked"));
    return fd;
}

OsResult<std::vector<std::string>> list_names(int fd) {
    const int copy = ::dup(fd);
    if (copy < 0) return std::unexpected(OsError::last());
    DIR* stream = ::fdopendir(copy);
    if (stream == nullptr) {
        const OsError error = OsError::last();
        ::close(copy);
        return std::unexpected(error);
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
        errno = 0;
    }
    const int error = errno;
    ::closedir(stream);
    if (error != 0) return std::unexpected(OsError::from_errno(error));
    return names;
}

bool same_filesystem(const EntryFacts& entry, const EntryFacts& top) {
    if (entry.mount_root.value_or(false)) return false;
    if (entry.mount_id && top.mount_id && *entry.mount_id != *top.mount_id) return false;
    return entry.identity.device == top.identity.device;
}

class TreeWalk {
public:
    TreeWalk(int dirfd, bool remove) : dirfd_(dirfd), remove_(remove) {}

    OsResult<TreeSize> run(std::string_view top_name) {
        const std::string name(top_name);
        auto top = examine_at(dirfd_, name.c_str());
        if (!top) return std::unexpected(top.error());
        top_ = *top;
        if (!top->is_directory()) {
            if (auto done = leave_file(dirfd_, name, *top); !done) return std::unexpected(done.error());
            return size_;
        }
        if (auto entered = enter(dirfd_, name, *top); !entered) return std::unexpected(entered.error());
        while (!frames_.empty()) {
            if (auto step = next(); !step) return std::unexpected(step.error());
        }
        return size_;
    }

private:
    void count(const EntryFacts& facts) {
        // A file with several names is counted once, where first met.
        if (!facts.is_directory() && facts.links > 1 &&
            !seen_.insert({facts.identity.device, facts.identity.inode}).second)
            return;
        ++size_.entries;
        size_.disk_usage += facts.disk_usage;
    }

    OsResult<void> leave_file(int at, const std::string& name, const EntryFacts& facts) {
        if (remove_ && ::unlinkat(at, name.c_str(), 0) != 0) return std::unexpected(OsError::last());
        count(facts);
        return {};
    }

    OsResult<void> enter(int at, const std::string& name, const EntryFacts& facts) {
        auto fd = open_folder(at, name, facts.identity);
        if (!fd) return std::unexpected(fd.error());
        auto names = list_names(fd->get());
        if (!names) return std::unexpected(names.error());
        if (frames_.size() >= kOpenFolders) frames_[frames_.size() - kOpenFolders].fd.reset();
        frames_.push_back({std::move(*fd), facts.identity, name, std::move(*names)});
        count(facts);
        return {};
    }

    // The folder above the one just finished, open again.
    OsResult<int> parent_of(Frame& finished) {
        if (frames_.empty()) return dirfd_;
        Frame& above = frames_.back();
        if (!above.fd) {
            auto fd = open_folder(finished.fd.get(), "..", above.identity);
            if (!fd) return std::unexpected(fd.error());
            above.fd = std::move(*fd);
        }
        return above.fd.get();
    }

    OsResult<void> next() {
        Frame& frame = frames_.back();
        if (frame.names.empty()) {
            Frame finished = std::move(frame);
            frames_.pop_back();
            auto at = parent_of(finished);
            if (!at) return std::unexpected(at.error());
            finished.fd.reset();
            if (remove_ && ::unlinkat(*at, finished.name.c_str(), AT_REMOVEDIR) != 0)
                return std::unexpected(OsError::last());
            return {};
        }
        const std::string name = std::move(frame.names.back());
        frame.names.pop_back();
        auto facts = examine_at(frame.fd.get(), name.c_str());
        if (!facts) {
            if (facts.error().code() == ENOENT) return {};  // gone meanwhile
            return std::unexpected(facts.error());
        }
        if (!facts->is_directory()) return leave_file(frame.fd.get(), name, *facts);
        if (!same_filesystem(*facts, top_)) {
            if (!remove_) return {};
            return std::unexpected(OsError::custom(
                lossy_utf8(name) + " is on another filesystem (a mount point); nothing on it is removed"));
        }
        return enter(frame.fd.get(), name, *facts);
    }

    int dirfd_;
    bool remove_;
    EntryFacts top_;
    std::vector<Frame> frames_;
    std::set<std::pair<dev_t, ino_t>> seen_;
    TreeSize size_;
};

}  // namespace

OsResult<TreeSize> measure_beneath(int dirfd, std::string_view name) {
    return TreeWalk(dirfd, false).run(name);
}

OsResult<TreeSize> remove_beneath(int dirfd, std::string_view name) {
    return TreeWalk(dirfd, true).run(name);
}

}  // namespace orvalnest
