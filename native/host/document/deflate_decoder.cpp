// Table-driven: one lookup of the next bits gives a whole code (or, for the
// few codes longer than the table's root, where to look next) and, for a
// length or distance, its base and extra bits, so a match costs two
// lookups. The fast loop runs while 16 input bytes and a match's worth of
// output room remain, with no bounds check per symbol; the careful loop
// finishes the block. What it accepts is what zlib accepts: the same
// incomplete codes, the same limits, no distance before the output's start.
#include "host/document/deflate_decoder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace nefa::document {

namespace {

// A table entry:
//   bits 0-4    bits it consumes: the code's, and the extra bits' when they
//               are read here (a subtable pointer: the root's)
//   bit 5       a subtable pointer
//   bit 6       none of literal, length or distance: a subtable pointer, the
//               end of the block, or invalid
//   bit 7       a literal
//   bits 8-11   the code's length, where its extra bits start (a subtable
//               pointer: the subtable's index bits)
//   bit 12      the end of the block
//   bit 14      a length or distance whose extra bits are still to be read;
//               without it, one whose extra bits (if any) the entry was
//               chosen by, its value already the whole length or distance
//   bits 16-31  the literal, the length or distance (or its base), or where
//               the subtable starts
using Entry = std::uint32_t;

constexpr Entry consumed_bits = 0x1f;
constexpr Entry subtable = 0x20;
constexpr Entry exceptional = 0x40;
constexpr Entry literal = 0x80;
constexpr Entry end_of_block = 0x1000;
constexpr Entry with_extra = 0x4000;
constexpr Entry invalid = exceptional;

constexpr unsigned code_length(Entry e) { return (e >> 8) & 0xf; }
constexpr unsigned value(Entry e) { return e >> 16; }

// The entry's extra bits, from the bit buffer as it was before the entry
// was consumed; 0 for one with none left to read, whose code length is all
// it consumes. (Bits 12 and 13 are clear in a length's or distance's entry:
// the shift's own masking stands for code_length's.)
constexpr std::size_t extra(std::uint64_t before, Entry e) {
    return static_cast<std::size_t>((before & ((std::uint64_t{1} << (e & consumed_bits)) - 1)) >> ((e >> 8) & 63));
}

constexpr unsigned max_code_length = 15;
constexpr unsigned litlen_root = 11;  // measured: fewer subtables and whole lengths pay for twice the root
constexpr unsigned distance_root = 8;
constexpr unsigned precode_root = 7;
constexpr unsigned litlen_symbols = 288;
constexpr unsigned distance_symbols = 32;
constexpr unsigned precode_symbols = 19;

// A subtable of 2^k entries under a complete code holds k + 1 codes at
// least, and 2^k / (k + 1) grows with k: the table of any code the builder
// accepts fits in this (it checks all the same).
constexpr std::size_t table_size(unsigned root, unsigned symbols) {
    const unsigned deepest = max_code_length - root;
    return (std::size_t{1} << root) + symbols * (std::size_t{1} << deepest) / (deepest + 1);
}
constexpr std::size_t litlen_size = table_size(litlen_root, litlen_symbols);
constexpr std::size_t distance_size = table_size(distance_root, distance_symbols);
static_assert(litlen_size < 0x10000 && distance_size < 0x10000, "subtable starts must fit an entry");

// What a symbol decodes to, whatever its code: an entry without the code's
// bits, and how many extra bits follow the code.
struct Meaning {
    Entry entry;
    unsigned extra;
};

constexpr std::array<Meaning, litlen_symbols> litlen_meanings = [] {
    std::array<Meaning, litlen_symbols> m{};
    for (unsigned i = 0; i < 256; ++i) m[i] = {literal | i << 16, 0};
    m[256] = {exceptional | end_of_block, 0};
    unsigned base = 3;
    for (unsigned i = 257; i < 285; ++i) {
        const unsigned extra_bits = i < 265 ? 0 : (i - 261) / 4;
        m[i] = {base << 16, extra_bits};
        base += 1u << extra_bits;
    }
    m[285] = {258u << 16, 0};
    m[286] = m[287] = {invalid, 0};  // codes of the fixed code that mean nothing
    return m;
}();
static_assert(litlen_meanings[284].entry >> 16 == 227 && litlen_meanings[284].extra == 5);

constexpr std::array<Meaning, distance_symbols> distance_meanings = [] {
    std::array<Meaning, distance_symbols> m{};
    unsigned base = 1;
    for (unsigned i = 0; i < 30; ++i) {
        const unsigned extra_bits = i < 4 ? 0 : i / 2 - 1;
        m[i] = {base << 16, extra_bits};
        base += 1u << extra_bits;
    }
    m[30] = m[31] = {invalid, 0};
    return m;
}();
static_assert(distance_meanings[29].entry >> 16 == 24577 && distance_meanings[29].extra == 13);

constexpr std::array<Meaning, precode_symbols> precode_meanings = [] {
    std::array<Meaning, precode_symbols> m{};
    for (unsigned i = 0; i < precode_symbols; ++i) m[i] = {i << 16, 0};
    return m;
}();

constexpr std::array<std::uint8_t, 256> reversed_bytes = [] {
    std::array<std::uint8_t, 256> r{};
    for (unsigned i = 0; i < 256; ++i) {
        for (unsigned bit = 0; bit < 8; ++bit) r[i] = static_cast<std::uint8_t>(r[i] | ((i >> bit) & 1) << (7 - bit));
    }
    return r;
}();

// A code of up to 16 bits, last bit first: how the stream gives it.
unsigned reversed(unsigned code, unsigned length) {
    return (unsigned{reversed_bytes[code & 0xff]} << 8 | reversed_bytes[code >> 8]) >> (16 - length);
}

// Fills `table` (`size` entries, a root of `root` bits) for the code of these
// lengths (0: no code). False when they are over-subscribed, or leave codes
// unused where zlib refuses it: anywhere for the code lengths' own code
// (`complete_only`), and elsewhere unless there is one code of one bit or
// none at all (whose unused codes are then invalid).
bool build(Entry* table, std::size_t size, unsigned root, const std::uint8_t* lengths, unsigned count,
           const Meaning* meanings, bool complete_only) {
    unsigned counts[max_code_length + 1] = {};
    for (unsigned i = 0; i < count; ++i) ++counts[lengths[i]];
    int left = 1;
    unsigned total = 0;
    for (unsigned length = 1; length <= max_code_length; ++length) {
        left = 2 * left - static_cast<int>(counts[length]);
        if (left < 0) return false;
        total += counts[length];
    }
    if (left > 0 && (complete_only || total > 1 || (total == 1 && counts[1] != 1))) return false;
    const std::size_t root_size = std::size_t{1} << root;

    // The symbols in the order of their canonical codes: by length, then
    // symbol. The codes of one length are consecutive numbers, the first
    // one twice the one after the shorter length's last.
    std::uint16_t sorted[litlen_symbols];
    {
        unsigned at[max_code_length + 1];
        at[1] = 0;
        for (unsigned length = 1; length < max_code_length; ++length) at[length + 1] = at[length] + counts[length];
        for (unsigned symbol = 0; symbol < count; ++symbol) {
            if (lengths[symbol] != 0) sorted[at[lengths[symbol]]++] = static_cast<std::uint16_t>(symbol);
        }
    }

    // The root, a length at a time: once the first 2^length entries hold
    // every code up to that length, a copy of them makes the first
    // 2^(length + 1) hold them too, and the codes one bit longer go in
    // (bit-reversed: the stream gives a code's first bit first). What no
    // code fills (an incomplete code's unused ones) stays invalid. A code
    // whose extra bits fit in the root too goes in with them, as 2^extra
    // codes that long.
    struct Whole {
        unsigned length;  // the code's and its extra bits
        unsigned code;    // bit-reversed
        unsigned symbol;
    };
    Whole wholes[distance_symbols];  // by length: as many as lengths or distances
    unsigned whole_count = 0;
    table[0] = table[1] = invalid;
    unsigned i = 0;
    unsigned code = 0;
    for (unsigned length = 1, next_whole = 0; length <= root; ++length, code <<= 1) {
        if (length > 1) std::memcpy(table + (std::size_t{1} << (length - 1)), table, sizeof(Entry) << (length - 1));
        for (const unsigned last = i + counts[length]; i < last; ++i, ++code) {
            const Meaning meaning = meanings[sorted[i]];
            const unsigned at = reversed(code, length);
            if (meaning.extra == 0) {
                table[at] = meaning.entry | length << 8 | length;
            } else if (length + meaning.extra <= root) {
                unsigned w = whole_count++;
                for (; w > 0 && wholes[w - 1].length > length + meaning.extra; --w) wholes[w] = wholes[w - 1];
                wholes[w] = {length + meaning.extra, at, sorted[i]};
            } else {
                table[at] = meaning.entry | with_extra | length << 8 | (length + meaning.extra);
            }
        }
        for (; next_whole < whole_count && wholes[next_whole].length == length; ++next_whole) {
            const Whole whole = wholes[next_whole];
            const Meaning meaning = meanings[whole.symbol];
            const unsigned code_bits = lengths[whole.symbol];
            for (unsigned bits = 0; bits < 1u << meaning.extra; ++bits) {
                table[whole.code | bits << code_bits] = (meaning.entry + (bits << 16)) | length << 8 | length;
            }
        }
    }
    if (i == total) return true;

    // The longer codes, in subtables: the codes under one root index follow
    // one another, the longest last, which sets the subtable's size.
    std::uint16_t codes[litlen_symbols];
    const unsigned first_long = i;
    for (unsigned length = root + 1; length <= max_code_length; ++length, code <<= 1) {
        for (const unsigned last = i + counts[length]; i < last; ++i, ++code) {
            codes[i] = static_cast<std::uint16_t>(reversed(code, length));
        }
    }
    const unsigned root_mask = static_cast<unsigned>(root_size - 1);
    std::size_t free = root_size;
    unsigned prefix = ~0u;  // the root index of the subtable being filled
    Entry* sub = nullptr;
    unsigned sub_bits = 0;
    for (i = first_long; i < total; ++i) {
        const unsigned length = lengths[sorted[i]];
        const Meaning meaning = meanings[sorted[i]];
        if ((codes[i] & root_mask) != prefix) {
            prefix = codes[i] & root_mask;
            unsigned deepest = length;
            for (unsigned j = i + 1; j < total && (codes[j] & root_mask) == prefix; ++j) deepest = lengths[sorted[j]];
            sub_bits = deepest - root;
            if (free + (std::size_t{1} << sub_bits) > size) return false;
            table[prefix] = exceptional | subtable | sub_bits << 8 | root | static_cast<Entry>(free) << 16;
            sub = table + free;
            free += std::size_t{1} << sub_bits;
        }
        const unsigned rest = length - root;
        const Entry e = meaning.entry | (meaning.extra != 0 ? with_extra : 0) | rest << 8 | (rest + meaning.extra);
        for (std::size_t at = codes[i] >> root; at < (std::size_t{1} << sub_bits); at += std::size_t{1} << rest) {
            sub[at] = e;
        }
    }
    return true;
}

struct Tables {
    Entry litlen[litlen_size];
    Entry distance[distance_size];
};

const Tables& fixed_tables() {
    static const Tables fixed = [] {
        Tables t;
        std::uint8_t lengths[litlen_symbols];
        std::fill(lengths, lengths + 144, std::uint8_t{8});
        std::fill(lengths + 144, lengths + 256, std::uint8_t{9});
        std::fill(lengths + 256, lengths + 280, std::uint8_t{7});
        std::fill(lengths + 280, lengths + 288, std::uint8_t{8});
        build(t.litlen, litlen_size, litlen_root, lengths, litlen_symbols, litlen_meanings.data(), true);
        std::fill(lengths, lengths + distance_symbols, std::uint8_t{5});
        build(t.distance, distance_size, distance_root, lengths, distance_symbols, distance_meanings.data(), true);
        return t;
    }();
    return fixed;
}

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

// copy_match writes fewer bytes than this past the match's end (29 at
// most, after a match of 3).
constexpr std::size_t match_overshoot = 32;
// Output room the fast loop needs for one round: up to three literals, or
// two literals and the longest match with its overshoot.
constexpr std::size_t fast_room = 2 + 258 + match_overshoot;
// Input it needs: two refills of up to 7 bytes, each loading 8.
constexpr std::ptrdiff_t fast_input = 16;

// A match, by words: from `distance` back (at least 1, and no further than
// the output's start), `length` bytes (at least 3) at `to`.
[[gnu::always_inline]] inline std::uint8_t* copy_match(std::uint8_t* to, std::size_t distance, std::size_t length) {
    std::uint8_t* const end = to + length;
    const std::uint8_t* from = to - distance;
    if (distance >= 16) {
        // Most matches are short: their first 32 bytes with no test.
        std::memcpy(to, from, 16);
        std::memcpy(to + 16, from + 16, 16);
        for (to += 32, from += 32; to < end; to += 16, from += 16) std::memcpy(to, from, 16);
    } else if (distance >= 8) {
        do {
            std::memcpy(to, from, 8);
            to += 8;
            from += 8;
        } while (to < end);
    } else {
        // A period shorter than a word: its first word byte by byte (each
        // byte from one written just before), then that word again every
        // whole number of periods that fits in a word.
        static constexpr std::uint8_t steps[8] = {0, 8, 8, 6, 8, 5, 6, 7};
        for (std::size_t i = 0; i < 8; ++i) to[i] = from[i];
        std::uint64_t pattern;
        std::memcpy(&pattern, to, 8);
        const std::size_t step = steps[distance];
        for (to += step; to < end; to += step) std::memcpy(to, &pattern, 8);
    }
    return end;
}

class Inflater {
public:
    Inflater(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size)
        : in_(in), next_(in), end_(in + in_size), out_(out), out_next_(out), out_end_(out + out_size) {}

