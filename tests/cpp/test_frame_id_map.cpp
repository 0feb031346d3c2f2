// The frame-id table: what a std::unordered_map would answer, under the
// insert/take patterns of calls and returns, collisions and wrap-around.
#include "utils/frame_id_map.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <unordered_map>

namespace nefa {
namespace {

FrameId id_for(std::uint64_t n) {
    FrameId id;
    std::memset(id.text.data(), 'A', id.text.size());
    std::memcpy(id.text.data(), &n, sizeof n);
    return id;
}

// An address holds another frame once the first returned unseen: the check
// told at the call must match at the return, and a stale entry goes away
// instead of being handed to the newcomer.
TEST(FrameIdMap, StaleEntryOfAnotherCheckIsDroppedNotHandedOut) {
    FrameIdMap map;
    map.insert_or_assign(0x1000, id_for(1), 7);
    EXPECT_FALSE(map.take(0x1000, 8).has_value());
    EXPECT_EQ(map.size(), 0u);
    EXPECT_FALSE(map.take(0x1000, 7).has_value());

    // A later call at the address replaces both the id and the check.
    map.insert_or_assign(0x1000, id_for(2), 7);
    map.insert_or_assign(0x1000, id_for(3), 9);
    EXPECT_FALSE(map.take(0x1000, 7).has_value());
    map.insert_or_assign(0x1000, id_for(4), 9);
    EXPECT_EQ(map.take(0x1000, 9), id_for(4));

    // Dropping stale entries keeps the others of their probe runs findable,
    // through growth too.
    for (std::uint64_t i = 1; i <= 300; ++i) map.insert_or_assign(i * 64, id_for(i), i);
    for (std::uint64_t i = 1; i <= 300; i += 2) EXPECT_FALSE(map.take(i * 64, i + 1).has_value());
    EXPECT_EQ(map.size(), 150u);
    for (std::uint64_t i = 2; i <= 300; i += 2) EXPECT_EQ(map.take(i * 64, i), id_for(i));
    EXPECT_EQ(map.size(), 0u);
}

TEST(FrameIdMap, TakeRemovesAndReplaces) {
    FrameIdMap map;
    EXPECT_FALSE(map.take(0x1000).has_value());
    map.insert_or_assign(0x1000, id_for(1));
    map.insert_or_assign(0x1000, id_for(2));
    EXPECT_EQ(map.size(), 1u);
    EXPECT_EQ(map.take(0x1000), id_for(2));
    EXPECT_FALSE(map.take(0x1000).has_value());
    EXPECT_EQ(map.size(), 0u);
}

TEST(FrameIdMap, AgreesWithAStandardMapUnderRandomTraffic) {
    // Addresses from a small pool, 16 bytes apart like frames, so that
    // probe runs collide, wrap and get holes punched in their middle.
    std::mt19937_64 random(7);
    FrameIdMap map;
    std::unordered_map<std::uintptr_t, FrameId> expected;
    for (std::uint64_t step = 0; step < 200000; ++step) {
        const std::uintptr_t address = 0x7f0000000000u + 16 * (random() % 700);
        if (random() % 3 != 0) {
            map.insert_or_assign(address, id_for(step));
            expected.insert_or_assign(address, id_for(step));
        } else {
            auto found = expected.find(address);
            const std::optional<FrameId> taken = map.take(address);
            ASSERT_EQ(taken.has_value(), found != expected.end()) << "step " << step;
            if (taken) {
                ASSERT_EQ(*taken, found->second);
                expected.erase(found);
            }
        }
        ASSERT_EQ(map.size(), expected.size());
    }
    for (const auto& [address, id] : expected) EXPECT_EQ(map.take(address), id);
    EXPECT_EQ(map.size(), 0u);
}

TEST(FrameIdMap, DeepStackUnwinds) {
    // A recursion: every call stored, then taken back newest first.
    FrameIdMap map;
    for (std::uint64_t i = 1; i <= 5000; ++i) map.insert_or_assign(i * 512, id_for(i));
    for (std::uint64_t i = 5000; i >= 1; --i) ASSERT_EQ(map.take(i * 512), id_for(i));
    EXPECT_EQ(map.size(), 0u);
}

}  // namespace
}  // namespace nefa
