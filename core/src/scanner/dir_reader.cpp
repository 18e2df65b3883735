#include "dir_reader.hpp"

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

DirReader::DirReader(UniqueFd fd, std::byte* buffer) : fd_(std::move(fd)), buffer_(buffer) {}

// The buffer is only lent, so moving copies the pointer and the fd moves with its owner.
DirReader::DirReader(DirReader&&) noexcept = default;
DirReader& DirReader::operator=(DirReader&&) noexcept = default;

DirReader::~DirReader() = default;

int DirReader::fd() const { return fd_.get(); }

DirReader::Next DirReader::next() {
    for (;;) {
        while (position_ < filled_) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer_ + position_);
            position_ += entry->d_reclen;
            if (is_dot_or_dot_dot(entry->d_name)) continue;
            return {Step::Entry, entry->d_name, std::strlen(entry->d_name)};
        }
        if (ended_) return {Step::End};
        const ssize_t filled =
            retry_on_eintr([&] { return ::getdents64(fd_.get(), buffer_, kDirBufferSize); });
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

DirReader::DirReader(UniqueFd fd, std::byte*) {
    stream_ = ::fdopendir(fd.get());
    if (stream_) {
        fd.release();
    } else {
        pending_error_ = errno;  // reported by the first next(); the fd closes with `fd`
        ended_ = true;
    }
}

DirReader::DirReader(DirReader&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)),
      pending_error_(other.pending_error_),
      ended_(other.ended_) {}

DirReader& DirReader::operator=(DirReader&& other) noexcept {
    if (this != &other) {
        if (stream_) ::closedir(stream_);
        stream_ = std::exchange(other.stream_, nullptr);
        pending_error_ = other.pending_error_;
        ended_ = other.ended_;
    }
    return *this;
}

DirReader::~DirReader() {
    if (stream_) ::closedir(stream_);
}

int DirReader::fd() const { return stream_ ? ::dirfd(stream_) : -1; }

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
