#include "profiler/record_chunks.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <utility>

namespace nefa {

namespace {

std::uint8_t* map_chunk(std::size_t bytes) noexcept {
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(memory);
}

// A full-size chunk, its pages made present by the one call that maps it:
// a recording writes hundreds of megabytes, and taking a fault for each
// 4 KiB page as it is first written cost about a tenth of a recorded call.
std::uint8_t* map_populated_chunk() noexcept {
    void* memory = mmap(nullptr, RecordChunks::kChunkBytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(memory);
}

std::size_t round_to_pages(std::size_t bytes) {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

}  // namespace

RecordChunks::RecordChunks(RecordChunks&& other) noexcept { swap(other); }

RecordChunks& RecordChunks::operator=(RecordChunks&& other) noexcept {
    if (this != &other) {
        clear();
        swap(other);
    }
    return *this;
}

void RecordChunks::swap(RecordChunks& other) noexcept {
    chunks_.swap(other.chunks_);
    std::swap(records_, other.records_);
    std::swap(bytes_, other.bytes_);
}

std::uint8_t* RecordChunks::add_chunk(std::size_t at_least) noexcept {
    // Everything that can fail comes first, so a failure adds nothing.
    try {
        chunks_.reserve(chunks_.size() + 1);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    // A buffer's first chunk is small and mapped lazily: a thread that
    // records a few calls must not hold megabytes.
    const std::size_t usual = chunks_.empty() ? kFirstChunkBytes : kChunkBytes;
    const std::size_t capacity = at_least > usual ? round_to_pages(at_least) : usual;
    std::uint8_t* data = capacity == kChunkBytes ? map_populated_chunk() : map_chunk(capacity);
    if (data != nullptr) chunks_.push_back(Chunk{data, 0, capacity});
    return data;
}

bool RecordChunks::append(std::span<const std::uint8_t> bytes, std::size_t records) noexcept {
    const std::size_t room = chunks_.empty() ? 0 : chunks_.back().capacity - chunks_.back().used;
    const std::size_t spill = bytes.size() > room ? bytes.size() - room : 0;
    if (spill != 0) {
        const std::size_t tail = chunks_.size();  // the last chunk's index + 1, before the new one
        std::uint8_t* data = add_chunk(spill);
        if (data == nullptr) return false;
        if (room != 0) {
            Chunk& last = chunks_[tail - 1];
            std::memcpy(last.data + last.used, bytes.data(), room);
            last.used += room;
        }
        std::memcpy(data, bytes.data() + room, spill);
        chunks_.back().used = spill;
    } else if (!bytes.empty()) {
        Chunk& last = chunks_.back();
        std::memcpy(last.data + last.used, bytes.data(), bytes.size());
        last.used += bytes.size();
    }
    records_ += records;
    bytes_ += bytes.size();
    return true;
}

std::uint8_t* RecordChunks::claim(std::size_t bytes) noexcept {
    if (!chunks_.empty() && chunks_.back().capacity - chunks_.back().used >= bytes) {
        return chunks_.back().data + chunks_.back().used;
    }
    return add_chunk(bytes);
}

void RecordChunks::commit(std::size_t bytes) noexcept {
    chunks_.back().used += bytes;
    records_ += 1;
    bytes_ += bytes;
}

void RecordChunks::drain_into(std::uint8_t* out) noexcept {
    for (Chunk& chunk : chunks_) {
        std::memcpy(out, chunk.data, chunk.used);
        out += chunk.used;
        munmap(chunk.data, chunk.capacity);
    }
    std::vector<Chunk>().swap(chunks_);
    records_ = 0;
    bytes_ = 0;
}

void RecordChunks::prepend(RecordChunks&& front) {
    if (front.chunks_.empty()) return;
    chunks_.insert(chunks_.begin(), front.chunks_.begin(), front.chunks_.end());
    records_ += front.records_;
    bytes_ += front.bytes_;
    // The chunks now belong here.
    front.chunks_.clear();
    front.records_ = 0;
    front.bytes_ = 0;
}

void RecordChunks::clear() noexcept {
    for (Chunk& chunk : chunks_) munmap(chunk.data, chunk.capacity);
    chunks_.clear();
    records_ = 0;
    bytes_ = 0;
}

}  // namespace nefa
