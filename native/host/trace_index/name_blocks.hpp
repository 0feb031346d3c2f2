// The index by name (`call_name_blocks`): a row per name and block of ids
// holds the ids of the name's calls in the block, as offsets from its first
// id, so that the table has far fewer rows than `calls`.
//
// Plain C++: no Python object, no interpreter lock needed.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace nefa::trace_index {

// Ids per block. Indexes of version 1 have blocks of 1024: each row then
// went into its own place in the table's tree, at a fifth of a row per
// call, and took more of the writer's time than the calls' rows did.
constexpr long long name_block_ids = 8192;
// Offsets are listed as 2 bytes each, little-endian, while fewer than this
// many; else the block's bitmap is stored (bit i of byte i / 8: offset i),
// which is longer than any list.
constexpr std::size_t listed_offsets_below = name_block_ids / 16;
constexpr std::size_t name_block_bitmap_bytes = name_block_ids / 8;

struct NameBlock {
    long long name_id;
    long long first_id;      // a multiple of name_block_ids
    long long first_offset;  // the smallest offset listed: a block may have several rows of one name
    std::uint32_t bytes_at;  // the offsets, in NameBlockOut::bytes
    std::uint32_t byte_count;
};

// Rows made and not written yet.
struct NameBlockOut {
    std::vector<NameBlock> blocks;
    std::vector<std::uint8_t> bytes;
};

// Appends the encoding of sorted offsets of one block to `out`.
void encode_name_block(const std::vector<std::uint16_t>& offsets, std::vector<std::uint8_t>& out);

// The open blocks of one part, kept from batch to batch so that a block
// makes one row per name, not one per name and batch. A call's row comes
// when it returns, so a batch holds mostly recent ids but also a few of
// calls begun long before (a thread's outer calls): the two newest blocks
// stay open, and the calls of older ones make rows of their own at the
// batch's end. Holds at most three blocks' calls.
class NameBlockBuilder {
public:
    // A call (database id and name id); ids in increasing order within a batch.
    void add(long long name_id, long long id, NameBlockOut& out);
    // The batch is done: the calls of blocks no longer open go to `out`.
    void end_batch(NameBlockOut& out);
    // The part is done: every open block goes to `out`.
    void flush(NameBlockOut& out);
    bool empty() const;

private:
    using Named = std::vector<std::pair<long long, std::uint16_t>>;  // (name id, offset)
    struct Open {
        long long first_id = -1;
        Named named;
    };
    void emit(long long first_id, Named& named, NameBlockOut& out);

    std::array<Open, 2> open_;                                                     // the older, then the newer
    std::vector<std::pair<long long, std::pair<long long, std::uint16_t>>> late_;  // (first id, (name id, offset))
    Named scratch_;
    std::vector<std::uint16_t> offsets_;
};

}  // namespace nefa::trace_index
