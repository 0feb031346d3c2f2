#include "host/trace_export/brief.hpp"

#include "common/refs.hpp"
#include "host/trace_export/text.hpp"
#include "host/trace_index/cursor.hpp"
#include "host/value_encoder/ext_codes.hpp"

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace nefa::trace_export {

namespace {

using trace_index::Corrupt;
using trace_index::Cursor;
using trace_index::Incomplete;
using value_encoder::Ext;

constexpr std::string_view ellipsis = "\xe2\x80\xa6";
// Deeper than any encoder writes: damaged bytes, read no further.
constexpr int max_depth = 100;
// Items kept per container: more than brief ever shows.
constexpr std::size_t kept_items = 200;

enum class Kind : std::uint8_t {
    nil,
    boolean,
    sint,
    uint,
    real,
    str,
    bin,
    list,
    map,
    tuple,
    set,
    frozenset,
    repr,
    cut,
    more,
    elided,
    cycle,
    unprintable,
    bigint,
    bigbits,
    pairs,
    bytearray,
    unknown,
};

struct Node {
    Kind kind = Kind::nil;
    bool flag = false;    // bool's value; str: a legacy repr, shown bare; cut/bytearray/repr: bytes or cut
    std::int64_t i = 0;   // negative int; unknown: the extension code
    std::uint64_t u = 0;  // int; cut: chars or bytes left out; more, elided, bits: the count
    double f = 0;
    std::string text;         // str, bin, type name, repr text or cut prefix, digits
    std::vector<Node> items;  // first items kept (maps: key, value alternating)
    std::uint64_t total = 0;  // items (pairs for maps), a trailing More left out
    std::uint64_t more = 0;   // a trailing More's count
    bool tail_more = false;   // the array ended with a More
    bool inner_more = false;  // a More before its last item
};

struct Bad {};

bool is_int(const Node& node) { return node.kind == Kind::sint || node.kind == Kind::uint; }

bool non_negative_int(const Node& node) { return node.kind == Kind::uint; }

class Decoder {
public:
    explicit Decoder(bool legacy) : legacy_(legacy) {}

    // One item; in_payload: inside an extension's payload, where a map key
    // that is an array or a map cannot be read (the form is unreadable).
    Node decode(Cursor& c, bool in_payload, int depth) {
        if (depth > max_depth) throw Bad{};
        Node node;
        const std::uint8_t b = c.peek();
        std::string_view text;
        if (b == 0xc0) {
            c.byte();
        } else if (b == 0xc2 || b == 0xc3) {
            c.byte();
            node.kind = Kind::boolean;
            node.flag = b == 0xc3;
        } else if (b == 0xca || b == 0xcb) {
            node.kind = Kind::real;
            c.number(node.f);
        } else if (c.integer(node.u, node.i)) {
            node.kind = node.i < 0 ? Kind::sint : Kind::uint;
            if (node.kind == Kind::uint) node.i = 0;
        } else if (c.str(text)) {
            node.kind = Kind::str;
            node.text = replace_invalid_utf8(text);
            if (legacy_ && depth <= 64 && looks_like_repr(node.text)) node.flag = true;
        } else if (b == 0xc4 || b == 0xc5 || b == 0xc6) {
            c.byte();
            const std::uint64_t n = c.big_endian(std::size_t{1} << (b - 0xc4));
            const std::size_t start = c.position();
            c.advance(n);
            node.kind = Kind::bin;
            node.text.assign(reinterpret_cast<const char*>(c.at(start)), static_cast<std::size_t>(n));
        } else if ((b & 0xf0) == 0x90 || b == 0xdc || b == 0xdd) {
            const std::int64_t n = c.array_length();
            node.kind = Kind::list;
            sequence(c, node, static_cast<std::uint64_t>(n), in_payload, depth);
        } else if ((b & 0xf0) == 0x80 || b == 0xde || b == 0xdf) {
            const std::int64_t n = c.map_length();
            node.kind = Kind::map;
            node.total = static_cast<std::uint64_t>(n);
            node.items.reserve(2 * std::min<std::uint64_t>(node.total, kept_items));
            for (std::int64_t k = 0; k < n; ++k) {
                Node key = decode(c, in_payload, depth + 1);
                if (key.kind == Kind::list || key.kind == Kind::map) {
                    if (in_payload) throw Bad{};
                    key = hashable(std::move(key));
                }
                Node value = decode(c, in_payload, depth + 1);
                if (node.items.size() < 2 * kept_items) {
                    node.items.push_back(std::move(key));
                    node.items.push_back(std::move(value));
                }
            }
        } else if ((b >= 0xd4 && b <= 0xd8) || (b >= 0xc7 && b <= 0xc9)) {
            node = extension(c, depth);
        } else {
            throw Bad{};  // 0xc1
        }
        return node;
    }

private:
    static bool looks_like_repr(std::string_view text) {
        if (text.size() > 2 && text.front() == '<' && text.back() == '>') return true;
        if (text.empty() || text.back() != ')') return false;
        // [A-Za-z_][\w.]*\(.*\)
        auto word = [](unsigned char c) {
            return c == '_' || c == '.' || (c >= '0' && c <= '9') || ((c | 32) >= 'a' && (c | 32) <= 'z') || c >= 0x80;
        };
        const auto first = static_cast<unsigned char>(text[0]);
        if (!(first == '_' || ((first | 32) >= 'a' && (first | 32) <= 'z'))) return false;
        std::size_t i = 1;
        while (i < text.size() && word(static_cast<unsigned char>(text[i])) && text[i] != '(') ++i;
        return i < text.size() - 1 && text[i] == '(';
    }

    // A map key that Python could not hash, as the decoder's fallback makes
    // it: arrays become tuples, maps tuples of (key, value) tuples.
    static Node hashable(Node key) {
        if (key.kind == Kind::list) {
            key.kind = Kind::tuple;
            for (Node& item : key.items) item = hashable(std::move(item));
            return key;
        }
        if (key.kind == Kind::map) {
            Node out;
            out.kind = Kind::tuple;
            out.total = key.items.size() / 2;
            for (std::size_t k = 0; k + 1 < key.items.size(); k += 2) {
                Node pair;
                pair.kind = Kind::tuple;
                pair.total = 2;
                pair.items.push_back(hashable(std::move(key.items[k])));
                pair.items.push_back(hashable(std::move(key.items[k + 1])));
                out.items.push_back(std::move(pair));
            }
            return out;
        }
        return key;
    }

    // Items of an array; `total` and `more` as container_parts reads them
    // (a More closing a list is the count left out).
    void sequence(Cursor& c, Node& node, std::uint64_t n, bool in_payload, int depth) {
        node.total = n;
        node.items.reserve(std::min<std::uint64_t>(n, kept_items));
        for (std::uint64_t k = 0; k < n; ++k) {
            Node item = decode(c, in_payload, depth + 1);
            if (item.kind == Kind::more) {
                if (k + 1 == n) {
                    node.more = item.u;
                    node.tail_more = true;
                    --node.total;
                    continue;
                }
                node.inner_more = true;
            }
            if (node.items.size() < kept_items) node.items.push_back(std::move(item));
        }
    }

    // Whether an array payload holds a More anywhere but at its end.
    static bool more_inside(const Node& payload) { return payload.inner_more; }

    Node extension(Cursor& c, int depth) {
        const std::uint8_t b = c.byte();
        std::uint64_t n;
        if (b >= 0xd4 && b <= 0xd8) n = std::uint64_t{1} << (b - 0xd4);
        else n = c.big_endian(std::size_t{1} << (b - 0xc7));
        const auto code = static_cast<std::int8_t>(c.byte());
        const std::size_t start = c.position();
        c.advance(n);
        if (static_cast<Ext>(code) == Ext::repr && depth + 2 <= max_depth) {
            Node node;
            if (plain_repr(c.at(start), static_cast<std::size_t>(n), node)) return node;
        }
        Node unknown;
        unknown.kind = Kind::unknown;
        unknown.i = code;
        Node payload;
        try {
            Cursor inner(c.at(start), static_cast<std::size_t>(n), 0);
            payload = decode(inner, true, depth + 1);
            if (inner.left() != 0) return unknown;
        } catch (const Bad&) {
            return unknown;
        } catch (const Incomplete&) {
            return unknown;
        } catch (const Corrupt&) {
            return unknown;
        }
        return form(static_cast<Ext>(code), std::move(payload), unknown);
    }

    // The commonest form, an object's repr of two plain strings, read
    // without the payload's list; false for anything else, which the
    // general reading then takes.
    static bool plain_repr(const std::uint8_t* payload, std::size_t size, Node& node) {
        try {
            Cursor inner(payload, size, 0);
            std::string_view name, text;
            if (inner.array_length() != 2 || !inner.str(name) || !inner.str(text) || inner.left() != 0) return false;
            node.kind = Kind::repr;
            node.text = replace_invalid_utf8(text);
            return true;
        } catch (const Incomplete&) {
        } catch (const Corrupt&) {
        }
        return false;
    }

    // The form of one extension, or `unknown` when its payload is malformed.
    static Node form(Ext code, Node payload, Node& unknown) {
        Node node;
        switch (code) {
            case Ext::tuple:
            case Ext::set:
            case Ext::frozenset: {
                if (payload.kind != Kind::list || more_inside(payload)) return unknown;
                payload.kind = code == Ext::tuple ? Kind::tuple : code == Ext::set ? Kind::set : Kind::frozenset;
                return payload;
            }
            case Ext::repr: {
                if (payload.kind != Kind::list || payload.tail_more || payload.total != 2) return unknown;
                Node& name = payload.items[0];
                Node& text = payload.items[1];
                if (name.kind != Kind::str) return unknown;
                node.kind = Kind::repr;
                node.items.push_back(std::move(name));
                if (text.kind == Kind::str) {
                    node.text = std::move(text.text);
                } else if (text.kind == Kind::cut && !text.flag) {
                    node.flag = true;
                    node.text = std::move(text.text);
                    node.u = text.u;
                } else {
                    return unknown;
                }
                return node;
            }
            case Ext::cut: {
                if (payload.kind != Kind::list || payload.tail_more || payload.total != 2) return unknown;
                const Node& prefix = payload.items[0];
                if (!(prefix.kind == Kind::str || prefix.kind == Kind::bin) || !non_negative_int(payload.items[1])) {
                    return unknown;
                }
                node.kind = Kind::cut;
                node.flag = prefix.kind == Kind::bin;
                node.text = prefix.text;
                node.u = payload.items[1].u;
                return node;
            }
            case Ext::more_items:
                if (!non_negative_int(payload)) return unknown;
                node.kind = Kind::more;
                node.u = payload.u;
                return node;
            case Ext::elided: {
                if (payload.kind != Kind::list || payload.tail_more || payload.total != 2) return unknown;
                if (payload.items[0].kind != Kind::str || !is_int(payload.items[1])) return unknown;
                node.kind = Kind::elided;
                node.text = payload.items[0].text;
                node.u = payload.items[1].u;
                node.i = payload.items[1].i;
                return node;
            }
            case Ext::cycle:
            case Ext::unprintable:
                if (payload.kind != Kind::str) return unknown;
                node.kind = code == Ext::cycle ? Kind::cycle : Kind::unprintable;
                node.text = std::move(payload.text);
                return node;
            case Ext::big_int: {
                if (payload.kind == Kind::str) {
                    const std::string& t = payload.text;
                    std::size_t k = !t.empty() && t[0] == '-' ? 1 : 0;
                    if (k == t.size()) return unknown;
                    for (; k < t.size(); ++k) {
                        if (t[k] < '0' || t[k] > '9') return unknown;
                    }
                    node.kind = Kind::bigint;
                    node.text = t;
                    return node;
                }
                if (!non_negative_int(payload)) return unknown;
                node.kind = Kind::bigbits;
                node.u = payload.u;
                return node;
            }
            case Ext::dict: {
                if (payload.kind != Kind::list || more_inside(payload)) return unknown;
                // An odd length ends with a More; an even one holds none.
                if (payload.total % 2 != 0) return unknown;
                node.kind = Kind::pairs;
                node.total = payload.total / 2;
                node.more = payload.more;
                node.items = std::move(payload.items);
                if (node.items.size() % 2) node.items.pop_back();
                return node;
            }
            case Ext::bytearray:
                if (payload.kind == Kind::bin) {
                    node.kind = Kind::bytearray;
                    node.text = std::move(payload.text);
                    return node;
                }
                if (payload.kind == Kind::cut && payload.flag) {
                    node.kind = Kind::bytearray;
                    node.flag = true;
                    node.text = std::move(payload.text);
                    node.u = payload.u;
                    return node;
                }
                return unknown;
            default: return unknown;
        }
    }

    bool legacy_;
};

// ----------------------------------------------------------------- rendering

// Python's repr of ASCII text or of bytes, between `quote`s: backslash
// escapes for the quote, the backslash and \n \r \t; \xNN for the other
// control characters and for every byte from `hex_from` (0x7f for str, whose
// DEL only is escaped; 0x80 for bytes, which escape everything past ASCII).
std::string quoted_ascii(std::string_view prefix, std::string_view text, char quote, unsigned hex_from) {
    static const char hex[] = "0123456789abcdef";
    std::string out(prefix);
    out.reserve(prefix.size() + text.size() + 2);
    out.push_back(quote);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\' || c == static_cast<unsigned char>(quote)) {
            out.push_back('\\');
            out.push_back(ch);
        } else if (c == '\n') {
            out.append("\\n");
        } else if (c == '\r') {
            out.append("\\r");
        } else if (c == '\t') {
            out.append("\\t");
        } else if (c < 0x20 || c == 0x7f || c >= hex_from) {
            out.append("\\x");
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        } else {
            out.push_back(ch);
        }
    }
    out.push_back(quote);
    return out;
}

