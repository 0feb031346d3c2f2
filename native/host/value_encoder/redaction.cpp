#include "host/value_encoder/redaction.hpp"

#include "common/compat.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace nefa::value_encoder {

namespace redaction_detail {

// Never destroyed: the references would be released after the interpreter.
KeyCacheEntry* key_cache = new KeyCacheEntry[kKeyCacheSize];
bool enabled = false;
bool own_next_keys = false;

}  // namespace redaction_detail

namespace {

using namespace redaction_detail;

// Fragments and whole names, folded as nefa.redaction.fold folds: UTF-8,
// ASCII letters lower-cased.
struct NameRule {
    std::vector<std::string> fragments;
    std::vector<std::string> names;
    // A first byte no fragment starts with cannot start a match.
    bool starts[256] = {};
    std::size_t shortest = 0;

    bool matches(std::string_view name) const {
        if (std::find(names.begin(), names.end(), name) != names.end()) return true;
        if (name.size() < shortest) return false;
        for (std::size_t i = 0; i + shortest <= name.size(); ++i) {
            if (!starts[static_cast<std::uint8_t>(name[i])]) continue;
            const std::string_view rest = name.substr(i);
            for (const std::string& fragment : fragments) {
                if (rest.starts_with(fragment)) return true;
            }
        }
        return false;
    }
};

// Pairs inside texts are judged as header and parameter names are; dict
// keys (a frame's variables among them) by the narrower value rule.
struct Rule {
    NameRule pairs;
    NameRule values;
    std::vector<std::string> query_names;
};

enum class Judged : std::uint8_t { pair, value };

Rule* rule = new Rule;
PyObject* marker = nullptr;

// Keys longer than this are judged afresh each time, not kept in the cache.
constexpr Py_ssize_t kCachedKeyLength = 256;

constexpr bool is_space(std::uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void put_utf8(std::string& out, Py_UCS4 c) {
    if (c >= 'A' && c <= 'Z') {
        out += static_cast<char>(c + 32);
    } else if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c == 0x212a) {  // KELVIN SIGN, whose lower case is "k"
        out += 'k';
    } else if (c == 0x130) {  // LATIN CAPITAL LETTER I WITH DOT ABOVE: "i"
        out += 'i';
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

KeyKind judge_folded(std::string_view name, Judged as) {
    while (!name.empty() && is_space(static_cast<std::uint8_t>(name.front()))) name.remove_prefix(1);
    while (!name.empty() && is_space(static_cast<std::uint8_t>(name.back()))) name.remove_suffix(1);
    const Rule& r = *rule;
    if ((as == Judged::value ? r.values : r.pairs).matches(name)) return KeyKind::secret;
    for (const std::string& query : r.query_names) {
        const bool prefix = query.back() == '*';
        if (prefix ? name.starts_with(std::string_view(query).substr(0, query.size() - 1)) : name == query) {
            return KeyKind::query;
        }
    }
    return KeyKind::plain;
}

KeyKind judge_text(PyObject* text) {
    if (compat::unicode_ready(text) < 0) {
        PyErr_Clear();
        return KeyKind::plain;
    }
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    // Names are mostly short ASCII: folded on the stack, no allocation.
    if (PyUnicode_IS_ASCII(text) && length <= kCachedKeyLength) {
        char folded[kCachedKeyLength];
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        for (Py_ssize_t i = 0; i < length; ++i) {
            const std::uint8_t c = bytes[i];
            folded[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        }
        return judge_folded(std::string_view(folded, static_cast<std::size_t>(length)), Judged::value);
    }
    std::string folded;
    folded.reserve(static_cast<std::size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) put_utf8(folded, PyUnicode_READ(kind, data, i));
    return judge_folded(folded, Judged::value);
}

// A name of a pair as a URL's query gives it: "+" a space, %XX a byte; the
// bytes are then UTF-8, folded as a str's characters are.
KeyKind judge_encoded_name(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const auto hex = [](Py_UCS4 c) -> int {
        if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
        return -1;
    };
    std::string bytes;
    for (Py_ssize_t i = start; i < end; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '+') {
            bytes += ' ';
        } else if (c == '%' && i + 2 < end && hex(PyUnicode_READ(kind, data, i + 1)) >= 0 &&
                   hex(PyUnicode_READ(kind, data, i + 2)) >= 0) {
            const int high = hex(PyUnicode_READ(kind, data, i + 1));
            const int low = hex(PyUnicode_READ(kind, data, i + 2));
            bytes += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            bytes += static_cast<char>(c);  // the name characters are ASCII
        }
    }
    std::string folded;
    folded.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<std::uint8_t>(bytes[i]);
        if (c == 0xe2 && i + 2 < bytes.size() && static_cast<std::uint8_t>(bytes[i + 1]) == 0x84 &&
            static_cast<std::uint8_t>(bytes[i + 2]) == 0xaa) {
            folded += 'k';
            i += 2;
        } else if (c == 0xc4 && i + 1 < bytes.size() && static_cast<std::uint8_t>(bytes[i + 1]) == 0xb0) {
            folded += 'i';
            i += 1;
        } else {
            folded += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        }
    }
    return judge_folded(folded, Judged::pair);
}

constexpr bool is_name_char(Py_UCS4 c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '%' || c == '+' || c == '-' || c == '[' || c == ']';
}

constexpr bool ends_value(Py_UCS4 c) {
    return c == '&' || c == ';' || c == '#' || c == '?' || c == ',' || c == '"' || c == '\'' || c == '<' || c == '>' ||
           c == ' ' || (c >= '\t' && c <= '\r');
}

bool read_strs(PyObject* iterable, std::vector<std::string>& out) {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) {
            PyErr_SetString(PyExc_TypeError, "set_redaction: expected strs");
            return false;
        }
        Ref encoded = Ref::steal(PyUnicode_AsEncodedString(item.get(), "utf-8", "surrogatepass"));
        if (!encoded) return false;
        std::string text(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
        if (!text.empty()) out.push_back(std::move(text));
    }
    return !PyErr_Occurred();
}

bool read_rule(PyObject* fragments, PyObject* names, NameRule& out) {
    if (fragments != Py_None && !read_strs(fragments, out.fragments)) return false;
    if (!read_strs(names, out.names)) return false;
    out.shortest = std::string::npos;
    for (const std::string& fragment : out.fragments) {
        out.starts[static_cast<std::uint8_t>(fragment.front())] = true;
        out.shortest = std::min(out.shortest, fragment.size());
    }
    return true;
}

int install(PyObject* fragments, PyObject* names, PyObject* query_names, PyObject* value_fragments,
            PyObject* value_names) {
    if (marker == nullptr) {
        marker = PyUnicode_InternFromString("[redacted]");
        if (marker == nullptr) return -1;
    }
    Rule fresh;
    if (!read_rule(fragments, names, fresh.pairs) || !read_rule(value_fragments, value_names, fresh.values) ||
        !read_strs(query_names, fresh.query_names)) {
        return -1;
    }
    *rule = std::move(fresh);
    for (std::uintptr_t i = 0; i < kKeyCacheSize; ++i) key_cache[i] = KeyCacheEntry{};
    enabled = fragments != Py_None;
    return 0;
}

}  // namespace

