#include "host/trace_export/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nefa::trace_export {

namespace {

// What a UTF-8 lead byte starts: the sequence's length (0 when `b` starts
// none) and the range its second byte must fall in.
struct LeadByte {
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;
};

LeadByte lead_byte(unsigned char b) {
    LeadByte lead;
    if (b >= 0xc2 && b <= 0xdf) {
        lead.length = 2;
    } else if (b >= 0xe0 && b <= 0xef) {
        lead.length = 3;
        if (b == 0xe0) lead.low = 0xa0;
        if (b == 0xed) lead.high = 0x9f;
    } else if (b >= 0xf0 && b <= 0xf4) {
        lead.length = 4;
        if (b == 0xf0) lead.low = 0x90;
        if (b == 0xf4) lead.high = 0x8f;
    }
    return lead;
}

// Length of the valid UTF-8 sequence at text[i], or 0 when it is invalid
// (then one byte is replaced, as CPython replaces a maximal invalid part).
std::size_t sequence_length(std::string_view text, std::size_t i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) return 1;
    const auto [n, low, high] = lead_byte(b);
    if (n == 0) return 0;
    if (i + n > text.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(text[i + k]);
        if (k == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xbf)) return 0;
    }
    return n;
}

// Bytes of the longest start of an invalid sequence that could have been
// valid: CPython replaces that whole part with one U+FFFD.
std::size_t invalid_length(std::string_view text, std::size_t i) {
    const auto b = static_cast<unsigned char>(text[i]);
    const auto [n, low, high] = lead_byte(b);
    if (n == 0) return 1;
    std::size_t k = 1;
    for (; k < n && i + k < text.size(); ++k) {
        const auto c = static_cast<unsigned char>(text[i + k]);
        if (k == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xbf)) break;
    }
    return k;
}

bool valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            while (i + 8 <= text.size()) {
                std::uint64_t word;
                std::memcpy(&word, text.data() + i, 8);
                if (word & 0x8080808080808080ull) break;
                i += 8;
            }
            continue;
        }
        const std::size_t n = sequence_length(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

}  // namespace

std::string replace_invalid_utf8(std::string_view text) {
    if (valid_utf8(text)) return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = sequence_length(text, i);
        if (n) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            out.append("\xef\xbf\xbd");
            i += invalid_length(text, i);
        }
    }
    return out;
}

std::size_t code_points(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) count += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    return count;
}

std::size_t prefix_bytes(std::string_view text, std::size_t count) {
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80) {
            if (count == 0) break;
            --count;
        }
    }
    return i;
}

namespace {

// Whether a word holds a byte past ASCII, a control character, '"' or '\\':
// one that a JSON string must escape or check. May say yes for none (then
// the careful path runs), never no for one.
bool special_bytes(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const auto has_zero = [](std::uint64_t x) { return (x - ones) & ~x & highs; };
    const std::uint64_t controls = (word - ones * 0x20) & ~word & highs;
    return ((word & highs) | controls | has_zero(word ^ (ones * '"')) | has_zero(word ^ (ones * '\\'))) != 0;
}

bool plain_ascii(std::string_view text) {
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if (special_bytes(word)) return false;
    }
    for (; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') return false;
    }
    return true;
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    if (plain_ascii(text)) {  // most names, paths and values: copied whole
        out.push_back('"');
        out.append(text);
        out.push_back('"');
        return;
    }
    std::string fixed;
    if (!valid_utf8(text)) {
        fixed = replace_invalid_utf8(text);
        text = fixed;
    }
    static const char hex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.substr(run, i - run));
        run = i + 1;
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            case '\b': out.append("\\b"); break;
            case '\f': out.append("\\f"); break;
            default:
                out.append("\\u00");
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 15]);
        }
    }
    out.append(text.substr(run));
    out.push_back('"');
}

