// Lists one open directory. On Linux it reads with getdents64 (or the walk's
// stand-in for it) into a buffer the walk lends it, so listing a directory
// allocates nothing; elsewhere it falls back to fdopendir/readdir.
#pragma once

#include <cstddef>
#include <string_view>

#include "orvalnest/scanner.hpp"

#if !defined(__linux__)
#include <dirent.h>
#endif

namespace orvalnest::scanner_detail {

// 32 KiB holds a few hundred entries: one system call lists most directories.
inline constexpr size_t kDirBufferSize = 32 * 1024;

class DirReader {
public:
    enum class Step { Entry, End, Error };
    struct Next {
        Step step;
        const char* name = nullptr;  // NUL-terminated, valid until the next call
        size_t name_size = 0;
        int error = 0;
    };

    // Lists `fd` (borrowed: it stays open). `buffer` holds kDirBufferSize
    // bytes, is suitably aligned and must outlive the reader; `read` stands in
    // for getdents64 when set.
    DirReader(int fd, std::byte* buffer, const ReadDirectory& read);
    DirReader(const DirReader&) = delete;
    DirReader& operator=(const DirReader&) = delete;
    ~DirReader();

    // The next entry other than "." and "..". An error that comes without an
    // entry ends the listing, so the call after it reports End.
    Next next();

private:
#if defined(__linux__)
    int fd_;
    std::byte* buffer_;
    const ReadDirectory& read_;
    size_t position_ = 0;
    size_t filled_ = 0;
    bool ended_ = false;
#else
    DIR* stream_ = nullptr;
    int pending_error_ = 0;
    bool ended_ = false;
#endif
};

}  // namespace orvalnest::scanner_detail
