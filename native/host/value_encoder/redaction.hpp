// The credential rule as the encoder applies it to dict entries: the native
// twin of nefa.redaction, whose rule it is handed (at import, then by
// set_redaction). An entry's key is judged once per key object: keys are
// mostly the same few interned strs, met at every event.
#pragma once

#include "common/refs.hpp"

#include <Python.h>

#include <cstdint>

namespace nefa::value_encoder {

enum class KeyKind : std::uint8_t { plain, secret, query };

namespace redaction_detail {

// A direct-mapped cache by key address. Each entry holds its key, so that
// an address in it is always that live str's, never a later object's.
struct KeyCacheEntry {
    Ref key;
    KeyKind kind = KeyKind::plain;
};
inline constexpr std::uintptr_t kKeyCacheSize = 1024;
extern KeyCacheEntry* key_cache;
extern bool enabled;
extern bool own_next_keys;

KeyKind judge_key(PyObject* key, KeyCacheEntry& entry);

}  // namespace redaction_detail

// What an entry under `key` (any object) records: its value, the marker
// instead, or its value with the secret pairs replaced (QUERY_STRING). Runs
// no Python code; leaves no error set. Interpreter lock held.
inline KeyKind key_kind(PyObject* key) {
    using namespace redaction_detail;
    if (!enabled) return KeyKind::plain;
    KeyCacheEntry& entry = key_cache[(reinterpret_cast<std::uintptr_t>(key) >> 4) & (kKeyCacheSize - 1)];
    if (entry.key.get() == key) return entry.kind;
    return judge_key(key, entry);
}

// Whether the value about to be encoded is a record of nefa's own (see
// own_next_top_keys in the API header), taking the answer back.
inline bool take_own_top_keys() {
    const bool own = redaction_detail::own_next_keys;
    redaction_detail::own_next_keys = false;
    return own;
}
void own_next_top_keys(int own) noexcept;

// The marker recorded for a secret value, "[redacted]" (lives for the process).
PyObject* redacted_marker();

// `text` (a str) with the values of its secret name=value pairs replaced, or
// `text` itself when it has none; the marker when memory ran out. Runs no
// Python code; leaves no error set.
Ref redact_pairs(PyObject* text);

// nefa._native.set_redaction(fragments, names, query_names, value_fragments,
// value_names): fragments None
// records every value whole.
PyObject* set_redaction(PyObject* module, PyObject* const* args, Py_ssize_t count);

// The default rule, read from nefa.redaction at import: -1 with an error set.
int load_default_rule();

}  // namespace nefa::value_encoder