std::string python_repr_text(std::string_view text) {
    bool ascii = true;
    bool single = false, dbl = false;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x80) {
            ascii = false;
            break;
        }
        single |= c == '\'';
        dbl |= c == '"';
    }
    if (!ascii) {
        // Which characters are printable is Python's to say. The exporter
        // reads without the interpreter lock: taken for this.
        const PyGILState_STATE gil = PyGILState_Ensure();
        std::string out = "'?'";
        {
            Ref decoded =
                Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
            Ref shown = decoded ? Ref::steal(PyObject_Repr(decoded.get())) : Ref();
            Py_ssize_t size = 0;
            const char* utf8 = shown ? PyUnicode_AsUTF8AndSize(shown.get(), &size) : nullptr;
            if (utf8 != nullptr) out.assign(utf8, static_cast<std::size_t>(size));
            else PyErr_Clear();
        }
        PyGILState_Release(gil);
        return out;
    }
    return quoted_ascii("", text, single && !dbl ? '"' : '\'', 0x7f);
}

std::string python_repr_bytes(std::string_view data) {
    bool single = false, dbl = false;
    for (const char c : data) {
        single |= c == '\'';
        dbl |= c == '"';
    }
    return quoted_ascii("b", data, single && !dbl ? '"' : '\'', 0x80);
}

