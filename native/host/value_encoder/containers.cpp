// Lists, tuples, sets and dicts, subclasses included, read through the base
// type's storage. A repr met inside may change the very container being
// walked: each item is held by its own reference, and sizes are read again
// before every step.
#include "host/value_encoder/encoder.hpp"
#include "host/value_encoder/plain.hpp"
#include "host/value_encoder/redaction.hpp"
#include "host/value_encoder/type_name.hpp"

#include <algorithm>

namespace nefa::value_encoder {

namespace {

// The first byte of a str or bin: the only map keys a default reader takes.
bool starts_str_or_bin(std::uint8_t first) {
    return (first >= 0xa0 && first <= 0xbf) || (first >= 0xd9 && first <= 0xdb) || (first >= 0xc4 && first <= 0xc6);
}

// A dict's entries as its walk reads them: the size is read again before
// every step, as iterating the dict in Python would.
struct DictEntries {
    PyObject* dict;
    Py_ssize_t position = 0;
    Py_ssize_t size() const { return PyDict_GET_SIZE(dict); }
    bool next(PyObject** key, PyObject** value) { return PyDict_Next(dict, &position, key, value) != 0; }
};

// Entries given as two arrays that nothing else sees, so never changed.
struct ArrayEntries {
    PyObject* const* keys;
    PyObject* const* values;
    Py_ssize_t count;
    Py_ssize_t position = 0;
    Py_ssize_t size() const { return count; }
    bool next(PyObject** key, PyObject** value) {
        if (position >= count) return false;
        *key = keys[position];
        *value = values[position];
        ++position;
        return true;
    }
};

}  // namespace

bool Encoder::enter(PyObject* container, Py_ssize_t length, int depth) {
    auto* type = Py_TYPE(container);
    for (int i = 0; i < path_size_; ++i) {
        if (path_[i] == container) {
            const std::size_t mark = out_.open(kExtHead);
            write_type_name(out_, type, budget_.chars);
            out_.close(mark, {Header::Kind::none, 0, Ext::cycle});
            return false;
        }
    }
    if (depth >= budget_.depth || nodes_ >= budget_.nodes || out_.used_since(start_) > budget_.output) {
        const std::size_t mark = out_.open(kExtHead + 1);
        write_type_name(out_, type, budget_.chars);
        out_.uint(static_cast<std::uint64_t>(length));
        out_.close(mark, {Header::Kind::array, 2, Ext::elided});
        return false;
    }
    path_[path_size_++] = container;
    return true;
}

bool Encoder::room_for_item(std::size_t kept) const {
    return kept < budget_.items && nodes_ < budget_.nodes && out_.used_since(start_) <= budget_.output;
}

std::size_t Encoder::plain_items(PyObject* const* items, std::size_t count, std::size_t kept) {
    // Each plain item is one node: the item and node budgets become one
    // bound. Only the output budget is checked item by item, on a local.
    const std::size_t first = kept;
    const std::size_t stop = std::min({count, budget_.items, kept + (budget_.nodes - nodes_)});
    if (!out_.reserve((stop - kept) * plain_number_size)) return kept;
    std::uint8_t* const base = out_.end() - out_.size();
    std::uint8_t* const room_end = out_.room_end();
    const std::size_t size_limit = out_.size_when_used(start_, budget_.output);
    const std::size_t max_chars = budget_.chars;
    std::uint8_t* p = out_.end();
    while (kept < stop && static_cast<std::size_t>(p - base) <= size_limit) {
        std::uint8_t* next = put_plain(p, room_end, items[kept], max_chars);
        if (next == nullptr) break;
        p = next;
        ++kept;
    }
    out_.advance_to(p);
    nodes_ += kept - first;
    return kept;
}

template <typename Entries>
std::size_t Encoder::plain_entries(Entries& entries, std::size_t kept, std::size_t length, Entry* next, bool judged) {
    // Two nodes per entry; as in plain_items, only the output budget is
    // checked entry by entry. No code runs here, so the dict keeps its size.
    const std::size_t first = kept;
    const std::size_t stop = std::min({length, budget_.items, kept + (budget_.nodes - nodes_ + 1) / 2});
    constexpr std::size_t usual_entry_size = 16 + plain_number_size;  // a short str key and a number
    if (!out_.reserve((stop - kept) * usual_entry_size)) return kept;
    std::uint8_t* const base = out_.end() - out_.size();
    std::uint8_t* const room_end = out_.room_end();
    const std::size_t size_limit = out_.size_when_used(start_, budget_.output);
    const std::size_t max_chars = budget_.chars;  // in a register across the calls
    std::uint8_t* p = out_.end();
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (kept < stop && static_cast<std::size_t>(p - base) <= size_limit) {
        if (!entries.next(&key, &value)) break;
        std::uint8_t* after_key = put_plain_str(p, room_end, key, max_chars);
        // A credential's entry is the general path's to write.
        std::uint8_t* after_value = after_key == nullptr || (judged && key_kind(key) != KeyKind::plain)
                                        ? nullptr
                                        : put_plain(after_key, room_end, value, max_chars);
        if (after_value == nullptr) {
            *next = {key, value};
            break;
        }
        p = after_value;
        ++kept;
    }
    out_.advance_to(p);
    nodes_ += 2 * (kept - first);
    return kept;
}

void Encoder::close_items(std::size_t mark, std::size_t kept, Py_ssize_t left, std::optional<Ext> ext) {
    if (left > 0) {
        const std::size_t more = out_.open(kExtHead);
        out_.uint(static_cast<std::uint64_t>(left));
        out_.close(more, {Header::Kind::none, 0, Ext::more_items});
    }
    out_.close(mark, {Header::Kind::array, kept + (left > 0 ? 1 : 0), ext});
}

void Encoder::encode_sequence(PyObject* sequence, int depth) {
    // A list or a tuple (subclasses included): the _Fast macros read either
    // type's own storage. A list's size is read again before every item.
    const bool tuple = PyTuple_Check(sequence);
    if (!enter(sequence, PySequence_Fast_GET_SIZE(sequence), depth)) return;
    const std::size_t mark = out_.open(tuple ? kExtHead + 1 : 1);
    std::size_t kept = 0;
    while (static_cast<Py_ssize_t>(kept) < PySequence_Fast_GET_SIZE(sequence) && room_for_item(kept)) {
        // Runs of plain items at once; any other item alone, by the general
        // path, after which the storage and size are read again.
        kept = plain_items(PySequence_Fast_ITEMS(sequence),
                           static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence)), kept);
        if (!(static_cast<Py_ssize_t>(kept) < PySequence_Fast_GET_SIZE(sequence) && room_for_item(kept))) break;
        Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(sequence, static_cast<Py_ssize_t>(kept)));
        encode(item.get(), depth + 1);
        ++kept;
    }
    const Py_ssize_t left = PySequence_Fast_GET_SIZE(sequence) - static_cast<Py_ssize_t>(kept);
    close_items(mark, kept, left, tuple ? std::optional(Ext::tuple) : std::nullopt);
    leave();
}