namespace redaction_detail {

KeyKind judge_key(PyObject* key, KeyCacheEntry& entry) {
    if (!PyUnicode_Check(key)) return KeyKind::plain;
    const KeyKind kind = judge_text(key);
    if (PyUnicode_CheckExact(key) && PyUnicode_GET_LENGTH(key) <= kCachedKeyLength) {
        entry.key = Ref::borrow(key);
        entry.kind = kind;
    }
    return kind;
}

}  // namespace redaction_detail

PyObject* redacted_marker() { return marker; }

void own_next_top_keys(int own) noexcept { own_next_keys = own != 0; }

Ref redact_pairs(PyObject* text) {
    if (compat::unicode_ready(text) < 0) {
        PyErr_Clear();
        return Ref::borrow(marker);
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Ref pieces;
    Py_ssize_t start = 0;
    Py_ssize_t cursor = 0;
    const auto add = [&](Ref piece) {
        return piece && (pieces || (pieces = Ref::steal(PyList_New(0)))) &&
               PyList_Append(pieces.get(), piece.get()) == 0;
    };
    for (;;) {
        Py_ssize_t equals = cursor;
        while (equals < length && PyUnicode_READ(kind, data, equals) != '=') ++equals;
        if (equals >= length) break;
        Py_ssize_t name_start = equals;
        while (name_start > cursor && is_name_char(PyUnicode_READ(kind, data, name_start - 1))) --name_start;
        Py_ssize_t end = equals + 1;
        while (end < length && !ends_value(PyUnicode_READ(kind, data, end))) ++end;
        if (name_start < equals && judge_encoded_name(text, name_start, equals) == KeyKind::secret) {
            if (!add(Ref::steal(PyUnicode_Substring(text, start, equals + 1))) || !add(Ref::borrow(marker))) {
                PyErr_Clear();
                return Ref::borrow(marker);
            }
            start = cursor = end;
        } else {
            cursor = equals + 1;
        }
    }
    if (!pieces) return Ref::borrow(text);
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    Ref joined;
    if (add(Ref::steal(PyUnicode_Substring(text, start, length))) && empty) {
        joined = Ref::steal(PyUnicode_Join(empty.get(), pieces.get()));
    }
    if (!joined) {
        PyErr_Clear();
        return Ref::borrow(marker);
    }
    return joined;
}

PyObject* set_redaction(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (count != 5) {
        PyErr_SetString(PyExc_TypeError,
                        "set_redaction expects 5 arguments (fragments, names, query_names, value_fragments, "
                        "value_names)");
        return nullptr;
    }
    if (install(args[0], args[1], args[2], args[3], args[4]) < 0) return nullptr;
    Py_RETURN_NONE;
}

int load_default_rule() {
    Ref module = Ref::steal(PyImport_ImportModule("nefa.redaction"));
    if (!module) return -1;
    Ref fragments = Ref::steal(PyObject_GetAttrString(module.get(), "SECRET_FRAGMENTS"));
    Ref names = Ref::steal(PyObject_GetAttrString(module.get(), "SECRET_NAMES"));
    Ref query_names = Ref::steal(PyObject_GetAttrString(module.get(), "QUERY_NAMES"));
    Ref value_fragments = Ref::steal(PyObject_GetAttrString(module.get(), "VALUE_FRAGMENTS"));
    Ref value_names = Ref::steal(PyObject_GetAttrString(module.get(), "VALUE_NAMES"));
    if (!fragments || !names || !query_names || !value_fragments || !value_names) return -1;
    return install(fragments.get(), names.get(), query_names.get(), value_fragments.get(), value_names.get());
}

}  // namespace nefa::value_encoder