std::string plural(std::uint64_t count, std::string_view word) {
    std::string out;
    append_uint(out, count);
    out.push_back(' ');
    out.append(word);
    if (count != 1) out.push_back('s');
    return out;
}

// cut_text: "'abc…' (+997 chars)", unquoted for a repr's text.
std::string cut_text(const Node& cut, bool bytes, bool quoted) {
    std::string out;
    if (bytes || quoted) {
        const std::string shown = bytes ? python_repr_bytes(cut.text) : python_repr_text(cut.text);
        out.append(shown, 0, shown.size() - 1);
        out.append(ellipsis);
        out.push_back(shown.back());
    } else {
        out = cut.text;
        out.append(ellipsis);
    }
    out.append(" (+");
    out.append(plural(cut.u, bytes ? "byte" : "char"));
    out.push_back(')');
    return out;
}

std::string more_text(std::uint64_t count) {
    std::string out(ellipsis);
    out.append(" (+");
    append_uint(out, count);
    out.append(" more)");
    return out;
}

bool leaf(const Node& node, std::size_t budget, std::string& out) {
    switch (node.kind) {
        case Kind::nil: out = "None"; return true;
        case Kind::boolean: out = node.flag ? "True" : "False"; return true;
        case Kind::sint:
            out.clear();
            append_int(out, node.i);
            return true;
        case Kind::uint:
            out.clear();
            append_uint(out, node.u);
            return true;
        case Kind::real:
            out.clear();
            append_float_repr(out, node.f);
            return true;
        case Kind::str:
            if (node.flag) {
                out = node.text;
            } else if (code_points(node.text) > budget + 2) {
                out = python_repr_text(std::string_view(node.text).substr(0, prefix_bytes(node.text, budget + 2)));
            } else {
                out = python_repr_text(node.text);
            }
            return true;
        case Kind::bin:
            out = python_repr_bytes(std::string_view(node.text).substr(0, std::min(node.text.size(), budget)));
            return true;
        case Kind::repr: out = node.flag ? cut_text(node, false, false) : node.text; return true;
        case Kind::cut: out = cut_text(node, node.flag, true); return true;
        case Kind::more: out = more_text(node.u); return true;
        case Kind::elided: {
            out = "<" + node.text + " of ";
            if (node.i < 0) {
                append_int(out, node.i);
                out.append(" items>");
            } else {
                out.append(plural(node.u, "item"));
                out.push_back('>');
            }
            return true;
        }
        case Kind::cycle: out = "<cycle: " + node.text + ">"; return true;
        case Kind::unprintable: out = "<unprintable " + node.text + " object>"; return true;
        case Kind::bigint: out = node.text; return true;
        case Kind::bigbits:
            out = "<int of ";
            append_uint(out, node.u);
            out.append(" bits>");
            return true;
        case Kind::bytearray:
            if (node.flag) {
                const std::string shown = cut_text(node, true, true);
                const std::size_t split = shown.find(" (+");
                out = "bytearray(" + shown.substr(0, split) + ") (+" + shown.substr(split + 3);
            } else {
                out = "bytearray(" + python_repr_bytes(node.text) + ")";
            }
            return true;
        case Kind::unknown:
            out = "<unreadable value form ";
            append_int(out, node.i);
            out.push_back('>');
            return true;
        default: return false;
    }
}

