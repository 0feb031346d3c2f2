#include "utils/text.hpp"

#include <cstring>

namespace nefa {

std::string_view utf8_view(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) throw PyErrOccurred{};
    return {data, static_cast<std::size_t>(size)};
}

std::string utf8_lossy(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
        return {data, static_cast<std::size_t>(size)};
    }
    PyErr_Clear();
    std::string out;
    const Py_ssize_t length = PyUnicode_GetLength(str);
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    out.reserve(static_cast<std::size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string display_text(PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return utf8_lossy(obj);
    Ref text = Ref::steal(PyObject_Str(obj));
    if (text) return utf8_lossy(text.get());
    // A name that cannot be shown is named by its type instead; the error is
    // the program's object's, not something to print on its stderr.
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) PyErr_SetInterrupt();
    PyErr_Clear();
    const char* type_name = Py_TYPE(obj)->tp_name;
    if (type_name == nullptr) return "<unprintable object>";
    return std::string("<unprintable ") + type_name + " object>";
}

// This text, the target names callers give it ('PyDict', 'PyString', ...)
// and "Can't extract `str` to `Vec`" below are fixed interface texts that
// callers match: they stay exactly as they are.
void throw_downcast_error(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(obj)->tp_name, target);
    throw PyErrOccurred{};
}

std::string extract_string(PyObject* obj) {
    if (!PyUnicode_Check(obj)) throw_downcast_error(obj, "PyString");
    return std::string(utf8_view(obj));
}

std::vector<std::string> extract_string_list(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        throw PyErrOccurred{};
    }
    if (!PySequence_Check(obj)) throw_downcast_error(obj, "Sequence");
    std::vector<std::string> out;
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        out.reserve(static_cast<std::size_t>(hint));
    }
    Ref iterator = Ref::require(PyObject_GetIter(obj));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        out.push_back(extract_string(item.get()));
    }
    if (PyErr_Occurred()) throw PyErrOccurred{};
    return out;
}

bool extract_strict_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    // numpy is not a dependency: its boolean is recognised by its type name.
    const char* type_name = Py_TYPE(obj)->tp_name;
    if (std::strcmp(type_name, "numpy.bool_") == 0 || std::strcmp(type_name, "numpy.bool") == 0) {
        return Require(PyObject_IsTrue(obj)) != 0;
    }
    throw_downcast_error(obj, "PyBool");
}

std::uint64_t extract_unsigned(PyObject* obj) {
    Ref index = Ref::require(PyNumber_Index(obj));
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrOccurred{};
    if constexpr (sizeof(std::uintptr_t) < sizeof(unsigned long long)) {
        if (value > UINTPTR_MAX) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            throw PyErrOccurred{};
        }
    }
    return value;
}

}  // namespace nefa
