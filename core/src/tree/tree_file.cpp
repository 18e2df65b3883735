// Opening a file that holds a tree: which format it is, told by its first
// bytes, and how a saved scan gets into memory. A saved scan is mapped when
// only this user (or root) could change it; anything else is copied first,
// since a mapping would show another user's later writes to a tree already
// validated, and a truncation would fault on the next read.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "orvalnest/eintr.hpp"
#include "orvalnest/saved_scan.hpp"
#include "orvalnest/unique_fd.hpp"
#include "tree_import.hpp"

namespace orvalnest {
namespace {

std::unexpected<LoadFailure> os_failure(int code) { return std::unexpected(LoadFailure{code, {}}); }
std::unexpected<LoadFailure> refuse(std::string reason) {
    return std::unexpected(LoadFailure{0, std::move(reason)});
}

// A private mapping, unmapped when the last tree using it goes.
struct Mapping {
    void* address = MAP_FAILED;
    std::size_t size = 0;
    Mapping() = default;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() {
        if (address != MAP_FAILED) ::munmap(address, size);
    }
};

bool only_ours(const struct stat& info) {
    const uid_t me = ::geteuid();
    return (info.st_uid == me || info.st_uid == 0) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Reads up to `size` bytes, stopping early only at the end.
OsResult<std::size_t> read_some(int fd, char* into, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t now = retry_on_eintr([&] { return ::read(fd, into + got, size - got); });
        if (now < 0) return std::unexpected(OsError::last());
        if (now == 0) break;
        got += static_cast<std::size_t>(now);
    }
    return got;
}

LoadResult<LoadedTree> read_saved(int fd, const struct stat& info, std::string prefix,
                                  const ReadOptions& options) {
    auto mapping = std::make_shared<Mapping>();
    if (S_ISREG(info.st_mode) && only_ours(info) && info.st_size > 0) {
        mapping->size = static_cast<std::size_t>(info.st_size);
        mapping->address = ::mmap(nullptr, mapping->size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (mapping->address == MAP_FAILED) return os_failure(errno);
    } else {
        // Copied into memory of our own: a file someone else may change, or a pipe.
        std::size_t capacity = S_ISREG(info.st_mode) ? static_cast<std::size_t>(info.st_size) + 1 : 1 << 24;
        std::size_t used = prefix.size();
        for (;;) {
            capacity = std::max(capacity, used + 1);
            void* block =
                ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (block == MAP_FAILED) return os_failure(errno);
            if (mapping->address != MAP_FAILED) {
                std::memcpy(block, mapping->address, used);
                ::munmap(mapping->address, mapping->size);
            } else {
                std::memcpy(block, prefix.data(), used);
            }
            mapping->address = block;
            mapping->size = capacity;
            auto got = read_some(fd, static_cast<char*>(block) + used, capacity - used);
            if (!got) return os_failure(got.error().code());
            used += *got;
            if (used < capacity) break;
            capacity *= 2;
        }
        mapping->size = capacity;
        return read_saved_scan({static_cast<const char*>(mapping->address), used}, mapping, options);
    }
    return read_saved_scan({static_cast<const char*>(mapping->address), mapping->size}, mapping, options);
}

}  // namespace

LoadResult<LoadedTree> load_tree_file(const std::string& path, const ReadOptions& options) {
    UniqueFd owned;
    int fd = STDIN_FILENO;
    if (path != "-") {
        if (path.find('\0') != std::string::npos) return os_failure(EINVAL);
        // Non-blocking, so a pipe with no writer cannot hang the open.
        owned =
            UniqueFd(retry_on_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
        if (!owned) return os_failure(errno);
        fd = owned.get();
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) return os_failure(errno);
    if (S_ISDIR(info.st_mode)) return os_failure(EISDIR);
    if (S_ISBLK(info.st_mode)) return refuse("a block device, not a file");

    std::string prefix(16, '\0');
    auto got = read_some(fd, prefix.data(), prefix.size());
    if (!got) return os_failure(got.error().code());
    prefix.resize(*got);
    if (prefix.starts_with(std::string_view(reinterpret_cast<const char*>(kSavedScanMagic), 8))) {
        if (S_ISREG(info.st_mode) && only_ours(info)) prefix.clear();  // mapped from the start instead
        if (S_ISREG(info.st_mode) && only_ours(info) && ::lseek(fd, 0, SEEK_SET) != 0)
            return os_failure(errno);
        return read_saved(fd, info, std::move(prefix), options);
    }
    if (prefix.starts_with("\x1f\x8b") || prefix.starts_with("\x28\xb5\x2f\xfd"))
        return refuse("compressed: decompress it first (for example zcat FILE | orvalnest -f -)");
    if (prefix.starts_with("\xbf"
                           "ncduEX1"))
        return refuse("ncdu's binary export: write it as JSON with ncdu -o");
    const std::size_t first = prefix.find_first_not_of(" \t\r\n");
    if (prefix.empty()) return refuse("empty");
    if (first != std::string::npos && prefix[first] == '[') return import_ncdu(fd, std::move(prefix));
    if (first != std::string::npos && prefix[first] == '{')
        return import_orvalnest_json(fd, std::move(prefix));
    return refuse("not a saved scan, ncdu export or orvalnest JSON export");
}

}  // namespace orvalnest
