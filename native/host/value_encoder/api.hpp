// The encoder's entry points: the C function behind the capsule and the two
// Python functions of nefa._native.
#pragma once

#include "common/value_encoder_api.h"

namespace nefa::value_encoder {

// Appends the encoding of `value` to `out`, in the full or lightweight mode.
// Interpreter lock held; may run a repr. Never raises; an exception already
// pending on entry is kept. Returns 0, or -1 when memory ran out (out->size
// is then as it was on entry).
// `thread` is the caller's thread state, or null to look it up.
int append(PyObject* value, int lightweight, NefaByteBuffer* out, PyThreadState* thread) noexcept;
int append_small_map(PyObject* const* names, PyObject* const* values, std::size_t count, int lightweight,
                     NefaByteBuffer* out) noexcept;
// The locals map `names` -> `values`, whatever the values (see the API header).
int append_map(PyObject* const* names, PyObject* const* values, std::size_t count, int lightweight, NefaByteBuffer* out,
               PyThreadState* thread) noexcept;

// dump_msgpack(value) and dump_msgpack_lightweight_repr(value): METH_O
// functions returning bytes. Interpreter lock held.
PyObject* dump_msgpack(PyObject* module, PyObject* value);
PyObject* dump_msgpack_lightweight_repr(PyObject* module, PyObject* value);

}  // namespace nefa::value_encoder
