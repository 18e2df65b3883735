// XXH64, Yann Collet's 64-bit xxHash (the published algorithm, seed 0): the checksum
// of saved scans. It runs at memory speed (four independent lanes of
// multiply-rotate), so checking every byte of a large file costs a few
// milliseconds, and 64 bits leave no practical chance of a damaged file
// matching by accident. Other readers find it in every language (Python's
// `xxhash`, for one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvalnest {

class Xxh64 {
public:
    explicit Xxh64(std::uint64_t seed = 0);
    void update(const void* data, std::size_t size);
    std::uint64_t digest() const;

private:
    std::uint64_t lanes_[4];
    std::uint64_t seed_;
    std::uint64_t total_ = 0;
    unsigned char buffer_[32];
    std::size_t buffered_ = 0;
};

std::uint64_t xxh64(std::string_view data, std::uint64_t seed = 0);

}  // namespace orvalnest
