#include "trace_layout/json.hpp"

#include <charconv>

namespace nefa::trace_layout {

namespace {

void put(std::string& out, long long value) {
    char digits[24];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    (void)error;
    out.append(digits, end);
}

// Nanoseconds as microseconds, to three decimals, no trailing zeros.
void put_time(std::string& out, long long ns, const Units& units) {
    if (!units.micros) return put(out, ns);
    unsigned long long magnitude = ns < 0 ? 0ULL - static_cast<unsigned long long>(ns) : static_cast<unsigned long long>(ns);
    if (ns < 0) out.push_back('-');
    char digits[24];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, magnitude / 1000);
    (void)error;
    out.append(digits, end);
    unsigned fraction = static_cast<unsigned>(magnitude % 1000);
    if (fraction == 0) return;
    char decimals[4] = {'.', static_cast<char>('0' + fraction / 100), static_cast<char>('0' + fraction / 10 % 10),
                        static_cast<char>('0' + fraction % 10)};
    int length = 4;
    while (decimals[length - 1] == '0') --length;
    out.append(decimals, static_cast<std::size_t>(length));
}

void put_optional(std::string& out, long long value) {
    if (value < 0) out.append("null");
    else put(out, value);
}

}  // namespace

std::string rows_json(const Window& window, const Units& units) {
    std::string out;
    out.reserve(64 + window.visited * 24);
    out.push_back('[');
    bool first_row = true;
    for (const Row& row : window.rows) {
        if (!first_row) out.push_back(',');
        first_row = false;
        out.append("{\"depth\":");
        put(out, row.depth);
        out.append(",\"calls\":[");
        bool first = true;
        for (const Call& call : row.calls) {
            out.append(first ? "[" : ",[");
            first = false;
            put(out, call.id);
            out.push_back(',');
            put_time(out, call.start + units.offset, units);
            out.push_back(',');
            put_time(out, call.duration, units);
            out.push_back(',');
            put(out, call.name_id);
            out.push_back(',');
            put_optional(out, call.path_id);
            out.push_back(',');
            put_optional(out, call.line);
            out.push_back(',');
            put(out, call.flags);
            out.push_back(']');
        }
        out.append("],\"blocks\":[");
        first = true;
        for (const Block& block : row.blocks) {
            out.append(first ? "[" : ",[");
            first = false;
            put_time(out, block.start + units.offset, units);
            out.push_back(',');
            put_time(out, block.end + units.offset, units);
            out.push_back(',');
            put(out, block.count);
            out.push_back(']');
        }
        out.append("]}");
    }
    out.push_back(']');
    return out;
}

std::string events_json(const Window& window, const Units& units) {
    std::string out = "[";
    bool first = true;
    for (const Event& event : window.events) {
        out.append(first ? "[" : ",[");
        first = false;
        put(out, event.id);
        out.push_back(',');
        put_time(out, event.at + units.offset, units);
        out.push_back(',');
        put(out, event.name_id);
        out.push_back(']');
    }
    out.push_back(']');
    return out;
}

}  // namespace nefa::trace_layout