    bool run(std::size_t& consumed) {
        bool final = false;
        while (!final) {
            if (!refill()) return false;
            final = take(1) != 0;
            const unsigned type = take(2);
            const bool whole = type == 0 ? stored() : type == 1 ? codes(fixed_tables()) : type == 2 && dynamic();
            if (!whole) return false;
        }
        // The bytes read ahead, and the phantom ones, given back; the last
        // byte's spare bits are its own.
        const std::size_t read = static_cast<std::size_t>(next_ - in_) + overread_;
        const std::size_t used = read - left_ / 8;
        if (used > static_cast<std::size_t>(end_ - in_) || out_next_ != out_end_) return false;
        consumed = used;
        return true;
    }

private:
    // At least 56 bits in the buffer. Past the input's end, zero bytes that
    // are not there: a stream that uses them is cut, which the end's count
    // tells (or this, once the buffer could not hold them all).
    bool refill() {
        if (end_ - next_ >= 8) {
            refill_fast();
            return true;
        }
        while (left_ < 56) {
            if (next_ < end_) {
                buf_ |= std::uint64_t{*next_++} << left_;
            } else {
                ++overread_;
            }
            left_ += 8;
        }
        return overread_ <= 8;
    }

    // 56 to 63 bits; bits above them may already hold the next bytes, the
    // same ones the next refill puts there.
    void refill_fast() {
        buf_ |= load64(next_) << left_;
        next_ += (63 ^ left_) >> 3;  // 63 - left_, to the byte
        left_ |= 56;
    }