void render(const Node& node, std::size_t budget, int depth, std::string& out) {
    std::string text;
    if (leaf(node, budget, text)) {
        out.append(text);
        return;
    }
    const bool mapping = node.kind == Kind::map || node.kind == Kind::pairs;
    std::string_view opening = "[", closing = "]";
    const std::uint64_t more = node.kind == Kind::map ? 0 : node.more;
    switch (node.kind) {
        case Kind::map:
        case Kind::pairs:
            opening = "{";
            closing = "}";
            break;
        case Kind::tuple:
            opening = "(";
            closing = node.total == 1 && !more ? ",)" : ")";
            break;
        case Kind::set:
        case Kind::frozenset:
            if (node.total == 0 && !more) {
                opening = node.kind == Kind::set ? "set(" : "frozenset(";
                closing = ")";
            } else if (node.kind == Kind::set) {
                opening = "{";
                closing = "}";
            } else {
                opening = "frozenset({";
                closing = "})";
            }
            break;
        default: break;
    }
    out.append(opening);
    if (depth > 2) {
        out.append(ellipsis);
        out.append(closing);
        return;
    }
    const std::uint64_t limit = std::max<std::uint64_t>(1, budget / 2);
    const std::uint64_t kept = mapping ? node.items.size() / 2 : node.items.size();
    const std::uint64_t chosen = std::min<std::uint64_t>({node.total, limit, kept});
    for (std::uint64_t k = 0; k < chosen; ++k) {
        if (k) out.append(", ");
        if (mapping) {
            render(node.items[2 * k], budget, depth + 1, out);
            out.append(": ");
            render(node.items[2 * k + 1], budget, depth + 1, out);
        } else {
            render(node.items[k], budget, depth + 1, out);
        }
    }
    const std::uint64_t left = node.total - chosen;
    if (more || left) {
        if (chosen) out.append(", ");
        if (more) out.append(more_text(more + left));
        else out.append(ellipsis);
    }
    out.append(closing);
}

