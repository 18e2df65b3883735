#include "orvalnest/shared_path.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace orvalnest {

SharedPathRef SharedPathRef::concat(std::initializer_list<std::string_view> parts) {
    size_t size = 0;
    for (auto part : parts) size += part.size();
    void* block = std::malloc(sizeof(SharedPath) + size);
    if (!block) throw std::bad_alloc();
    SharedPathRef ref;
    ref.path_ = new (block) SharedPath(static_cast<std::uint32_t>(size));
    char* out = reinterpret_cast<char*>(ref.path_ + 1);
    for (auto part : parts) {
        if (part.empty()) continue;
        std::memcpy(out, part.data(), part.size());
        out += part.size();
    }
    return ref;
}

void SharedPathRef::reset() {
    SharedPath* path = std::exchange(path_, nullptr);
    if (path && path->references_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        path->~SharedPath();
        std::free(path);
    }
}

}  // namespace orvalnest
