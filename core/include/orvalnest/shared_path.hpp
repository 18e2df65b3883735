// A directory's path, stored once and shared by every entry in it: a scan holds
// one node per entry, and repeating the full path in each would cost more than
// everything else a node keeps.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace orvalnest {

class SharedPathRef;

// Immutable bytes with a reference count, allocated in one block.
class SharedPath {
public:
    std::string_view text() const { return {reinterpret_cast<const char*>(this + 1), size_}; }

private:
    friend class SharedPathRef;
    explicit SharedPath(std::uint32_t size) : size_(size) {}
    std::atomic<std::uint32_t> references_{1};
    std::uint32_t size_;
};

// An owning handle; copies share the path.
class SharedPathRef {
public:
    SharedPathRef() = default;
    // A new path made of `parts` laid end to end.
    static SharedPathRef concat(std::initializer_list<std::string_view> parts);

    SharedPathRef(const SharedPathRef& other) : path_(other.path_) {
        if (path_) path_->references_.fetch_add(1, std::memory_order_relaxed);
    }
    SharedPathRef(SharedPathRef&& other) noexcept : path_(std::exchange(other.path_, nullptr)) {}
    SharedPathRef& operator=(SharedPathRef other) noexcept {
        std::swap(path_, other.path_);
        return *this;
    }
    ~SharedPathRef() { reset(); }

    explicit operator bool() const { return path_ != nullptr; }
    std::string_view text() const { return path_ ? path_->text() : std::string_view{}; }
    const SharedPath* get() const { return path_; }
    void reset();

private:
    SharedPath* path_ = nullptr;
};

}  // namespace orvalnest
