// A growable array of fixed-width values kept in fixed-size chunks: growing
// never copies what is there, walking threads can fill ranges they reserved
// without a lock, and a reader sees one plain array per chunk (which a saved
// scan can map from a file instead).
#pragma once

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

namespace orvalnest {

template <typename T, unsigned ChunkBits, std::size_t MaxChunks>
class ChunkedArray {
public:
    static constexpr std::size_t kChunkSize = std::size_t{1} << ChunkBits;
    static constexpr std::size_t kCapacity = kChunkSize * MaxChunks;

    // The table and the chunks are mapped straight from the kernel, not taken
    // from the allocator's heap: their pages cost memory only once written,
    // and every byte goes back when the array does.
    ChunkedArray() : chunks_(static_cast<T**>(map(kTableBytes))) {}
    ChunkedArray(const ChunkedArray&) = delete;
    ChunkedArray& operator=(const ChunkedArray&) = delete;
    ~ChunkedArray() {
        for (std::size_t i = 0; i < MaxChunks && chunks_[i] && !borrowed_; ++i)
            ::munmap(chunks_[i], kChunkBytes);
        ::munmap(chunks_, kTableBytes);
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
            slot.store(static_cast<T*>(map(kChunkBytes)), std::memory_order_release);
        }
    }

    // Reads `count` values from `values` (a saved scan's mapped column), which
    // its owner keeps alive; the array never frees or grows them.
    void adopt(const T* values, std::size_t count) {
        for (std::size_t i = 0; i * kChunkSize < count; ++i)
            chunks_[i] = const_cast<T*>(values) + i * kChunkSize;
        borrowed_ = true;
    }

private:
    static constexpr std::size_t kTableBytes = MaxChunks * sizeof(T*);
    static constexpr std::size_t kChunkBytes = kChunkSize * sizeof(T);

    static void* map(std::size_t bytes) {
        void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) throw std::bad_alloc();
        return block;
    }

    T** chunks_;
    std::mutex grow_;
    bool borrowed_ = false;
};

}  // namespace orvalnest
