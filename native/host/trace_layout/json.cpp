#include "host/trace_layout/json.hpp"

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
    unsigned long long magnitude =
        ns < 0 ? 0ULL - static_cast<unsigned long long>(ns) : static_cast<unsigned long long>(ns);
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

// Appends [write(a),write(b),...].
template <typename Items, typename Write>
void put_list(std::string& out, const Items& items, Write write) {
    out.push_back('[');
    bool first = true;
    for (const auto& item : items) {
        if (!first) out.push_back(',');
        first = false;
        write(item);
    }
    out.push_back(']');
}

// One item as a JSON array of numbers, written field by field.
class Numbers {
public:
    Numbers(std::string& out, const Units& units) : out_(out), units_(units) { out_.push_back('['); }
    ~Numbers() { out_.push_back(']'); }
    Numbers(const Numbers&) = delete;
    Numbers& operator=(const Numbers&) = delete;

    Numbers& integer(long long value) { return next(), put(out_, value), *this; }
    Numbers& optional(long long value) { return next(), put_optional(out_, value), *this; }
    Numbers& at(long long ns) { return next(), put_time(out_, ns + units_.offset, units_), *this; }
    Numbers& span(long long ns) { return next(), put_time(out_, ns, units_), *this; }

private:
    void next() {
        if (!first_) out_.push_back(',');
        first_ = false;
    }

    std::string& out_;
    const Units& units_;
    bool first_ = true;
};

}  // namespace

std::string rows_json(const Window& window, const Units& units) {
    std::string out;
    out.reserve(64 + static_cast<std::size_t>(window.visited) * 24);
    put_list(out, window.rows, [&](const Row& row) {
        out.append("{\"depth\":");
        put(out, row.depth);
        out.append(",\"calls\":");
        put_list(out, row.calls, [&](const Call& call) {
            Numbers(out, units)
                .integer(call.id)
                .at(call.start)
                .span(call.duration)
                .integer(call.name_id)
                .optional(call.path_id)
                .optional(call.line)
                .integer(call.flags);
        });
        out.append(",\"blocks\":");
        put_list(out, row.blocks,
                 [&](const Block& block) { Numbers(out, units).at(block.start).at(block.end).integer(block.count); });
        out.push_back('}');
    });
    return out;
}

std::string events_json(const Window& window, const Units& units) {
    std::string out;
    put_list(out, window.events,
             [&](const Event& event) { Numbers(out, units).integer(event.id).at(event.at).integer(event.name_id); });
    return out;
}

}  // namespace nefa::trace_layout
