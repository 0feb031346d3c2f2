// The buffer of one thread's encoded records: the records back to back in
// large chunks, so that a record costs its own bytes and nothing more (no
// allocation, header or capacity slack per record).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace nefa {

class RecordChunks {
public:
    // Chunks are mapped straight from the system, so that a drained chunk
    // goes back to it at once instead of staying in the allocator's heap.
    static constexpr std::size_t kFirstChunkBytes = std::size_t{256} << 10;
    static constexpr std::size_t kChunkBytes = std::size_t{2} << 20;

    RecordChunks() = default;
    RecordChunks(RecordChunks&& other) noexcept;
    RecordChunks& operator=(RecordChunks&& other) noexcept;
    RecordChunks(const RecordChunks&) = delete;
    RecordChunks& operator=(const RecordChunks&) = delete;
    ~RecordChunks() { clear(); }

    // Appends `bytes`, which hold `records` whole encoded records. Returns
    // false, having appended nothing, when the memory cannot be had.
    bool append(std::span<const std::uint8_t> bytes, std::size_t records = 1) noexcept;

    // Room for one record of `bytes` bytes, in one piece at the end of the
    // buffer, for the caller to write in place; commit() then keeps it.
    // Null when the memory cannot be had. Part of the last chunk may stay
    // unused when the record does not fit in it.
    std::uint8_t* claim(std::size_t bytes) noexcept;
    void commit(std::size_t bytes) noexcept;

    std::size_t record_count() const { return records_; }
    std::size_t byte_count() const { return bytes_; }
    bool empty() const { return records_ == 0; }

    // Copies every byte, in order, to `out` (which has byte_count() bytes),
    // releasing each chunk once it is copied; leaves this buffer empty.
    void drain_into(std::uint8_t* out) noexcept;

    // Puts the records of `front` before this buffer's own; `front` is left
    // empty. May throw std::bad_alloc, leaving both buffers as they were.
    void prepend(RecordChunks&& front);

    void clear() noexcept;
    void swap(RecordChunks& other) noexcept;

private:
    struct Chunk {
        std::uint8_t* data;
        std::size_t used;
        std::size_t capacity;
    };
    std::vector<Chunk> chunks_;
    std::size_t records_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace nefa
