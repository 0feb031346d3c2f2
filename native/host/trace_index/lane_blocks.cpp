#include "host/trace_index/lane_blocks.hpp"

namespace nefa::trace_index {

void LaneBuilder::emit(std::uint64_t thread, std::uint32_t depth, Lane& lane, LaneOut& out) {
    const std::uint32_t n = lane.count;
    const auto at = static_cast<std::uint32_t>(out.bytes.size());
    out.bytes.resize(out.bytes.size() + std::size_t{n} * 16);
    std::uint8_t* ends = out.bytes.data() + at;
    std::uint8_t* ids = ends + std::size_t{n} * 8;
    for (std::uint32_t i = 0; i < n; ++i) {
        write_le64(ends + std::size_t{i} * 8, lane.ends[i]);
        write_le64(ids + std::size_t{i} * 8, lane.ids[i]);
    }
    out.blocks.push_back(LaneBlock{thread, depth, n, lane.ids[0], lane.ends[0], lane.ends[n - 1], at});
    lane.count = 0;
    --open_;
}

void LaneBuilder::add(std::uint64_t thread, std::uint32_t depth, std::int64_t end, std::int64_t id, LaneOut& out) {
    if (last_ >= threads_.size() || threads_[last_].id != thread) {
        last_ = 0;
        while (last_ < threads_.size() && threads_[last_].id != thread) ++last_;
        if (last_ == threads_.size()) threads_.push_back(Thread{thread, {}});
    }
    std::vector<Lane>& depths = threads_[last_].depths;
    if (depths.size() <= depth) depths.resize(std::size_t{depth} + 1);
    Lane& lane = depths[depth];
    // Readers search a block by end and by id: should a lane ever come out
    // of order, its block so far is closed rather than left unsorted.
    if (lane.count > 0 && (end < lane.ends[lane.count - 1] || id <= lane.ids[lane.count - 1])) {
        emit(thread, depth, lane, out);
    }
    if (lane.count == 0) ++open_;
    lane.ends[lane.count] = end;
    lane.ids[lane.count] = id;
    if (++lane.count == lane_frames) emit(thread, depth, lane, out);
}

void LaneBuilder::flush(LaneOut& out) {
    for (Thread& thread : threads_) {
        for (std::size_t depth = 0; depth < thread.depths.size(); ++depth) {
            Lane& lane = thread.depths[depth];
            if (lane.count > 0) emit(thread.id, static_cast<std::uint32_t>(depth), lane, out);
        }
    }
}

}  // namespace nefa::trace_index
