// Reading a stored document chunk by chunk through Python copied every raw
// byte three times (zlib's window, a join per chunk, a join per piece) and
// every compressed one once (a slice per stream). Here each block goes
// straight to its place in the piece, inflated by our own one-shot decoder
// into exactly the room it must fill, which is its window. Each stream's
// header and checksum are checked here, by a faster Adler-32 than zlib's.
#include "host/document/inflate.hpp"

#include "host/document/adler32.hpp"
#include "host/document/deflate_decoder.hpp"

#include "common/refs.hpp"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace nefa::document {

namespace {

std::uint32_t big_endian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// One whole zlib stream that must give exactly `size` bytes: a header of
// deflate with no preset dictionary, the deflate data, then the checksum of
// the bytes it gives, and nothing after.
bool inflate_stream(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t size) {
    constexpr unsigned deflate = 8;
    if (in_size < 6) return false;
    const unsigned header = unsigned{in[0]} << 8 | in[1];
    if ((in[0] & 0x0f) != deflate || (in[0] >> 4) > 7 || header % 31 != 0 || (in[1] & 0x20) != 0) return false;
    std::size_t consumed = 0;
    if (!inflate_raw(in + 2, in_size - 2, out, size, consumed) || consumed != in_size - 6) return false;
    return big_endian32(in + in_size - 4) == adler32(1, out, size);
}

// One row into out (exactly `size` bytes); the cause of the damage otherwise.
const char* inflate_row(const std::uint8_t* data, std::size_t length, std::uint8_t* out, std::size_t size) {
    if (length > 0 && data[0] == 0x78) {  // a row of one zlib stream
        return inflate_stream(data, length, out, size) ? nullptr : "does not inflate to its size";
    }
    if (length < 8) return "its header is cut";
    const std::uint64_t block_size = big_endian32(data);
    const std::uint64_t count = big_endian32(data + 4);
    if (block_size == 0 || count != (size + block_size - 1) / block_size) return "its blocks do not add up";
    if ((length - 8) / 4 < count) return "its header is cut";
    std::size_t start = 8 + 4 * static_cast<std::size_t>(count);
    for (std::uint64_t block = 0; block < count; ++block) {
        const std::size_t stream_size = big_endian32(data + 8 + 4 * block);
        if (stream_size > length - start) return "its blocks do not add up";
        const std::uint64_t at = block * block_size;
        const std::size_t raw = static_cast<std::size_t>(std::min<std::uint64_t>(block_size, size - at));
        if (!inflate_stream(data + start, stream_size, out + at, raw)) return "a block does not inflate to its size";
        start += stream_size;
    }
    return start == length ? nullptr : "its blocks do not add up";
}

}  // namespace

PyObject* inflate_chunks(PyObject*, PyObject* args) {
    PyObject* rows;
    PyObject* sizes;
    if (!PyArg_ParseTuple(args, "O!O!:inflate_chunks", &PyList_Type, &rows, &PyList_Type, &sizes)) return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(rows);
    if (PyList_GET_SIZE(sizes) != count) {
        PyErr_SetString(PyExc_ValueError, "as many sizes as rows are needed");
        return nullptr;
    }
    // The rows are bytes, which no one can change; the lists are read only
    // here, with the lock held, and each row is held by a reference of our
    // own while it is read without the lock (another thread could empty
    // the list meanwhile).
    std::vector<Ref> held;
    std::vector<std::pair<const std::uint8_t*, std::size_t>> in;
    std::vector<std::size_t> raw;
    std::size_t total = 0;
    try {
        held.reserve(static_cast<std::size_t>(count));
        in.reserve(static_cast<std::size_t>(count));
        raw.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* row = PyList_GET_ITEM(rows, i);
            if (!PyBytes_Check(row)) {
                PyErr_SetString(PyExc_ValueError, "a row is not bytes");
                return nullptr;
            }
            const Py_ssize_t size = PyLong_AsSsize_t(PyList_GET_ITEM(sizes, i));
            if (size == -1 && PyErr_Occurred()) return nullptr;
            if (size < 0 || static_cast<std::size_t>(size) > static_cast<std::size_t>(PY_SSIZE_T_MAX) - total) {
                PyErr_SetString(PyExc_ValueError, "a size out of range");
                return nullptr;
            }
            held.push_back(Ref::borrow(row));
            in.emplace_back(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(row)),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(row)));
            raw.push_back(static_cast<std::size_t>(size));
            total += static_cast<std::size_t>(size);
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!out) return nullptr;
    auto* target = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
    const char* damage = nullptr;
    Py_ssize_t damaged = -1;
#if defined(__GLIBCXX__)
    try {
#endif
        Py_BEGIN_ALLOW_THREADS
        for (std::size_t i = 0; i < in.size() && damage == nullptr; ++i) {
            damage = inflate_row(in[i].first, in[i].second, target, raw[i]);
            if (damage != nullptr) damaged = static_cast<Py_ssize_t>(i);
            target += raw[i];
        }
        Py_END_ALLOW_THREADS
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        // A daemon thread that takes the lock back while the interpreter
        // ends is ended on the spot: its references are left, never freed
        // behind the interpreter.
        for (Ref& row : held) static_cast<void>(row.release());
        static_cast<void>(out.release());
        throw;
    }
#endif
    if (damage != nullptr) {
        PyErr_Format(PyExc_ValueError, "row %zd: %s", damaged, damage);
        return nullptr;
    }
    return out.release();
}

}  // namespace nefa::document
