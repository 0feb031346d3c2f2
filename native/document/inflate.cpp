// Reading a stored document chunk by chunk through Python copied every raw
// byte three times (zlib's window, a join per chunk, a join per piece) and
// every compressed one once (a slice per stream). Here each block goes
// straight to its place in the piece, with Z_FINISH into exactly the room
// it must fill, which needs no window. zlib is the library Python's zlib module loaded (the
// header only is needed to build), looked up once. Each stream's deflate
// data is inflated raw and its checksum checked here, by a faster Adler-32
// than zlib's.
#include "document/inflate.hpp"

#include "document/adler32.hpp"

#include "loaded_library/loaded_library.hpp"
#include "utils/refs.hpp"

#include <zlib.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace nefa::document {

namespace {

struct Zlib {
    bool loaded = false;
    decltype(&inflateInit2_) init;
    decltype(&inflateReset) reset;
    decltype(&inflate) run;
    decltype(&inflateEnd) end;
};

const Zlib& zlib() {
    static const Zlib found = [] {
        Zlib z{};
        LoadedLibrary library("libz.so.1");
        if (!library.loaded()) return z;
        library.find(z.init, "inflateInit2_");
        library.find(z.reset, "inflateReset");
        library.find(z.run, "inflate");
        library.find(z.end, "inflateEnd");
        z.loaded = library.found_all();
        return z;
    }();
    return found;
}

std::uint32_t big_endian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

class Inflater {
public:
    Inflater() {
        std::memset(&stream_, 0, sizeof stream_);
        // Raw deflate data: the stream's header and checksum are read here.
        ready_ = zlib().init(&stream_, -MAX_WBITS, ZLIB_VERSION, static_cast<int>(sizeof stream_)) == Z_OK;
    }
    ~Inflater() {
        if (ready_) zlib().end(&stream_);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    bool ready() const { return ready_; }

    // One whole zlib stream that must give exactly `size` bytes: a header
    // of deflate with no preset dictionary, the deflate data, then the
    // checksum of the bytes it gives, and nothing after.
    bool stream(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t size) {
        if (in_size < 6 || in_size > 0xffffffffu || size > 0xffffffffu) return false;
        const unsigned header = unsigned{in[0]} << 8 | in[1];
        if ((in[0] & 0x0f) != Z_DEFLATED || (in[0] >> 4) > 7 || header % 31 != 0 || (in[1] & 0x20) != 0) return false;
        if (zlib().reset(&stream_) != Z_OK) return false;
        stream_.next_in = const_cast<Bytef*>(in + 2);
        stream_.avail_in = static_cast<uInt>(in_size - 2);
        stream_.next_out = out;
        stream_.avail_out = static_cast<uInt>(size);
        if (zlib().run(&stream_, Z_FINISH) != Z_STREAM_END || stream_.avail_out != 0 || stream_.avail_in != 4) {
            return false;
        }
        return big_endian32(in + in_size - 4) == adler32(1, out, size);
    }

private:
    z_stream stream_;
    bool ready_ = false;
};

// One row into out (exactly `size` bytes); the cause of the damage otherwise.
const char* inflate_row(Inflater& inflater, const std::uint8_t* data, std::size_t length, std::uint8_t* out,
                        std::size_t size) {
    if (length > 0 && data[0] == 0x78) {  // a row of one zlib stream
        return inflater.stream(data, length, out, size) ? nullptr : "does not inflate to its size";
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
        if (!inflater.stream(data + start, stream_size, out + at, raw)) return "a block does not inflate to its size";
        start += stream_size;
    }
    return start == length ? nullptr : "its blocks do not add up";
}

}  // namespace

PyObject* inflate_chunks(PyObject*, PyObject* args) {
    PyObject* rows;
    PyObject* sizes;
    if (!PyArg_ParseTuple(args, "O!O!:inflate_chunks", &PyList_Type, &rows, &PyList_Type, &sizes)) return nullptr;
    if (!zlib().loaded) Py_RETURN_NONE;
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
    bool ready = true;
#if defined(__GLIBCXX__)
    try {
#endif
        Py_BEGIN_ALLOW_THREADS
        Inflater inflater;
        ready = inflater.ready();
        for (std::size_t i = 0; ready && i < in.size() && damage == nullptr; ++i) {
            damage = inflate_row(inflater, in[i].first, in[i].second, target, raw[i]);
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
    if (!ready) return PyErr_NoMemory();
    if (damage != nullptr) {
        PyErr_Format(PyExc_ValueError, "row %zd: %s", damaged, damage);
        return nullptr;
    }
    return out.release();
}

}  // namespace nefa::document
