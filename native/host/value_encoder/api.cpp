#include "host/value_encoder/api.hpp"

#include "common/compat.hpp"

#include "host/value_encoder/encoder.hpp"
#include "host/value_encoder/plain.hpp"
#include "host/value_encoder/redaction.hpp"
#include "host/value_encoder/type_name.hpp"

#include <cstdlib>

namespace nefa::value_encoder {

namespace {

// The output of one Python call, freed whatever happens.
struct OwnedBuffer {
    NefaByteBuffer buffer{};
    ~OwnedBuffer() { std::free(buffer.data); }
};

// One output buffer per thread, reused by the Python functions: most values
// are small, and allocating a buffer would cost about as much as encoding
// them. A nested call (a repr that encodes) finds it taken and makes its own.
thread_local OwnedBuffer spare;
constexpr std::size_t spare_capacity_kept = 64 * 1024;

PyObject* as_bytes(const NefaByteBuffer& buffer) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data), static_cast<Py_ssize_t>(buffer.size));
}

// Out of memory for the whole value: the small unprintable marker may still fit.
PyObject* unprintable_marker(PyTypeObject* type) {
    OwnedBuffer marker;
    Output small(marker.buffer);
    const std::size_t mark = small.open(kExtHead);
    write_type_name(small, type, lightweight_budget.chars);
    small.close(mark, {Header::Kind::none, 0, Ext::unprintable});
    if (small.failed()) return PyErr_NoMemory();
    return as_bytes(marker.buffer);
}

PyObject* dump(PyObject* value, bool lightweight) {
    if (value == Py_None) return PyBytes_FromStringAndSize("\xc0", 1);
    OwnedBuffer out;
    std::swap(out.buffer, spare.buffer);
    out.buffer.size = 0;
    PyObject* result = append(value, lightweight ? 1 : 0, &out.buffer, nullptr) == 0
                           ? as_bytes(out.buffer)
                           : unprintable_marker(Py_TYPE(value));
    if (spare.buffer.data == nullptr && out.buffer.capacity <= spare_capacity_kept) std::swap(out.buffer, spare.buffer);
    return result;
}

// None, bools, exact ints that fit in 64 bits and exact floats: most event
// arguments and return values. They run no Python code and need no budget,
// so they skip the encoder's set-up, with the very bytes it would write.
bool append_plain_scalar(PyObject* value, Output& output) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return false;
    // Out of memory: the output turns failed, which the caller checks.
    if (!output.reserve(plain_number_size)) return true;
    if (std::uint8_t* end = put_plain(output.end(), output.room_end(), value, 0)) {
        output.advance_to(end);
        return true;
    }
    // An exact int past the compact range may still fit in 64 bits.
    if (type != &PyLong_Type) return false;
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || (small == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    output.integer(small);
    return true;
}

// A short ASCII str, written whole as the encoder writes it.
bool append_short_ascii(PyObject* value, Output& output, const Budget& budget) {
    if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_COMPACT_ASCII(value)) return false;
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(value));
    if (length > budget.chars) return false;
    if (!output.reserve(nefa::msgpack::str_size(length))) return true;
    output.advance_to(put_plain_str(output.end(), output.room_end(), value, budget.chars));
    return true;
}

// A function's locals are mostly a few names bound to scalars and short
// strs: such a map is written here in one pass, as the encoder would write
// the dict. `entry(i, key, item)` gives the i-th entry. Anything else gives
// false, with nothing kept of what was written.
constexpr Py_ssize_t kSmallMapEntries = 8;