// _cut: one line, at most `width` characters.
std::string cut_line(const std::string& text, std::size_t width) {
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
        if (c == '\n') line.append("\\n");
        else line.push_back(c);
    }
    if (code_points(line) <= width) return line;
    line.resize(prefix_bytes(line, std::max<std::size_t>(1, width - 1)));
    line.append(ellipsis);
    return line;
}

bool decode_top(std::string_view encoded, bool legacy, Node& node) {
    try {
        Cursor cursor(reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size(), 0);
        node = Decoder(legacy).decode(cursor, false, 0);
        return cursor.left() == 0;
    } catch (const Bad&) {
    } catch (const Incomplete&) {
    } catch (const Corrupt&) {
    }
    return false;
}

std::string key_text(const Node& key) {
    if (key.kind == Kind::str) return key.text;
    std::string out;
    render(key, 1 << 30, -1000, out);
    return out;
}

}  // namespace

std::string brief(std::string_view encoded, std::size_t width, bool legacy) {
    Node node;
    if (!decode_top(encoded, legacy, node)) return cut_line("<undecodable value>", width);
    std::string out;
    render(node, width, 0, out);
    return cut_line(out, width);
}

bool map_items(std::string_view encoded, std::size_t width, bool legacy,
               void (*visit)(void*, const std::string&, const std::string&), void* context) {
    // Every entry, not only those a brief shows, in one pass.
    try {
        Cursor cursor(reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size(), 0);
        const std::int64_t n = cursor.map_length();
        if (n < 0) return false;
        Decoder decoder(legacy);
        std::string key, shown, cut;
        for (std::int64_t k = 0; k < n; ++k) {
            std::string_view name;
            if (cursor.str(name)) key = replace_invalid_utf8(name);  // str(key) of a str: itself
            else key = key_text(decoder.decode(cursor, false, 1));
            const Node value = decoder.decode(cursor, false, 1);
            if (!leaf(value, width, shown)) {
                shown.clear();
                render(value, width, 0, shown);
            }
            const bool one_line = shown.size() <= width && shown.find('\n') == std::string::npos;
            if (!one_line) cut = cut_line(shown, width);
            visit(context, key, one_line ? shown : cut);
        }
        return cursor.left() == 0;
    } catch (const Bad&) {
    } catch (const Incomplete&) {
    } catch (const Corrupt&) {
    }
    return false;
}

}  // namespace nefa::trace_export
