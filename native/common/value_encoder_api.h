/* The value encoder of nefa's host extension, reached from other native code
 * without a Python call. Exported by nefa._native as the capsule named below;
 * import it with PyCapsule_Import(NEFA_VALUE_ENCODER_CAPSULE, 0).
 *
 * Plain C: the two extension modules are separate shared objects. */
#ifndef NEFA_VALUE_ENCODER_API_H
#define NEFA_VALUE_ENCODER_API_H

#include <Python.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NEFA_VALUE_ENCODER_CAPSULE "nefa._native.value_encoder_api"
#define NEFA_VALUE_ENCODER_API_VERSION 5u

/* A growable byte buffer owned by the caller. The encoder grows it with
 * realloc() (never shrinks it); the owner frees `data` with free(). */
typedef struct NefaByteBuffer {
    unsigned char* data;
    size_t size;
    size_t capacity;
} NefaByteBuffer;

typedef struct NefaValueEncoderApi {
    unsigned version; /* NEFA_VALUE_ENCODER_API_VERSION */
    /* The module's own function objects (borrowed; they live as long as the
     * module). A caller that finds nefa.serialize.dump_msgpack to be this very
     * object may call `append` instead, with the same result. */
    PyObject* dump_msgpack;
    PyObject* dump_msgpack_lightweight_repr;
    /* Appends exactly one MessagePack object, the encoding of `value`, to
     * `out`: the same bytes that the Python function of the same mode returns.
     * Interpreter lock: held by the caller; the encoder may run a repr (the
     * program's code), during which other threads run. Never raises and
     * leaves no exception set, except a KeyboardInterrupt re-armed with
     * PyErr_SetInterrupt. Returns 0, or -1 when memory ran out (out->size is
     * then as it was on entry). `thread` is the calling thread's state, or
     * NULL to have it looked up: a caller that has it saves the look-ups. */
    int (*append)(PyObject* value, int lightweight, NefaByteBuffer* out, PyThreadState* thread);
    /* Appends what `append` would for an exact dict of these `count` entries
     * in this order (`names` distinct strs), when that dict is a small one of
     * short ASCII names bound to plain values: a function's locals, encoded
     * without making the dict. Runs no Python code. Returns 0 when appended,
     * 1 when it leaves the map to `append` (nothing appended), -1 when memory
     * ran out (out->size as it was on entry). Interpreter lock held. */
    int (*append_small_map)(PyObject* const* names, PyObject* const* values, size_t count, int lightweight,
                            NefaByteBuffer* out);
    /* Appends what `append` would for an exact dict of these `count` entries
     * in this order (`names` distinct strs, `values` anything), of any size:
     * a function's locals, encoded without making the dict. Like `append`,
     * it may run a repr; the caller keeps `names` and `values` alive
     * throughout (the encoder holds each value while it is encoded). Same
     * results, `thread` and lock contract as `append`. */
    int (*append_map)(PyObject* const* names, PyObject* const* values, size_t count, int lightweight,
                      NefaByteBuffer* out, PyThreadState* thread);
    /* own != 0: the next value that `append` (or the Python functions)
     * starts to encode is a record of nefa's own, whose top-level keys are
     * not judged by the credential rule (the values under them are); 0
     * takes that back if it is still pending. Interpreter lock held. */
    void (*own_next_top_keys)(int own);
} NefaValueEncoderApi;

#ifdef __cplusplus
}
#endif

#endif
