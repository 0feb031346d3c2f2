// Lists, tuples, sets and dicts, subclasses included, read through the base
// type's storage. A repr met inside may change the very container being
// walked: each item is held by its own reference, and sizes are read again
// before every step.
#include "value_encoder/encoder.hpp"
#include "value_encoder/type_name.hpp"

namespace nefa::value_encoder {

namespace {

// The first byte of a str or bin: the only map keys a default reader takes.
bool starts_str_or_bin(std::uint8_t first) {
    return (first >= 0xa0 && first <= 0xbf) || (first >= 0xd9 && first <= 0xdb) || (first >= 0xc4 && first <= 0xc6);
}

}  // namespace

bool Encoder::enter(PyObject* container, Py_ssize_t length, int depth) {
    auto* type = Py_TYPE(container);
    for (int i = 0; i < path_size_; ++i) {
        if (path_[i] == container) {
            const std::size_t mark = out_.open();
            write_type_name(out_, type, budget_.chars);
            out_.close(mark, {Header::Kind::none, 0, Ext::cycle});
            return false;
        }
    }
    if (depth >= budget_.depth || nodes_ >= budget_.nodes || out_.used_since(start_) > budget_.output) {
        const std::size_t mark = out_.open();
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

void Encoder::close_items(std::size_t mark, std::size_t kept, Py_ssize_t left, std::optional<Ext> ext) {
    if (left > 0) {
        const std::size_t more = out_.open();
        out_.uint(static_cast<std::uint64_t>(left));
        out_.close(more, {Header::Kind::none, 0, Ext::more_items});
    }
    out_.close(mark, {Header::Kind::array, kept + (left > 0 ? 1 : 0), ext});
}

void Encoder::encode_list(PyObject* list, int depth) {
    if (!enter(list, PyList_GET_SIZE(list), depth)) return;
    const std::size_t mark = out_.open();
    std::size_t kept = 0;
    while (static_cast<Py_ssize_t>(kept) < PyList_GET_SIZE(list) && room_for_item(kept)) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(kept)));
        encode(item.get(), depth + 1);
        ++kept;
    }
    close_items(mark, kept, PyList_GET_SIZE(list) - static_cast<Py_ssize_t>(kept), std::nullopt);
    leave();
}

void Encoder::encode_tuple(PyObject* tuple, int depth) {
    const Py_ssize_t length = PyTuple_GET_SIZE(tuple);
    if (!enter(tuple, length, depth)) return;
    const std::size_t mark = out_.open();
    std::size_t kept = 0;
    while (static_cast<Py_ssize_t>(kept) < length && room_for_item(kept)) {
        encode(PyTuple_GET_ITEM(tuple, static_cast<Py_ssize_t>(kept)), depth + 1);
        ++kept;
    }
    close_items(mark, kept, length - static_cast<Py_ssize_t>(kept), Ext::tuple);
    leave();
}

void Encoder::encode_set(PyObject* set, int depth) {
    const bool frozen = PyFrozenSet_Check(set);
    if (!enter(set, PySet_GET_SIZE(set), depth)) return;
    const std::size_t mark = out_.open();
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

void Encoder::encode_dict(PyObject* dict, int depth) {
    const Py_ssize_t length = PyDict_GET_SIZE(dict);
    if (!enter(dict, length, depth)) return;
    const std::size_t mark = out_.open();
    std::size_t kept = 0;
    Py_ssize_t position = 0;
    bool plain_keys = true;
    bool exhausted = false;
    // Stops where iterating the dict in Python would: when its size changed.
    while (static_cast<Py_ssize_t>(kept) < length && PyDict_GET_SIZE(dict) == length && room_for_item(kept)) {
        PyObject* borrowed_key = nullptr;
        PyObject* borrowed_value = nullptr;
        if (PyDict_Next(dict, &position, &borrowed_key, &borrowed_value) == 0) {
            exhausted = true;
            break;
        }
        Ref key = Ref::borrow(borrowed_key);
        Ref value = Ref::borrow(borrowed_value);
        const std::size_t key_at = out_.size();
        encode(key.get(), depth + 1);
        plain_keys = plain_keys && !out_.failed() && starts_str_or_bin(out_.byte_at(key_at));
        encode(value.get(), depth + 1);
        ++kept;
    }
    const Py_ssize_t left = exhausted ? 0 : PyDict_GET_SIZE(dict) - static_cast<Py_ssize_t>(kept);
    if (plain_keys && left <= 0) {
        out_.close(mark, {Header::Kind::map, kept, std::nullopt});
    } else {
        close_items(mark, 2 * kept, left, Ext::dict);
    }
    leave();
}

}  // namespace nefa::value_encoder
