// The hand-written MessagePack encoder: every header switches form exactly at
// the format's size limits, and the pair helpers produce what the trace reader
// decodes.
#include "utils/msgpack_writer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace nefa {
namespace {

struct Case {
    std::int64_t value;
    Bytes expected;
};

template <class Writer>
Bytes encode(Writer&& write) {
    Bytes out;
    write(out);
    return out;
}

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(MsgpackWriter, UnsignedIntegersTakeTheSmallestForm) {
    const std::uint64_t two32 = std::uint64_t{1} << 32;
    const std::pair<std::uint64_t, Bytes> cases[] = {
        {0, {0x00}},
        {127, {0x7f}},
        {128, {0xcc, 0x80}},
        {255, {0xcc, 0xff}},
        {256, {0xcd, 0x01, 0x00}},
        {65535, {0xcd, 0xff, 0xff}},
        {65536, {0xce, 0x00, 0x01, 0x00, 0x00}},
        {two32 - 1, {0xce, 0xff, 0xff, 0xff, 0xff}},
        {two32, {0xcf, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}},
        {std::numeric_limits<std::uint64_t>::max(), {0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(encode([&](Bytes& out) { msgpack::write_uint(out, value); }), expected) << value;
    }
}

TEST(MsgpackWriter, SignedIntegersTakeTheSmallestForm) {
    const std::int64_t int32_min = std::numeric_limits<std::int32_t>::min();
    const Case cases[] = {
        {5, {0x05}},
        {200, {0xcc, 0xc8}},  // non-negative values use the unsigned forms
        {-1, {0xff}},
        {-32, {0xe0}},
        {-33, {0xd0, 0xdf}},
        {-128, {0xd0, 0x80}},
        {-129, {0xd1, 0xff, 0x7f}},
        {-32768, {0xd1, 0x80, 0x00}},
        {-32769, {0xd2, 0xff, 0xff, 0x7f, 0xff}},
        {int32_min, {0xd2, 0x80, 0x00, 0x00, 0x00}},
        {int32_min - 1, {0xd3, 0xff, 0xff, 0xff, 0xff, 0x7f, 0xff, 0xff, 0xff}},
        {std::numeric_limits<std::int64_t>::min(), {0xd3, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(encode([&](Bytes& out) { msgpack::write_int(out, value); }), expected) << value;
    }
}

TEST(MsgpackWriter, StrHeaderAtEachLengthLimit) {
    const std::pair<std::size_t, Bytes> cases[] = {
        {0, {0xa0}},
        {31, {0xbf}},
        {32, {0xd9, 0x20}},
        {255, {0xd9, 0xff}},
        {256, {0xda, 0x01, 0x00}},
        {65535, {0xda, 0xff, 0xff}},
        {65536, {0xdb, 0x00, 0x01, 0x00, 0x00}},
    };
    for (const auto& [length, header] : cases) {
        std::string text(length, 'x');
        if (length > 0) text.back() = 'y';
        const Bytes out = encode([&](Bytes& b) { msgpack::write_str(b, text); });
        EXPECT_EQ(out, concat({header, bytes_of(text)})) << length;

        // The same text in pieces gets the header of the whole.
        const std::string_view whole(text);
        const std::size_t cut = length / 3;
        const Bytes parts = encode([&](Bytes& b) {
            msgpack::write_str_parts(b, {whole.substr(0, cut), std::string_view{}, whole.substr(cut)});
        });
        EXPECT_EQ(parts, out) << length;
    }
}

TEST(MsgpackWriter, ContainerHeadersAtEachCountLimit) {
    const std::tuple<std::size_t, Bytes, Bytes> cases[] = {
        {0, {0x80}, {0x90}},
        {15, {0x8f}, {0x9f}},
        {16, {0xde, 0x00, 0x10}, {0xdc, 0x00, 0x10}},
        {65535, {0xde, 0xff, 0xff}, {0xdc, 0xff, 0xff}},
        {65536, {0xdf, 0x00, 0x01, 0x00, 0x00}, {0xdd, 0x00, 0x01, 0x00, 0x00}},
    };
    for (const auto& [count, map, array] : cases) {
        EXPECT_EQ(encode([&](Bytes& out) { msgpack::write_map_header(out, count); }), map) << count;
        EXPECT_EQ(encode([&](Bytes& out) { msgpack::write_array_header(out, count); }), array) << count;
    }
}

TEST(MsgpackWriter, ScalarsAndFloats) {
    EXPECT_EQ(encode([](Bytes& out) { msgpack::write_nil(out); }), Bytes{0xc0});
    EXPECT_EQ(encode([](Bytes& out) { msgpack::write_true(out); }), Bytes{0xc3});
    // 1.5 is 0x3FF8000000000000 in IEEE 754; the bytes go most significant first.
    EXPECT_EQ(encode([](Bytes& out) { write_f64_pair(out, "timestamp", 1.5); }),
              concat({{0xa9}, bytes_of("timestamp"), {0xcb, 0x3f, 0xf8, 0, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(encode([](Bytes& out) { msgpack::write_f64(out, 1700000000.25); }),
              (Bytes{0xcb, 0x41, 0xd9, 0x54, 0xfc, 0x40, 0x10, 0x00, 0x00}));
}

TEST(MsgpackWriter, StrAndIntPairs) {
    EXPECT_EQ(encode([](Bytes& out) { write_str_pair(out, "qualname", std::nullopt); }),
              (Bytes{0xa8, 0x71, 0x75, 0x61, 0x6c, 0x6e, 0x61, 0x6d, 0x65, 0xc0}));
    EXPECT_EQ(encode([](Bytes& out) { write_str_pair(out, "qualname", "f"); }),
              concat({{0xa8}, bytes_of("qualname"), {0xa1, 'f'}}));
    // Present but empty is a str, not nil.
    EXPECT_EQ(encode([](Bytes& out) { write_str_pair(out, "k", ""); }), (Bytes{0xa1, 'k', 0xa0}));
    EXPECT_EQ(encode([](Bytes& out) { write_int_pair(out, "line", 300); }),
              concat({{0xa4}, bytes_of("line"), {0xcd, 0x01, 0x2c}}));
}

TEST(MsgpackWriter, PairsAppendAfterExistingContent) {
    Bytes out{0x82};
    write_int_pair(out, "a", 1);
    write_str_pair(out, "b", "c");
    EXPECT_EQ(out, (Bytes{0x82, 0xa1, 'a', 0x01, 0xa1, 'b', 0xa1, 'c'}));
}

TEST(MsgpackWriter, RawPairMovesOrCopiesTheEncodedValue) {
    Bytes out{0x81};
    Bytes raw{0x93, 0x01, 0x02, 0x03};
    write_raw_pair(out, "args", raw);
    EXPECT_EQ(out, concat({{0x81, 0xa4}, bytes_of("args"), {0x93, 0x01, 0x02, 0x03}}));
    EXPECT_TRUE(raw.empty());

    const Bytes owned{0xc3};
    Bytes out2;
    write_raw_pair(out2, "ok", std::span<const std::uint8_t>(owned));
    EXPECT_EQ(out2, (Bytes{0xa2, 'o', 'k', 0xc3}));
    EXPECT_EQ(owned, Bytes{0xc3});
}

TEST(MsgpackWriter, RawFramesWriteCountThenRecordsInOrder) {
    EXPECT_EQ(encode([](Bytes& out) { write_raw_frames(out, {}); }), Bytes{0x90});

    FrameList frames;
    Bytes expected{0xdc, 0x00, 0x10};
    for (std::uint8_t i = 0; i < 16; ++i) {
        Bytes record{0x81, 0xa1, 'i', i};
        expected.insert(expected.end(), record.begin(), record.end());
        frames.push_back(std::move(record));
    }
    const FrameList kept = frames;

    Bytes copied{0xff};
    write_raw_frames_copy(copied, frames);
    EXPECT_EQ(copied, concat({{0xff}, expected}));
    EXPECT_EQ(frames, kept);

    Bytes moved;
    write_raw_frames(moved, std::move(frames));
    EXPECT_EQ(moved, expected);
}

}  // namespace
}  // namespace nefa