    void drop(unsigned bits) {
        buf_ >>= bits;
        left_ -= bits;
    }

    unsigned take(unsigned bits) {
        const auto v = static_cast<unsigned>(buf_ & ((std::uint64_t{1} << bits) - 1));
        drop(bits);
        return v;
    }

    bool stored() {
        drop(left_ & 7);
        if (!refill()) return false;
        const unsigned length = take(16);
        if (length != (~take(16) & 0xffff)) return false;
        // Copied from the input itself, from the first byte not yet used.
        const std::size_t ahead = left_ / 8;
        if (ahead < overread_) return false;
        const std::uint8_t* from = next_ - (ahead - overread_);
        if (length > static_cast<std::size_t>(end_ - from) || length > static_cast<std::size_t>(out_end_ - out_next_)) {
            return false;
        }
        std::memcpy(out_next_, from, length);
        out_next_ += length;
        next_ = from + length;
        buf_ = 0;
        left_ = 0;
        overread_ = 0;
        return true;
    }

    bool dynamic() {
        static constexpr std::uint8_t order[precode_symbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                11, 4,  12, 3, 13, 2, 14, 1, 15};
        if (!refill()) return false;
        const unsigned litlens = take(5) + 257;
        const unsigned distances = take(5) + 1;
        const unsigned precodes = take(4) + 4;
        if (litlens > 286 || distances > 30) return false;
        std::uint8_t precode_lengths[precode_symbols] = {};
        for (unsigned i = 0; i < precodes; ++i) {
            if (left_ < 3 && !refill()) return false;
            precode_lengths[order[i]] = static_cast<std::uint8_t>(take(3));
        }
        Entry precode[1u << precode_root];
        if (!build(precode, std::size(precode), precode_root, precode_lengths, precode_symbols, precode_meanings.data(),
                   true)) {
            return false;
        }
        std::uint8_t lengths[286 + 30];
        const unsigned total = litlens + distances;
        for (unsigned i = 0; i < total;) {
            if (left_ < 7 + 7 && !refill()) return false;  // a code and its extra bits
            const Entry e = precode[buf_ & ((1u << precode_root) - 1)];
            drop(e & consumed_bits);
            const unsigned symbol = value(e);
            if (symbol < 16) {
                lengths[i++] = static_cast<std::uint8_t>(symbol);
                continue;
            }
            std::uint8_t length = 0;
            unsigned repeat;
            if (symbol == 16) {
                if (i == 0) return false;
                length = lengths[i - 1];
                repeat = 3 + take(2);
            } else if (symbol == 17) {
                repeat = 3 + take(3);
            } else {
                repeat = 11 + take(7);
            }
            if (repeat > total - i) return false;
            std::memset(lengths + i, length, repeat);
            i += repeat;
        }
        if (lengths[256] == 0) return false;  // a block must be able to end
        Tables tables;
        return build(tables.litlen, litlen_size, litlen_root, lengths, litlens, litlen_meanings.data(), false) &&
               build(tables.distance, distance_size, distance_root, lengths + litlens, distances,
                     distance_meanings.data(), false) &&
               codes(tables);
    }

