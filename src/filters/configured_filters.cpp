#include "filters/configured_filters.hpp"

#include "utils/text.hpp"

namespace nefa {

std::vector<SubstringFinder> build_finders(std::vector<std::string> patterns) {
    std::vector<SubstringFinder> finders;
    finders.reserve(patterns.size());
    for (auto& pattern : patterns) finders.emplace_back(std::move(pattern));
    return finders;
}

namespace {

std::vector<SubstringFinder> read_list(PyObject* filters, const char* key) {
    Ref key_object = Ref::require(PyUnicode_FromString(key));
    Ref value = Ref::steal(PyObject_GetItem(filters, key_object.get()));
    if (!value) {
        // Forgiving about presence: None, a non-mapping or a missing key all mean "none".
        PyErr_Clear();
        return {};
    }
    return build_finders(extract_string_list(value.get()));
}

}  // namespace

ConfiguredFilters read_configured_filters(PyObject* config) {
    ConfiguredFilters out;
    PyObject* filters = PyDict_GetItemWithError(config, Ref::require(PyUnicode_FromString("filters")).get());
    if (filters == nullptr) {
        if (PyErr_Occurred()) {
            PyErr_Clear();
            throw InternalError("config.get(\"filters\" should not raise.");
        }
        return out;
    }
    Ref keep = Ref::borrow(filters);
    out.include_frames = read_list(filters, "include_frames");
    out.ignore_frames = read_list(filters, "ignore_frames");
    return out;
}

}  // namespace nefa
