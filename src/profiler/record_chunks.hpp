// The buffer of one thread's encoded records: the records back to back in
// large chunks, so that a record costs its own bytes and nothing more (no
// allocation, header or capacity slack per record; a chunk's last few KiB
// may stay unused, see fits_in_place).
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

    // Whether a record of `bytes` bytes can be written in place (claim):
    // it fits what the last chunk has left, or what the last chunk leaves
    // unused when the record starts a new one is at most kMostUnused bytes.
    // Otherwise append it, which splits it across chunks.
    static constexpr std::size_t kMostUnused = 4096;
    bool fits_in_place(std::size_t bytes) const noexcept {
        if (chunks_.empty()) return true;
        const std::size_t room = chunks_.back().capacity - chunks_.back().used;
        return bytes <= room || room <= kMostUnused;
    }
    // Room for one record of `bytes` bytes (fits_in_place), in one piece at
    // the end of the buffer, for the caller to write in place; commit()
    // then keeps it. Null when the memory cannot be had. A new chunk mapped
    // for it stays, empty, when nothing is committed.
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
    // Maps an empty chunk of at least `at_least` bytes and puts it last:
    // its data, or null with nothing changed when memory cannot be had.
    std::uint8_t* add_chunk(std::size_t at_least) noexcept;
    std::vector<Chunk> chunks_;
    std::size_t records_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace nefa
