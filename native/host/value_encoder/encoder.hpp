// One encoding of one value: the walk, its budget counters and the path of
// containers it is inside. A new Encoder per value, so that a repr which lets
// another thread encode (or encodes itself) shares nothing with this one.
//
// Reads builtin values and their subclasses through the base type's C API
// only; the one piece of the program's code it ever runs is an object's repr,
// at most once per object shown. Every Python error it meets is cleared
// (a Ctrl-C's KeyboardInterrupt is re-armed for the program). Interpreter lock held.
#pragma once

#include <string_view>

#include "common/refs.hpp"
#include "host/value_encoder/budget.hpp"
#include "host/value_encoder/output.hpp"

namespace nefa::value_encoder {

class Encoder {
public:
    Encoder(const Budget& budget, Output& out) : budget_(budget), out_(out), start_(out.size()) {}

    void encode(PyObject* value, int depth);
    // The top-level value: the dict of these entries (distinct str keys), as
    // encode would write it, without the dict (containers.cpp).
    void encode_map(PyObject* const* keys, PyObject* const* values, std::size_t count);
    // The top-level dict's keys are nefa's own field names: not judged.
    void own_top_keys() { own_top_keys_ = true; }

private:
    // encode's cases past the exact builtin types, out of line: the common
    // cases then need no more set-up than a jump.
    [[gnu::noinline]] void encode_other(PyObject* value, PyTypeObject* type, int depth);
    // encode_repr past object.__repr__'s own form: the repr called.
    [[gnu::noinline]] void encode_called_repr(PyObject* value);
    // Scalars and objects without a form of their own (scalars.cpp).
    void encode_int(PyObject* value);
    void encode_big_int(PyObject* value);
    void encode_str(PyObject* value);
    void encode_bytes(PyObject* value, std::optional<Ext> wrapper);
    void encode_repr(PyObject* value);
    // object.__repr__'s text, written without calling it; false when the
    // type's name is not at hand or the text exceeds the budget.
    bool write_default_repr(PyObject* value, PyTypeObject* type);
    // The repr form [type_name, "<text_name object at address>"], unless
    // the text (text_name_chars characters of name) exceeds the budget.
    bool write_repr_form(std::string_view type_name, std::string_view text_name, std::size_t text_name_chars,
                         std::string_view address);
    void write_unprintable(PyTypeObject* type);
    void write_cut_text(PyObject* text);

    // Containers (containers.cpp). `enter` writes the cycle or elided form
    // and returns false when the container is not to be walked.
    bool enter(PyObject* container, Py_ssize_t length, int depth);
    void leave() { --path_size_; }
    void encode_sequence(PyObject* sequence, int depth);
    void encode_set(PyObject* set, int depth);
    void encode_dict(PyObject* dict, int depth);
    // A dict's walk over any source of entries (DictEntries, ArrayEntries).
    template <typename Entries>
    void encode_entries(Entries& entries, int depth);
    bool room_for_item(std::size_t kept) const;
    // Writes items[kept], items[kept + 1], ... while they are plain and the
    // budget has room (it has for items[kept]); returns the new count kept.
    std::size_t plain_items(PyObject* const* items, std::size_t count, std::size_t kept);
    // The same for a dict's entries, read on from `position` (length: the
    // dict's size). The entry read but not written, if any, is left in
    // `next` (borrowed); its key is null otherwise.
    struct Entry {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
    };
    template <typename Entries>
    std::size_t plain_entries(Entries& entries, std::size_t kept, std::size_t length, Entry* next, bool judged);
    // Ends an array of `kept` items, with a "more items" marker when `left` > 0.
    void close_items(std::size_t mark, std::size_t kept, Py_ssize_t left, std::optional<Ext> ext);

    // Clears the pending error; a Ctrl-C's KeyboardInterrupt is re-armed and no
    // further repr is called for this value.
    void absorb_error();

    const Budget& budget_;
    Output& out_;
    const std::size_t start_;
    std::size_t nodes_ = 0;
    bool interrupted_ = false;
    bool own_top_keys_ = false;
    int path_size_ = 0;
    PyObject* path_[max_depth + 1] = {};
};

}  // namespace nefa::value_encoder
