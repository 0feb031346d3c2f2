#include "utils/frame_id_map.hpp"

namespace nefa {

void FrameIdMap::grow() {
    std::vector<Slot> old = std::move(slots_);
    const std::size_t capacity = old.empty() ? 16 : old.size() * 2;
    slots_.assign(capacity, Slot{});
    shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
    size_ = 0;
    for (const Slot& slot : old) {
        if (slot.address != 0) insert_or_assign(slot.address, slot.id, slot.check);
    }
}

void FrameIdMap::insert_or_assign(std::uintptr_t address, const FrameId& id, std::uint64_t check) {
    // At most half full keeps probe runs short.
    if ((size_ + 1) * 2 > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = home(address);; i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (slot.address == address) {
            slot.id = id;
            slot.check = check;
            return;
        }
        if (slot.address == 0) {
            slot.address = address;
            slot.check = check;
            slot.id = id;
            ++size_;
            return;
        }
    }
}

std::optional<FrameId> FrameIdMap::take(std::uintptr_t address, std::uint64_t check) {
    if (size_ == 0) return std::nullopt;
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = home(address);
    while (slots_[i].address != address) {
        if (slots_[i].address == 0) return std::nullopt;
        i = (i + 1) & mask;
    }
    std::optional<FrameId> found;
    if (slots_[i].check == check) found = slots_[i].id;
    // Backward-shift deletion: move later entries of the run into the hole
    // when the hole lies between their home slot and where they are.
    std::size_t hole = i;
    for (std::size_t j = (i + 1) & mask; slots_[j].address != 0; j = (j + 1) & mask) {
        const std::size_t want = home(slots_[j].address);
        const bool movable = hole <= j ? (want <= hole || want > j) : (want <= hole && want > j);
        if (movable) {
            slots_[hole] = slots_[j];
            hole = j;
        }
    }
    slots_[hole].address = 0;
    --size_;
    return found;
}

}  // namespace nefa
