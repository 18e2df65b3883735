// A growable array of fixed-width values kept in fixed-size chunks: growing
// never copies what is there, walking threads can fill ranges they reserved
// without a lock, and a reader sees one plain array per chunk (which a saved
// scan can map from a file instead).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

namespace orvalnest {

template <typename T, unsigned ChunkBits, std::size_t MaxChunks>
class ChunkedArray {
public:
    static constexpr std::size_t kChunkSize = std::size_t{1} << ChunkBits;
    static constexpr std::size_t kCapacity = kChunkSize * MaxChunks;

    // The table of chunk pointers comes zeroed from calloc: its pages cost
    // memory only once a chunk is recorded there.
    ChunkedArray() : chunks_(static_cast<T**>(std::calloc(MaxChunks, sizeof(T*)))) {
        if (!chunks_) throw std::bad_alloc();
    }
    ChunkedArray(const ChunkedArray&) = delete;
    ChunkedArray& operator=(const ChunkedArray&) = delete;
    ~ChunkedArray() {
        for (std::size_t i = 0; i < MaxChunks && chunks_[i]; ++i) std::free(chunks_[i]);
        std::free(chunks_);
    }

    T& operator[](std::size_t index) { return chunks_[index >> ChunkBits][index & (kChunkSize - 1)]; }
    const T& operator[](std::size_t index) const {
        return chunks_[index >> ChunkBits][index & (kChunkSize - 1)];
    }
    // The chunk holding `index` and the values after it in that chunk.
    T* chunk_at(std::size_t index) const { return chunks_[index >> ChunkBits] + (index & (kChunkSize - 1)); }

    // Makes [0, end) addressable. Safe from several threads, each then writing
    // its own reserved range; chunks are made in order, so the first null
    // pointer ends the table.
    void ensure(std::size_t end) {
        if (end == 0) return;
        const std::size_t last = (end - 1) >> ChunkBits;
        if (std::atomic_ref<T*>(chunks_[last]).load(std::memory_order_acquire)) return;
        std::lock_guard lock(grow_);
        for (std::size_t i = 0; i <= last; ++i) {
            std::atomic_ref<T*> slot(chunks_[i]);
            if (slot.load(std::memory_order_relaxed)) continue;
            auto* chunk = static_cast<T*>(std::malloc(kChunkSize * sizeof(T)));
            if (!chunk) throw std::bad_alloc();
            slot.store(chunk, std::memory_order_release);
        }
    }

private:
    T** chunks_;
    std::mutex grow_;
};

}  // namespace orvalnest