void Encoder::encode_set(PyObject* set, int depth) {
    const bool frozen = PyFrozenSet_Check(set);
    if (!enter(set, PySet_GET_SIZE(set), depth)) return;
    const std::size_t mark = out_.open(kExtHead + 1);
    // The base type's iterator: it also notices a set changed under it.
    Ref iterator = Ref::steal((frozen ? PyFrozenSet_Type : PySet_Type).tp_iter(set));
    if (!iterator) absorb_error();
    std::size_t kept = 0;
    bool exhausted = false;
    while (iterator && room_for_item(kept)) {
        Ref item = Ref::steal(Py_TYPE(iterator.get())->tp_iternext(iterator.get()));
        if (!item) {
            exhausted = !PyErr_Occurred();
            if (!exhausted) absorb_error();
            break;
        }
        encode(item.get(), depth + 1);
        ++kept;
    }
    const Py_ssize_t left = exhausted ? 0 : PySet_GET_SIZE(set) - static_cast<Py_ssize_t>(kept);
    close_items(mark, kept, left, frozen ? Ext::frozenset : Ext::set);
    leave();
}

template <typename Entries>
void Encoder::encode_entries(Entries& entries, int depth) {
    const Py_ssize_t length = entries.size();
    const std::size_t mark = out_.open();
    std::size_t kept = 0;
    bool plain_keys = true;  // plain entries have str keys
    bool exhausted = false;
    const bool judged = !(own_top_keys_ && depth == 0);
    // Stops where iterating the dict in Python would: when its size changed.
    while (static_cast<Py_ssize_t>(kept) < length && entries.size() == length && room_for_item(kept)) {
        // Runs of plain entries at once; the entry that ends a run, when
        // there is one, by the general path.
        Entry entry;
        kept = plain_entries(entries, kept, static_cast<std::size_t>(length), &entry, judged);
        if (entry.key == nullptr) {
            if (!(static_cast<Py_ssize_t>(kept) < length && entries.size() == length && room_for_item(kept))) {
                break;
            }
            if (!entries.next(&entry.key, &entry.value)) {
                exhausted = true;
                break;
            }
        }
        Ref key = Ref::borrow(entry.key);
        Ref value = Ref::borrow(entry.value);
        const std::size_t key_at = out_.size();
        encode(key.get(), depth + 1);
        plain_keys = plain_keys && !out_.failed() && starts_str_or_bin(out_.byte_at(key_at));
        switch (judged ? key_kind(key.get()) : KeyKind::plain) {
            case KeyKind::plain: encode(value.get(), depth + 1); break;
            case KeyKind::secret: encode(redacted_marker(), depth + 1); break;
            case KeyKind::query:
                encode(PyUnicode_Check(value.get()) ? redact_pairs(value.get()).get() : value.get(), depth + 1);
                break;
        }
        ++kept;
    }
    const Py_ssize_t left = exhausted ? 0 : entries.size() - static_cast<Py_ssize_t>(kept);
    if (plain_keys && left <= 0) {
        out_.close(mark, {Header::Kind::map, kept, std::nullopt});
    } else {
        close_items(mark, 2 * kept, left, Ext::dict);
    }
}

void Encoder::encode_dict(PyObject* dict, int depth) {
    if (!enter(dict, PyDict_GET_SIZE(dict), depth)) return;
    DictEntries entries{dict};
    encode_entries(entries, depth);
    leave();
}

void Encoder::encode_map(PyObject* const* keys, PyObject* const* values, std::size_t count) {
    // As a fresh dict at the top: nothing can hold it, so nothing below can
    // be a cycle back to it, and no budget is spent yet. Its place on the
    // path is taken by an address that is no object's.
    path_[path_size_++] = reinterpret_cast<PyObject*>(&path_);
    ++nodes_;
    ArrayEntries entries{keys, values, static_cast<Py_ssize_t>(count)};
    encode_entries(entries, 0);
    leave();
}

}  // namespace nefa::value_encoder
