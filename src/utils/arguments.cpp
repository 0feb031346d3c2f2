#include "utils/arguments.hpp"

#include <cstring>

namespace nefa {

void parse_arguments(const char* function, std::span<const char* const> parameters, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out) {
    const auto count = static_cast<Py_ssize_t>(parameters.size());
    for (auto& slot : out) slot = nullptr;
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", function, count,
                     count == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        throw PyErrOccurred{};
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const char* key_text = PyUnicode_AsUTF8(key);
        if (key_text == nullptr) throw PyErrOccurred{};
        std::size_t index = 0;
        while (index < parameters.size() && std::strcmp(parameters[index], key_text) != 0) ++index;
        if (index == parameters.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", function, key_text);
            throw PyErrOccurred{};
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, key_text);
            throw PyErrOccurred{};
        }
        out[index] = args[nargs + k];
    }
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, parameters[i],
                         i + 1);
            throw PyErrOccurred{};
        }
    }
}

}  // namespace nefa