namespace {

// Below this, doubles are finer than a thousandth, and a thousandths count
// of them fits a double exactly: the fast paths below hold.
constexpr double thousandths_limit = 8796093022208.0;  // 2^43

// round(value, 3) in exact integer arithmetic: value is m * 2^-k, and
// m * 1000 fits 64 bits, so the thousandths are rounded half to even
// exactly; q / 1000.0 is then the double nearest to q/1000, as the decimal
// round trip gives. False where it does not apply.
bool round3_exact(double value, double& out) {
    const double magnitude = std::fabs(value);
    if (!(magnitude < thousandths_limit)) return false;
    std::uint64_t bits;
    std::memcpy(&bits, &magnitude, sizeof bits);
    const int biased = static_cast<int>(bits >> 52);
    if (biased == 0) return false;  // subnormal: the slow path
    const std::uint64_t mantissa = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    const int fraction_bits = 1075 - biased;  // value = mantissa * 2^-fraction_bits
    if (fraction_bits <= 0) {
        out = value;
        return true;
    }
    if (fraction_bits > 63) {  // under 2^-11: rounds to zero
        out = std::copysign(0.0, value);
        return true;
    }
    const std::uint64_t scaled = mantissa * 1000;
    std::uint64_t q = scaled >> fraction_bits;
    const std::uint64_t rest = scaled & ((std::uint64_t{1} << fraction_bits) - 1);
    const std::uint64_t half = std::uint64_t{1} << (fraction_bits - 1);
    if (rest > half || (rest == half && (q & 1))) ++q;
    out = std::copysign(static_cast<double>(q) / 1000.0, value);
    return true;
}

// Python's repr of a double that is the nearest to some q/1000 below the
// limit: those digits are the shortest that read back, as no other decimal
// of at most three places lies within a unit of it. False otherwise.
bool append_thousandths(std::string& out, double value) {
    const double magnitude = std::fabs(value);
    if (!(magnitude < thousandths_limit) || magnitude < 0.001) return false;
    const auto q = static_cast<std::uint64_t>(std::llround(magnitude * 1000.0));
    if (static_cast<double>(q) / 1000.0 != magnitude) return false;
    char buffer[32];
    char* end = buffer + sizeof buffer;
    char* at = end;
    std::uint64_t fraction = q % 1000;
    if (fraction == 0) {
        *--at = '0';
    } else {
        int digits = 3;
        while (fraction % 10 == 0) {
            fraction /= 10;
            --digits;
        }
        for (; digits > 0; --digits) {
            *--at = static_cast<char>('0' + fraction % 10);
            fraction /= 10;
        }
    }
    *--at = '.';
    std::uint64_t whole = q / 1000;
    do {
        *--at = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole != 0);
    if (std::signbit(value)) *--at = '-';
    out.append(at, end);
    return true;
}

}  // namespace

void append_float_repr(std::string& out, double value) {
    if (std::isnan(value)) {
        out.append("nan");
        return;
    }
    if (std::isinf(value)) {
        out.append(value > 0 ? "inf" : "-inf");
        return;
    }
    if (value == 0) {
        out.append(std::signbit(value) ? "-0.0" : "0.0");
        return;
    }
    if (append_thousandths(out, value)) return;  // the exports' times, rounded to the nanosecond
    // The shortest digits that read back exactly, then Python's layout of
    // them: positional from 1e-4 up to 1e16, scientific outside.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
    bool negative = false;
    if (sci.front() == '-') {
        negative = true;
        sci.remove_prefix(1);
    }
    const std::size_t e = sci.find('e');
    std::string digits;
    for (const char c : sci.substr(0, e)) {
        if (c != '.') digits.push_back(c);
    }
    const int exponent = std::atoi(std::string(sci.substr(e + 1)).c_str());
    if (negative) out.push_back('-');
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            out.append("0.");
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out.append(digits);
        } else if (static_cast<std::size_t>(exponent) + 1 >= digits.size()) {
            out.append(digits);
            out.append(static_cast<std::size_t>(exponent) + 1 - digits.size(), '0');
            out.append(".0");
        } else {
            out.append(digits, 0, static_cast<std::size_t>(exponent) + 1);
            out.push_back('.');
            out.append(digits, static_cast<std::size_t>(exponent) + 1);
        }
        return;
    }
    out.push_back(digits[0]);
    if (digits.size() > 1) {
        out.push_back('.');
        out.append(digits, 1);
    }
    char exp_text[16];
    std::snprintf(exp_text, sizeof exp_text, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    out.append(exp_text);
}

double round3(double value) {
    if (!std::isfinite(value)) return value;
    double rounded;
    if (round3_exact(value, rounded)) return rounded;
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
    if (result.ec != std::errc()) return value;
    rounded = value;
    std::from_chars(buffer, result.ptr, rounded);
    return rounded;
}

void append_int(std::string& out, std::int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void append_uint(std::string& out, std::uint64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

}  // namespace nefa::trace_export