    // A block's codes, up to its end.
    bool codes(const Tables& tables) {
        constexpr unsigned litlen_mask = (1u << litlen_root) - 1;
        constexpr unsigned distance_mask = (1u << distance_root) - 1;
        const Entry* const litlen = tables.litlen;
        const Entry* const distance = tables.distance;

        // The fast loop on locals, which stay in registers. A refill leaves
        // 56 bits: enough for a length's code and extra bits (15 + 5) and a
        // distance's (15 + 13).
        {
            const std::uint8_t* next = next_;
            std::uint64_t buf = buf_;
            unsigned left = left_;
            std::uint8_t* out_next = out_next_;
            // Copies of the bounds: the bytes written could be them, for all
            // the compiler knows.
            std::uint8_t* const out = out_;
            // The loop runs while next < in_last and out_next < out_last.
            const std::uint8_t* const in_last = end_ - std::min<std::ptrdiff_t>(end_ - next, fast_input - 1);
            std::uint8_t* const out_last =
                out_end_ - std::min(static_cast<std::size_t>(out_end_ - out_next), fast_room - 1);
            const auto refill_here = [&] {
                buf |= load64(next) << left;
                next += (63 ^ left) >> 3;  // 63 - left, to the byte
                left |= 56;
            };
            const auto drop_here = [&](unsigned bits) {
                buf >>= bits;
                left -= bits;
            };
            while (next < in_last && out_next < out_last) {
                refill_here();
                Entry e = litlen[buf & litlen_mask];
                if (e & literal) {
                    // Up to two more literals before the next refill: 56
                    // bits hold three root codes.
                    drop_here(e & consumed_bits);
                    *out_next++ = static_cast<std::uint8_t>(value(e));
                    e = litlen[buf & litlen_mask];
                    if (e & literal) {
                        drop_here(e & consumed_bits);
                        *out_next++ = static_cast<std::uint8_t>(value(e));
                        e = litlen[buf & litlen_mask];
                        if (e & literal) {
                            drop_here(e & consumed_bits);
                            *out_next++ = static_cast<std::uint8_t>(value(e));
                            continue;
                        }
                    }
                    refill_here();
                }
                if (e & exceptional) {
                    if (e & subtable) {
                        drop_here(e & consumed_bits);
                        e = litlen[value(e) + (buf & ((1u << code_length(e)) - 1))];
                        if (e & literal) {
                            drop_here(e & consumed_bits);
                            *out_next++ = static_cast<std::uint8_t>(value(e));
                            continue;
                        }
                    }
                    if (e & end_of_block) {
                        drop_here(e & consumed_bits);
                        next_ = next;
                        buf_ = buf;
                        left_ = left;
                        out_next_ = out_next;
                        return true;
                    }
                    if (e & exceptional) return false;
                }
                std::uint64_t before = buf;
                drop_here(e & consumed_bits);
                std::size_t length = value(e);
                if (e & with_extra) length += extra(before, e);
                Entry d = distance[buf & distance_mask];
                if (d & exceptional) {
                    if (!(d & subtable)) return false;
                    drop_here(d & consumed_bits);
                    d = distance[value(d) + (buf & ((1u << code_length(d)) - 1))];
                    if (d & exceptional) return false;
                }
                before = buf;
                drop_here(d & consumed_bits);
                // Most distances have extra bits: read with no test (none
                // when the entry holds them).
                const std::size_t back = value(d) + extra(before, d);
                if (back > static_cast<std::size_t>(out_next - out)) return false;
                out_next = copy_match(out_next, back, length);
            }
            next_ = next;
            buf_ = buf;
            left_ = left;
            out_next_ = out_next;
        }

        // The careful loop: a symbol at a time, every bound checked.
        for (;;) {
            if (!refill()) return false;
            Entry e = litlen[buf_ & litlen_mask];
            if (e & subtable) {
                drop(e & consumed_bits);
                e = litlen[value(e) + (buf_ & ((1u << code_length(e)) - 1))];
            }
            std::uint64_t before = buf_;
            drop(e & consumed_bits);
            if (e & literal) {
                if (out_next_ == out_end_) return false;
                *out_next_++ = static_cast<std::uint8_t>(value(e));
                continue;
            }
            if (e & end_of_block) return true;
            if (e & exceptional) return false;
            std::size_t length = value(e);
            if (e & with_extra) length += extra(before, e);
            Entry d = distance[buf_ & distance_mask];
            if (d & subtable) {
                drop(d & consumed_bits);
                d = distance[value(d) + (buf_ & ((1u << code_length(d)) - 1))];
            }
            if (d & exceptional) return false;
            before = buf_;
            drop(d & consumed_bits);
            std::size_t back = value(d);
            if (d & with_extra) back += extra(before, d);
            const auto room = static_cast<std::size_t>(out_end_ - out_next_);
            if (back > static_cast<std::size_t>(out_next_ - out_) || length > room) return false;
            if (room >= length + match_overshoot) {
                out_next_ = copy_match(out_next_, back, length);
            } else {
                for (std::size_t i = 0; i < length; ++i, ++out_next_) *out_next_ = *(out_next_ - back);
            }
        }
    }

    const std::uint8_t* const in_;
    const std::uint8_t* next_;
    const std::uint8_t* const end_;
    std::uint8_t* const out_;
    std::uint8_t* out_next_;
    std::uint8_t* const out_end_;
    std::uint64_t buf_ = 0;
    unsigned left_ = 0;         // bits in buf_
    std::size_t overread_ = 0;  // zero bytes put in buf_ past the input's end
};

}  // namespace

bool inflate_raw(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size,
                 std::size_t& consumed) {
    return Inflater(in, in_size, out, out_size).run(consumed);
}

}  // namespace nefa::document
