// Frame identifiers, record file paths and wall-clock stamps.
#include "utils/paths.hpp"
#include "utils/timestamp.hpp"
#include "utils/ulid.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace nefa {
namespace {

constexpr std::string_view kCrockford = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

std::string ulid(std::uint64_t millis, std::uint16_t random_high, std::uint64_t random_low) {
    char out[kUlidLength];
    encode_ulid(millis, random_high, random_low, out);
    return std::string(out, kUlidLength);
}

std::uint64_t decode_millis(std::string_view time_part) {
    std::uint64_t millis = 0;
    for (char c : time_part) millis = millis * 32 + kCrockford.find(c);
    return millis;
}

std::uint64_t now_millis() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

TEST(Ulid, EncodesKnownValues) {
    // Expected texts computed separately as base32 of (millis << 80 | random).
    EXPECT_EQ(ulid(1469918176385, 0, 0), "01ARYZ6S41" + std::string(16, '0'));
    EXPECT_EQ(ulid(0xFFFFFFFFFFFFULL, 0xFFFF, ~std::uint64_t{0}), "7ZZZZZZZZZZZZZZZZZZZZZZZZZ");
    EXPECT_EQ(ulid(1469918176385, 0x1234, 0x56789ABCDEF01234ULL), "01ARYZ6S4128T5CY4TQKFF04HM");
    EXPECT_EQ(ulid(0, 0, 1), std::string(25, '0') + "1");
}

TEST(Ulid, RandomBitsLandInTheirPlaces) {
    // Character 13 straddles the two 64-bit halves; character 10 holds the
    // top random bit, right after the 48 time bits.
    EXPECT_EQ(ulid(0, 0, std::uint64_t{1} << 63),
              "0000000000000"
              "8"
              "000000000000");
    EXPECT_EQ(ulid(0, 1, 0),
              "0000000000000"
              "G"
              "000000000000");
    EXPECT_EQ(ulid(0, 0x8000, 0),
              "0000000000"
              "G"
              "000000000000000");
    // Time bits above 48 are not part of a ULID.
    EXPECT_EQ(ulid(std::uint64_t{1} << 48, 0, 0), std::string(26, '0'));
}

TEST(FrameIdSource, IdsWithinAMillisecondCountUpAndStayDistinct) {
    // 100,000 ids in one millisecond: the last characters carry into the
    // ones before them many times over.
    FrameIdSource source;
    constexpr std::uint64_t millis = 1469918176385;
    std::string previous;
    std::set<std::string> seen;
    for (int i = 0; i < 100'000; ++i) {
        const std::string text(source.next(millis).view());
        ASSERT_EQ(text.substr(0, 14), "frm_01ARYZ6S41");
        ASSERT_EQ(text.find_first_not_of(kCrockford, 4), std::string::npos) << text;
        // Crockford text sorts as the number it spells.
        ASSERT_GT(text, previous);
        previous = text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 100'000u);
    // Another millisecond starts from fresh random bits, with its own time.
    const std::string next(source.next(millis + 1).view());
    EXPECT_EQ(decode_millis(std::string_view(next).substr(4, 10)), millis + 1);
    FrameIdSource other;
    EXPECT_NE(std::string(other.next(millis).view()), std::string(FrameIdSource().next(millis).view()));
}

TEST(FrameId, HasPrefixAndCrockfordCharacters) {
    const std::uint64_t before = now_millis();
    const FrameId id = FrameId::generate();
    const std::uint64_t after = now_millis();

    const std::string_view text = id.view();
    ASSERT_EQ(text.size(), 30u);
    EXPECT_EQ(text.substr(0, 4), "frm_");
    for (char c : text.substr(4)) EXPECT_NE(kCrockford.find(c), std::string_view::npos) << text;
    const std::uint64_t millis = decode_millis(text.substr(4, 10));
    EXPECT_GE(millis, before);
    EXPECT_LE(millis, after);
}

TEST(FrameId, DistinctAndOrderedByTime) {
    constexpr int kCount = 5000;
    std::set<std::string> seen;
    std::string previous_time;
    for (int i = 0; i < kCount; ++i) {
        const FrameId id = FrameId::generate();
        const std::string text(id.view());
        const std::string time_part = text.substr(4, 10);
        EXPECT_GE(time_part, previous_time);
        previous_time = time_part;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kCount));
}

TEST(FrameId, ThreadsDoNotRepeatEachOther) {
    // Each thread has its own generator: they must not start from the same seed.
    constexpr int kPerThread = 500;
    std::vector<std::string> ids[2];
    std::thread workers[2];
    for (int t = 0; t < 2; ++t) {
        workers[t] = std::thread([&ids, t] {
            for (int i = 0; i < kPerThread; ++i) ids[t].emplace_back(FrameId::generate().view());
        });
    }
    for (auto& w : workers) w.join();
    std::set<std::string> all(ids[0].begin(), ids[0].end());
    all.insert(ids[1].begin(), ids[1].end());
    EXPECT_EQ(all.size(), static_cast<std::size_t>(2 * kPerThread));
}

TEST(PathRelativeTo, StripsOnlyWholeLeadingComponents) {
    struct Case {
        std::string_view file, base, expected;
    };
    const Case cases[] = {
        {"/a/b/x.py", "/a/b", "x.py"},
        {"/a/b/c/x.py", "/a/b", "c/x.py"},
        {"/a/b/x.py", "/a/b/", "x.py"},
        {"/a/bc/x.py", "/a/b", "/a/bc/x.py"},
        {"/a/b", "/a/b", ""},
        {"/a", "/a/b", "/a"},
        {"/z/a/b/x.py", "/a/b", "/z/a/b/x.py"},
        {"/a/b/./x.py", "/a/b", "x.py"},
        {"/a/b/x.py", "/", "a/b/x.py"},
        {"x.py", "/a/b", "x.py"},
        {"x.py", "/", "x.py"},
        {"<string>", "/a/b", "<string>"},
        {"/a/b/x.py", "", "/a/b/x.py"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(path_relative_to(c.file, c.base), c.expected) << c.file << " under " << c.base;
    }
}

TEST(Timestamp, IsTheWallClockInSeconds) {
    using namespace std::chrono;
    const auto seconds_now = [] { return duration<double>(system_clock::now().time_since_epoch()).count(); };
    const double before = seconds_now();
    const double stamp = timestamp();
    const double after = seconds_now();
    // The slack only absorbs the two conversions' rounding to double.
    EXPECT_GE(stamp, before - 1e-3);
    EXPECT_LE(stamp, after + 1e-3);
    // The coarse clock behind time() may lag a little, but never by seconds.
    EXPECT_NEAR(stamp, static_cast<double>(std::time(nullptr)), 2.0);
}

}  // namespace
}  // namespace nefa
