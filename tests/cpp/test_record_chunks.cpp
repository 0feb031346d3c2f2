// The record buffer: whatever the sizes appended, draining gives back every
// byte in order, across the small first chunk, full chunks and records
// larger than a chunk; records written in place sit whole in one chunk,
// in order with appended ones; prepending puts a buffer's records first.
#include "profiler/record_chunks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace nefa {
namespace {

std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::minstd_rand random(seed);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
}

std::vector<std::uint8_t> drained(RecordChunks& chunks) {
    std::vector<std::uint8_t> out(chunks.byte_count());
    chunks.drain_into(out.data());
    return out;
}

TEST(RecordChunks, DrainGivesEveryByteInOrderAcrossChunkBoundaries) {
    // Sizes that fill the first chunk exactly, straddle it, exceed a whole
    // chunk, and many small ones after.
    const std::size_t sizes[] = {RecordChunks::kFirstChunkBytes - 100, 100, 1, RecordChunks::kChunkBytes + 17,
                                 RecordChunks::kChunkBytes - 5,        300, 0, 3 * RecordChunks::kChunkBytes};
    RecordChunks chunks;
    std::vector<std::uint8_t> expected;
    std::uint32_t seed = 1;
    for (std::size_t size : sizes) {
        const auto bytes = pattern(size, seed++);
        ASSERT_TRUE(chunks.append(bytes));
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    for (int i = 0; i < 20000; ++i) {
        const auto bytes = pattern(1 + static_cast<std::size_t>(i % 251), seed++);
        ASSERT_TRUE(chunks.append(bytes, 2));
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(chunks.record_count(), std::size(sizes) + 40000);
    EXPECT_EQ(chunks.byte_count(), expected.size());
    EXPECT_EQ(drained(chunks), expected);
    EXPECT_TRUE(chunks.empty());
    EXPECT_EQ(chunks.byte_count(), 0u);

    // Drained, it starts afresh with a small first chunk.
    const auto again = pattern(1000, 99);
    ASSERT_TRUE(chunks.append(again));
    EXPECT_EQ(drained(chunks), again);
}

TEST(RecordChunks, RecordsWrittenInPlaceStayWholeAndInOrder) {
    RecordChunks chunks;
    std::vector<std::uint8_t> expected;
    std::uint32_t seed = 11;
    auto put = [&](std::size_t size) {
        const auto bytes = pattern(size, seed++);
        std::uint8_t* room = chunks.claim(size);
        ASSERT_NE(room, nullptr);
        std::copy(bytes.begin(), bytes.end(), room);
        chunks.commit(size);
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    };
    // The first chunk's last bytes are left over when a record does not
    // fit them; one larger than a chunk gets one of its own.
    put(RecordChunks::kFirstChunkBytes - 10);
    put(11);
    ASSERT_TRUE(chunks.append(pattern(3, seed)));
    const auto appended = pattern(3, seed++);
    expected.insert(expected.end(), appended.begin(), appended.end());
    EXPECT_FALSE(chunks.fits_in_place(RecordChunks::kChunkBytes + 5));  // would leave most of a chunk unused
    put(RecordChunks::kChunkBytes + 5);
    for (int i = 0; i < 5000; ++i) {
        const std::size_t size = 1 + static_cast<std::size_t>(i % 997);
        EXPECT_TRUE(chunks.fits_in_place(size));
        put(size);
    }
    EXPECT_EQ(chunks.record_count(), 5004u);
    EXPECT_EQ(chunks.byte_count(), expected.size());
    EXPECT_EQ(drained(chunks), expected);
}

TEST(RecordChunks, PrependPutsTheOtherBuffersRecordsFirst) {
    RecordChunks back, front;
    const auto first = pattern(RecordChunks::kChunkBytes + 1000, 5);
    const auto second = pattern(700, 6);
    ASSERT_TRUE(front.append(first));
    ASSERT_TRUE(back.append(second));
    back.prepend(std::move(front));
    EXPECT_TRUE(front.empty());
    EXPECT_EQ(back.record_count(), 2u);
    // Appending goes on after the buffer's own tail.
    const auto third = pattern(RecordChunks::kFirstChunkBytes, 7);
    ASSERT_TRUE(back.append(third));
    std::vector<std::uint8_t> expected(first);
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(drained(back), expected);
}

}  // namespace
}  // namespace nefa
