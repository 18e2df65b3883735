#include "dir_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "orvalnest/eintr.hpp"

#if defined(__linux__)
#include <dirent.h>
#endif

namespace orvalnest::scanner_detail {
namespace {

bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

#if defined(__linux__)

DirReader::DirReader(int fd, std::byte* buffer, const ReadDirectory& read)
    : fd_(fd), buffer_(buffer), read_(read) {}

DirReader::~DirReader() = default;

DirReader::Next DirReader::next() {
    for (;;) {
        while (position_ < filled_) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer_ + position_);
            position_ += entry->d_reclen;
            if (is_dot_or_dot_dot(entry->d_name)) continue;
            return {Step::Entry, entry->d_name, std::strlen(entry->d_name)};
        }
        if (ended_) return {Step::End};
        const ssize_t filled = retry_on_eintr([&] {
            return read_ ? read_(fd_, buffer_, kDirBufferSize) : ::getdents64(fd_, buffer_, kDirBufferSize);
        });
        if (filled <= 0) {
            ended_ = true;
            if (filled < 0) return {Step::Error, nullptr, 0, errno};
            return {Step::End};
        }
        position_ = 0;
        filled_ = static_cast<size_t>(filled);
    }
}

#else

DirReader::DirReader(int fd, std::byte*, const ReadDirectory&) {
    // fdopendir takes the descriptor over; the walk keeps its own.
    const int own = ::dup(fd);
    stream_ = own < 0 ? nullptr : ::fdopendir(own);
    if (!stream_) {
        pending_error_ = errno;  // reported by the first next()
        if (own >= 0) ::close(own);
        ended_ = true;
    }
}

DirReader::~DirReader() {
    if (stream_) ::closedir(stream_);
}

DirReader::Next DirReader::next() {
    if (pending_error_ != 0) return {Step::Error, nullptr, 0, std::exchange(pending_error_, 0)};
    while (!ended_) {
        errno = 0;
        const struct dirent* entry = ::readdir(stream_);
        if (!entry) {
            ended_ = true;
            if (errno != 0) return {Step::Error, nullptr, 0, errno};
            break;
        }
        if (is_dot_or_dot_dot(entry->d_name)) continue;
        return {Step::Entry, entry->d_name, std::strlen(entry->d_name)};
    }
    return {Step::End};
}

#endif

}  // namespace orvalnest::scanner_detail