template <typename Entry>
bool append_small_entries(Py_ssize_t length, Entry entry, Output& output, const Budget& budget, bool judged = true) {
    if (length > kSmallMapEntries || static_cast<std::size_t>(length) > budget.items) return false;
    const std::size_t entry_size = output.size();
    std::uint8_t* header = output.extend(1);
    if (header == nullptr) return false;
    *header = static_cast<std::uint8_t>(0x80 | length);
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        if (!entry(i, key, item) || !append_short_ascii(key, output, budget) ||
            (judged && key_kind(key) != KeyKind::plain) ||
            !(append_plain_scalar(item, output) || append_short_ascii(item, output, budget))) {
            output.truncate(entry_size);
            return false;
        }
    }
    // Past the output budget the encoder would have stopped taking items.
    if (output.failed() || output.size() - entry_size > budget.output) {
        output.truncate(entry_size);
        return false;
    }
    return true;
}

bool append_small_dict(PyObject* value, Output& output, const Budget& budget, bool judged) {
    if (!PyDict_CheckExact(value)) return false;
    Py_ssize_t position = 0;
    auto next = [&](Py_ssize_t, PyObject*& key, PyObject*& item) {
        return PyDict_Next(value, &position, &key, &item) != 0;
    };
    return append_small_entries(PyDict_GET_SIZE(value), next, output, budget, judged);
}

// Runs `encode` with any pending exception set aside (a repr must not run
// with someone else's), and its own cleared: 0, or -1 (out as it was) when
// the buffer could not grow.
template <class Encode>
int encode_aside(NefaByteBuffer* out, Encode&& encode, const Budget& budget, PyThreadState* thread) {
    const std::size_t entry_size = out->size;
    PendingError pending;
    if (compat::error_pending(thread)) pending = PendingError::fetch();
    Output output(*out);
    {
        Encoder encoder(budget, output);
        encode(encoder);
    }
    if (compat::error_pending(thread)) PyErr_Clear();
    pending.restore();
    if (output.failed()) {
        out->size = entry_size;
        return -1;
    }
    return 0;
}

}  // namespace

int append(PyObject* value, int lightweight, NefaByteBuffer* out, PyThreadState* thread) noexcept {
    if (thread == nullptr) thread = PyThreadState_Get();
    const std::size_t entry_size = out->size;
    const bool own_keys = take_own_top_keys();
    if (!compat::error_pending(thread)) {
        Output output(*out);
        if (append_plain_scalar(value, output) ||
            append_small_dict(value, output, lightweight ? lightweight_budget : full_budget, !own_keys)) {
            if (!output.failed()) return 0;
            out->size = entry_size;
            return -1;
        }
    }
    return encode_aside(
        out,
        [&](Encoder& encoder) {
            Ref held = Ref::borrow(value);
            if (own_keys) encoder.own_top_keys();
            encoder.encode(held.get(), 0);
        },
        lightweight ? lightweight_budget : full_budget, thread);
}

int append_small_map(PyObject* const* names, PyObject* const* values, std::size_t count, int lightweight,
                     NefaByteBuffer* out) noexcept {
    const std::size_t entry_size = out->size;
    Output output(*out);
    auto at = [&](Py_ssize_t i, PyObject*& key, PyObject*& item) {
        key = names[i];
        item = values[i];
        return true;
    };
    if (count > static_cast<std::size_t>(kSmallMapEntries) ||
        !append_small_entries(static_cast<Py_ssize_t>(count), at, output,
                              lightweight ? lightweight_budget : full_budget)) {
        out->size = entry_size;
        return output.failed() ? -1 : 1;
    }
    return 0;
}

int append_map(PyObject* const* names, PyObject* const* values, std::size_t count, int lightweight, NefaByteBuffer* out,
               PyThreadState* thread) noexcept {
    if (thread == nullptr) thread = PyThreadState_Get();
    // The encoder's own walk takes runs of plain entries as the small-map
    // writer would: callers try that writer first only where it suffices.
    return encode_aside(
        out, [&](Encoder& encoder) { encoder.encode_map(names, values, count); },
        lightweight ? lightweight_budget : full_budget, thread);
}

PyObject* dump_msgpack(PyObject*, PyObject* value) { return dump(value, false); }

PyObject* dump_msgpack_lightweight_repr(PyObject*, PyObject* value) { return dump(value, true); }

}  // namespace nefa::value_encoder
