// The frames of each lane (one thread at one depth) of a part, in blocks of
// up to lane_frames: the table `call_lanes` holds a row per block, with the
// block's (end, id) pairs as two arrays of little-endian int64. Calls of a
// lane never overlap, and a lane's rows complete in id order (a call at
// depth d starts only once the one before it at depth d has ended), so a
// block is in id order and in end order at once. An index of every frame
// by end, kept row by row, took two fifths of the index build.
//
// Plain C++: no Python object, no interpreter lock needed.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace nefa::trace_index {

// Frames a block holds at most. A full row takes 800 to 820 bytes: five
// fit a page of 4 KiB (49 frames would leave room for four), and none
// comes near the 1002 bytes that such a page keeps of a row of an
// index-shaped tree (WITHOUT ROWID) before the rest spills to an overflow
// page. Stored databases depend on it only in that their full blocks have
// this many.
constexpr std::size_t lane_frames = 48;

inline void write_le64(std::uint8_t* to, std::int64_t value) {
    auto bits = static_cast<std::uint64_t>(value);
    if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
    std::memcpy(to, &bits, sizeof bits);
}

inline std::int64_t read_le64(const std::uint8_t* from) {
    std::uint64_t bits;
    std::memcpy(&bits, from, sizeof bits);
    if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
    return static_cast<std::int64_t>(bits);
}

struct LaneBlock {
    std::uint64_t thread;
    std::uint32_t depth;
    std::uint32_t count;
    std::int64_t first_id;
    std::int64_t first_end;
    std::int64_t last_end;
    std::uint32_t bytes_at;  // in LaneOut::bytes: count ends, then count ids, 8 bytes each
};

// Blocks made and not written yet.
struct LaneOut {
    std::vector<LaneBlock> blocks;
    std::vector<std::uint8_t> bytes;

    void clear() {
        blocks.clear();
        bytes.clear();
    }
};

// The open block of every lane of one part, kept from batch to batch.
class LaneBuilder {
public:
    // A frame (database id), in id order within its lane; a full block goes to `out`.
    void add(std::uint64_t thread, std::uint32_t depth, std::int64_t end, std::int64_t id, LaneOut& out);
    // The part is done: every open block goes to `out`, lanes in first-seen
    // thread order, by depth.
    void flush(LaneOut& out);
    bool empty() const { return open_ == 0; }

private:
    struct Lane {
        std::array<std::int64_t, lane_frames> ends;
        std::array<std::int64_t, lane_frames> ids;
        std::uint32_t count = 0;
    };
    struct Thread {
        std::uint64_t id;
        std::vector<Lane> depths;
    };
    void emit(std::uint64_t thread, std::uint32_t depth, Lane& lane, LaneOut& out);

    std::vector<Thread> threads_;  // few: found by a walk, the last one first
    std::size_t last_ = 0;
    std::size_t open_ = 0;  // lanes holding frames
};

}  // namespace nefa::trace_index
