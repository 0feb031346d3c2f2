// Python values to MessagePack, by the host package's serialisers.
#pragma once

#include "common/refs.hpp"
#include "utils/msgpack_writer.hpp"

#include "common/value_encoder_api.h"

#include <cstddef>
#include <optional>
#include <span>

namespace nefa {

// A byte buffer the native encoder appends values into, reused event after
// event (one per thread) so that a recorded value costs no allocation.
class ValueScratch {
public:
    ValueScratch() = default;
    ValueScratch(const ValueScratch&) = delete;
    ValueScratch& operator=(const ValueScratch&) = delete;
    ~ValueScratch();

    NefaByteBuffer& buffer() { return buffer_; }
    const NefaByteBuffer& buffer() const { return buffer_; }
    // Empties the buffer for the next event, giving back storage that an
    // unusually large value made grow past what events normally need.
    void reset();

private:
    NefaByteBuffer buffer_{};
};

// One serialised value: the host's bytes object kept as is when it returned
// one (no copy), the converted byte list, or a stretch of a scratch buffer
// that the native encoder wrote.
class SerializedValue {
public:
    // Valid until the value's scratch buffer is next appended to or reset.
    std::span<const std::uint8_t> bytes() const;

private:
    friend class ValueSerializer;
    Ref object_;
    Bytes converted_;
    const NefaByteBuffer* scratch_ = nullptr;
    std::size_t offset_ = 0;
    std::size_t size_ = 0;
};

// nefa.serialize.dump_msgpack(value), or dump_msgpack_lightweight_repr(value)
// when `lightweight`. When the function found there is the native encoder's
// own and `scratch` is given, the encoder appends to `scratch` directly: the
// same bytes, without a Python call or a bytes object. Otherwise the function
// is called. Runs Python code; requires the interpreter lock.
SerializedValue serialize_value(PyObject* value, bool lightweight, ValueScratch* scratch = nullptr);

// A record of nefa's own (a plugin's dict) as serialize_value serialises it,
// except that the native encoder leaves its top-level keys, nefa's field
// names, to be recorded as they are; the values under them are redacted by
// the credential rule as any value is.
SerializedValue serialize_record(PyObject* value, bool lightweight);

// The values of one record, serialised as serialize_value does. Once the
// serialiser has been found to be the native encoder, the record's later
// values go to it without looking the function up again; a Python
// serialiser is looked up afresh for every value.
class ValueSerializer {
public:
    // `thread`: the calling thread's state when the caller has it at hand.
    ValueSerializer(bool lightweight, ValueScratch* scratch, PyThreadState* thread = nullptr)
        : lightweight_(lightweight), scratch_(scratch), thread_(thread) {}
    SerializedValue serialize(PyObject* value);
    // What serialize() gives for a dict of these entries (distinct strs), for
    // a few plain ones encoded without making the dict, once serialize() has
    // found the native encoder; nothing otherwise (make the dict).
    // Runs no Python code; no exception may be set.
    std::optional<SerializedValue> serialize_small_map(PyObject* const* names, PyObject* const* values, int count);
    // The same for any values, once serialize() has found the native
    // encoder; nothing otherwise. May run a repr (the program's code): the
    // caller holds `names` and `values` throughout. No exception may be set.
    std::optional<SerializedValue> serialize_map(PyObject* const* names, PyObject* const* values, int count);

private:
    friend SerializedValue serialize_value(PyObject*, bool, ValueScratch*);
    bool lightweight_;
    ValueScratch* scratch_;
    PyThreadState* thread_;
    // The encoder's append and its mode, once found.
    int (*append_)(PyObject*, int, NefaByteBuffer*, PyThreadState*) = nullptr;
    int (*append_small_map_)(PyObject* const*, PyObject* const*, std::size_t, int, NefaByteBuffer*) = nullptr;
    int (*append_map_)(PyObject* const*, PyObject* const*, std::size_t, int, NefaByteBuffer*, PyThreadState*) = nullptr;
    // What `append(buffer)`, one of the encoder's, added to the scratch
    // buffer: nothing when it (1) leaves the value to the caller.
    template <class Append>
    std::optional<SerializedValue> appended(Append&& append);
    int append_mode_ = 0;
};

inline SerializedValue dump_msgpack(PyObject* value) { return serialize_value(value, false); }
inline SerializedValue dump_msgpack_lightweight_repr(PyObject* value) { return serialize_value(value, true); }

// A serialiser's result as bytes: bytes, bytearray or any sequence of ints in
// 0..255 (a str is refused).
Bytes extract_byte_list(PyObject* result);

}  // namespace nefa
