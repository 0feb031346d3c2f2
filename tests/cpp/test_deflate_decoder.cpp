// The deflate decoder against zlib's own one-shot inflate, with no checksum
// in the way: the same verdict and, when whole, the same bytes and input
// used, for zlib's streams of every kind, cut and damaged. Input and output
// are heap blocks of exactly their size, so that the sanitizer build sees a
// byte read or written past either.
#include "host/document/deflate_decoder.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace nefa::document {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes deflated(const Bytes& raw, int level, int strategy) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 9, strategy), Z_OK);
    Bytes out(deflateBound(&z, static_cast<uLong>(raw.size())) + 64);  // the bound is short for level 0
    z.next_in = const_cast<Bytef*>(raw.data());
    z.avail_in = static_cast<uInt>(raw.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

struct Result {
    bool whole;
    std::size_t consumed;
    Bytes out;
};

Result zlib_inflate(const Bytes& in, std::size_t size) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    Bytes out(size + 1);  // never empty: zlib refuses a null output
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(size);
    const bool whole = inflate(&z, Z_FINISH) == Z_STREAM_END && z.avail_out == 0;
    out.resize(size);
    Result result{whole, in.size() - z.avail_in, std::move(out)};
    inflateEnd(&z);
    return result;
}

Result ours(const Bytes& in, std::size_t size) {
    const auto input = std::make_unique<std::uint8_t[]>(in.size());
    std::copy(in.begin(), in.end(), input.get());
    const auto output = std::make_unique<std::uint8_t[]>(size);
    std::size_t consumed = 0;
    const bool whole = inflate_raw(input.get(), in.size(), output.get(), size, consumed);
    return {whole, consumed, Bytes(output.get(), output.get() + size)};
}

void expect_as_zlib(const Bytes& in, std::size_t size, const std::string& what) {
    const Result expected = zlib_inflate(in, size);
    const Result got = ours(in, size);
    ASSERT_EQ(got.whole, expected.whole) << what;
    if (expected.whole) {
        ASSERT_EQ(got.consumed, expected.consumed) << what;
        ASSERT_TRUE(got.out == expected.out) << what;
    }
}

// Records-like text: names and numbers that repeat at all distances.
Bytes records(std::size_t size, std::mt19937& random) {
    std::string text;
    while (text.size() < size) {
        text += "{\"call\":\"app.handle_" + std::to_string(random() % 40) +
                "\",\"t\":" + std::to_string(1700000000 + random() % 100000) +
                ",\"x\":" + std::to_string(random() % 1000) + "}";
    }
    text.resize(size);
    return Bytes(text.begin(), text.end());
}

TEST(DeflateDecoder, AsZlibForStreamsWholeCutAndDamaged) {
    std::mt19937 random(7);
    Bytes noise(9000);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    const Bytes inputs[] = {Bytes{}, Bytes{'a', 'b'}, records(300, random), records(16384, random), noise};
    const int settings[][2] = {{1, Z_DEFAULT_STRATEGY},
                               {6, Z_DEFAULT_STRATEGY},
                               {9, Z_FILTERED},
                               {0, Z_DEFAULT_STRATEGY},
                               {6, Z_HUFFMAN_ONLY},
                               {6, Z_RLE},
                               {6, Z_FIXED}};
    for (const Bytes& raw : inputs) {
        for (const auto& [level, strategy] : settings) {
            const Bytes stream = deflated(raw, level, strategy);
            const std::string what = std::to_string(raw.size()) + " bytes, level " + std::to_string(level) +
                                     ", strategy " + std::to_string(strategy);
            expect_as_zlib(stream, raw.size(), what);
            ASSERT_TRUE(ours(stream, raw.size()).whole) << what;
            expect_as_zlib(stream, raw.size() + 1, what + ", a byte more");
            if (!raw.empty()) expect_as_zlib(stream, raw.size() - 1, what + ", a byte less");
            for (std::size_t cut = 0; cut < stream.size(); cut += stream.size() < 200 ? 1 : 1 + random() % 97) {
                expect_as_zlib(Bytes(stream.begin(), stream.begin() + cut), raw.size(), what + ", cut");
            }
            for (int flip = 0; flip < 200 && !stream.empty(); ++flip) {
                Bytes damaged = stream;
                // Half of them in the first block's header, where its codes are.
                const std::size_t span = flip % 2 ? std::min<std::size_t>(stream.size(), 64) : stream.size();
                damaged[random() % span] ^= static_cast<std::uint8_t>(1u << random() % 8);
                expect_as_zlib(damaged, raw.size(), what + ", damaged");
            }
        }
    }
}

TEST(DeflateDecoder, MatchesEndingAtEveryDistanceFromTheEnd) {
    // The fast loop's room at the output's end: periods short and long, the
    // longest matches, a byte more each time, the last match ending at every
    // distance from the end.
    std::mt19937 random(11);
    Bytes pattern(300);
    for (auto& byte : pattern) byte = static_cast<std::uint8_t>(random());
    for (const std::size_t period : {1, 5, 12, 300}) {
        for (std::size_t size = 1000; size <= 1000 + 258; ++size) {
            Bytes raw(size);
            for (std::size_t i = 0; i < size; ++i) raw[i] = pattern[i % period];
            for (const int level : {1, 9}) {
                expect_as_zlib(deflated(raw, level, Z_DEFAULT_STRATEGY), size,
                               "period " + std::to_string(period) + ", " + std::to_string(size) + " bytes");
            }
        }
    }
}

TEST(DeflateDecoder, StoredLengthsCutAreRefused) {
    // A final stored block of 0xff00 bytes, its lengths' last byte missing.
    EXPECT_FALSE(ours(Bytes{0x01, 0x00, 0xff, 0xff}, 0xff00).whole);
}

}  // namespace
}  // namespace nefa::document
