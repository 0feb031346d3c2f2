#include "value_encoder/api.hpp"

#include "value_encoder/encoder.hpp"
#include "value_encoder/type_name.hpp"

#include <cstdlib>

namespace nefa::value_encoder {

namespace {

// The output of one Python call, freed whatever happens.
struct OwnedBuffer {
    NefaByteBuffer buffer{};
    ~OwnedBuffer() { std::free(buffer.data); }
};

PyObject* as_bytes(const NefaByteBuffer& buffer) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data),
                                     static_cast<Py_ssize_t>(buffer.size));
}

PyObject* dump(PyObject* value, bool lightweight) {
    if (value == Py_None) return PyBytes_FromStringAndSize("\xc0", 1);
    OwnedBuffer out;
    if (append(value, lightweight ? 1 : 0, &out.buffer) == 0) return as_bytes(out.buffer);
    // Out of memory for the whole value: the small unprintable marker may
    // still fit.
    OwnedBuffer marker;
    Output small(marker.buffer);
    const std::size_t mark = small.open();
    write_type_name(small, Py_TYPE(value), 128);
    small.close(mark, {Header::Kind::none, 0, Ext::unprintable});
    if (small.failed()) return PyErr_NoMemory();
    return as_bytes(marker.buffer);
}

}  // namespace

int append(PyObject* value, int lightweight, NefaByteBuffer* out) noexcept {
    const std::size_t entry_size = out->size;
    // A repr must not run with someone else's exception pending.
    PendingError pending;
    if (PyErr_Occurred()) pending = PendingError::fetch();
    Output output(*out);
    {
        Ref held = Ref::borrow(value);
        Encoder(lightweight ? lightweight_budget : full_budget, output).encode(held.get(), 0);
    }
    if (PyErr_Occurred()) PyErr_Clear();
    pending.restore();
    if (output.failed()) {
        out->size = entry_size;
        return -1;
    }
    return 0;
}

PyObject* dump_msgpack(PyObject*, PyObject* value) { return dump(value, false); }

PyObject* dump_msgpack_lightweight_repr(PyObject*, PyObject* value) { return dump(value, true); }

}  // namespace nefa::value_encoder
