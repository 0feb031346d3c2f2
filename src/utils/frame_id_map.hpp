// Frame ids by frame address, for the calls still waiting for their return:
// an open-addressing table, so that recording a call costs no allocation once
// the table has grown to the thread's deepest recorded stack.
#pragma once

#include "utils/ulid.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace nefa {

class FrameIdMap {
public:
    // Stores `id` under `address` (never 0), replacing any earlier entry;
    // `check` tells what ran at the address then.
    void insert_or_assign(std::uintptr_t address, const FrameId& id, std::uint64_t check = 0);
    // The id stored under `address`, which leaves the map; nothing if none,
    // or if it was stored with another check (the entry of a frame whose
    // return was never seen: it goes too).
    std::optional<FrameId> take(std::uintptr_t address, std::uint64_t check = 0);
    std::size_t size() const { return size_; }

private:
    struct Slot {
        std::uintptr_t address = 0;  // 0: empty
        std::uint64_t check = 0;
        FrameId id;
    };
    std::size_t home(std::uintptr_t address) const {
        // Frames are allocated at least 16 bytes apart: mix the high bits in.
        const std::uint64_t mixed = static_cast<std::uint64_t>(address) * 0x9E3779B97F4A7C15ULL;
        return static_cast<std::size_t>(mixed >> shift_);
    }
    void grow();

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    unsigned shift_ = 64;
};

}  // namespace nefa
