#include "orvalnest/xxhash64.hpp"

#include <bit>
#include <cstring>

namespace orvalnest {
namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ULL;

// XXH64 is defined on little-endian words, whatever the machine's own order.
std::uint64_t read64(const unsigned char* at) {
    std::uint64_t value;
    std::memcpy(&value, at, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    return value;
}

std::uint32_t read32(const unsigned char* at) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    return value;
}

std::uint64_t round(std::uint64_t lane, std::uint64_t input) {
    return std::rotl(lane + input * kPrime2, 31) * kPrime1;
}

std::uint64_t merge(std::uint64_t hash, std::uint64_t lane) {
    return (hash ^ round(0, lane)) * kPrime1 + kPrime4;
}

}  // namespace

Xxh64::Xxh64(std::uint64_t seed)
    : lanes_{seed + kPrime1 + kPrime2, seed + kPrime2, seed, seed - kPrime1}, seed_(seed) {}

void Xxh64::update(const void* data, std::size_t size) {
    auto* at = static_cast<const unsigned char*>(data);
    total_ += size;
    if (buffered_ + size < 32) {
        if (size) std::memcpy(buffer_ + buffered_, at, size);
        buffered_ += size;
        return;
    }
    const auto stripe = [this](const unsigned char* block) {
        for (int lane = 0; lane < 4; ++lane) lanes_[lane] = round(lanes_[lane], read64(block + 8 * lane));
    };
    if (buffered_) {
        const std::size_t fill = 32 - buffered_;
        std::memcpy(buffer_ + buffered_, at, fill);
        stripe(buffer_);
        at += fill;
        size -= fill;
        buffered_ = 0;
    }
    for (; size >= 32; at += 32, size -= 32) stripe(at);
    if (size) std::memcpy(buffer_, at, size);
    buffered_ = size;
}

std::uint64_t Xxh64::digest() const {
    std::uint64_t hash;
    if (total_ >= 32) {
        hash = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) + std::rotl(lanes_[2], 12) +
               std::rotl(lanes_[3], 18);
        for (const std::uint64_t lane : lanes_) hash = merge(hash, lane);
    } else {
        hash = seed_ + kPrime5;
    }
    hash += total_;
    const unsigned char* at = buffer_;
    std::size_t left = buffered_;
    for (; left >= 8; at += 8, left -= 8)
        hash = std::rotl(hash ^ round(0, read64(at)), 27) * kPrime1 + kPrime4;
    if (left >= 4) {
        hash = std::rotl(hash ^ (read32(at) * kPrime1), 23) * kPrime2 + kPrime3;
        at += 4;
        left -= 4;
    }
    for (; left > 0; ++at, --left) hash = std::rotl(hash ^ (*at * kPrime5), 11) * kPrime1;
    hash ^= hash >> 33;
    hash *= kPrime2;
    hash ^= hash >> 29;
    hash *= kPrime3;
    return hash ^ (hash >> 32);
}

std::uint64_t xxh64(std::string_view data, std::uint64_t seed) {
    Xxh64 state(seed);
    state.update(data.data(), data.size());
    return state.digest();
}

}  // namespace orvalnest
