#include "host/trace_index/name_blocks.hpp"

#include <algorithm>

namespace nefa::trace_index {

void encode_name_block(const std::vector<std::uint16_t>& offsets, std::vector<std::uint8_t>& out) {
    if (offsets.size() < listed_offsets_below) {
        for (const std::uint16_t offset : offsets) {
            out.push_back(static_cast<std::uint8_t>(offset & 0xff));
            out.push_back(static_cast<std::uint8_t>(offset >> 8));
        }
        return;
    }
    const std::size_t start = out.size();
    out.resize(start + name_block_bitmap_bytes, 0);
    for (const std::uint16_t offset : offsets) out[start + offset / 8] |= static_cast<std::uint8_t>(1u << (offset % 8));
}

void NameBlockBuilder::emit(long long first_id, Named& named, NameBlockOut& out) {
    // Sorted by name (then offset), each name's run is one row.
    std::sort(named.begin(), named.end());
    for (std::size_t run = 0; run < named.size();) {
        const long long name_id = named[run].first;
        offsets_.clear();
        for (; run < named.size() && named[run].first == name_id; ++run) offsets_.push_back(named[run].second);
        const auto at = static_cast<std::uint32_t>(out.bytes.size());
        encode_name_block(offsets_, out.bytes);
        out.blocks.push_back(
            {name_id, first_id, offsets_.front(), at, static_cast<std::uint32_t>(out.bytes.size() - at)});
    }
    named.clear();
}

void NameBlockBuilder::add(long long name_id, long long id, NameBlockOut& out) {
    const long long first_id = id / name_block_ids * name_block_ids;
    const auto offset = static_cast<std::uint16_t>(id - first_id);
    if (first_id == open_[1].first_id) {
        open_[1].named.emplace_back(name_id, offset);
    } else if (first_id == open_[0].first_id) {
        open_[0].named.emplace_back(name_id, offset);
    } else if (first_id > open_[1].first_id) {
        if (open_[0].first_id >= 0) emit(open_[0].first_id, open_[0].named, out);
        std::swap(open_[0], open_[1]);
        open_[1].first_id = first_id;
        open_[1].named.clear();
        open_[1].named.emplace_back(name_id, offset);
    } else {
        late_.push_back({first_id, {name_id, offset}});
    }
}

void NameBlockBuilder::end_batch(NameBlockOut& out) {
    if (late_.empty()) return;
    std::sort(late_.begin(), late_.end());
    for (std::size_t run = 0; run < late_.size();) {
        const long long first_id = late_[run].first;
        scratch_.clear();
        for (; run < late_.size() && late_[run].first == first_id; ++run) scratch_.push_back(late_[run].second);
        emit(first_id, scratch_, out);
    }
    late_.clear();
}

void NameBlockBuilder::flush(NameBlockOut& out) {
    end_batch(out);
    for (Open& open : open_) {
        if (!open.named.empty()) emit(open.first_id, open.named, out);
        open.first_id = -1;
    }
}

bool NameBlockBuilder::empty() const { return late_.empty() && open_[0].named.empty() && open_[1].named.empty(); }

}  // namespace nefa::trace_index
