// Compiling the host's plugin descriptions into processors, once per profiler.
#include "plugins/plugin_processor.hpp"

#include "utils/interned.hpp"
#include "utils/text.hpp"

namespace nefa {

namespace {

// A broken promise of the host package: the message, ": ", and the cause
// (the pending Python error, or `cause` when there is none).
[[noreturn]] void host_broke_promise(const char* message, const char* cause = "unexpected result") {
    std::string text = std::string(message) + ": ";
    if (PyErr_Occurred()) {
        PendingError error = PendingError::fetch();
        PyObject* exception = error.exception();
        text += exception != nullptr ? std::string(Py_TYPE(exception)->tp_name) + ": " + display_text(exception)
                                     : std::string("unknown error");
    } else {
        text += cause;
    }
    throw InternalError(text);
}

// description.get(key), which only a key with a failing comparison could break.
PyObject* description_get(PyObject* description, const char* key) {
    Ref key_object = Ref::require(PyUnicode_FromString(key));
    PyObject* value = PyDict_GetItemWithError(description, key_object.get());
    if (value == nullptr && PyErr_Occurred()) host_broke_promise("a string is always a valid dict key");
    return value;
}

// description[key] with the interpreter's KeyError when it is missing.
Ref description_item(PyObject* description, const char* key) {
    Ref key_object = Ref::require(PyUnicode_FromString(key));
    return Ref::require(PyObject_GetItem(description, key_object.get()));
}

// An optional callable: a missing key and None both mean "none".
Ref optional_object(PyObject* description, const char* key) {
    PyObject* value = description_get(description, key);
    if (value == nullptr || value == Py_None) return Ref{};
    return Ref::borrow(value);
}

PluginProcessor build_processor(PyObject* description, const Ref& context) {
    Ref fragment = description_item(description, "path_fragment");
    std::string fragment_text = extract_string(fragment.get());
    Ref call_type = description_item(description, "call_type");
    Ref return_type = description_item(description, "return_type");
    PluginProcessor processor{SubstringFinder(std::move(fragment_text)),
                              extract_string(call_type.get()),
                              extract_string(return_type.get()),
                              std::nullopt,
                              Ref{},
                              Ref{},
                              std::nullopt,
                              context,
                              {}};
    if (PyObject* subtype = description_get(description, "subtype")) {
        Ref keep = Ref::borrow(subtype);
        processor.subtype = extract_string(subtype);
    }
    processor.call = optional_object(description, "call");
    processor.process = optional_object(description, "process");
    if (PyObject* events = description_get(description, "events"); events != nullptr && events != Py_None) {
        Ref keep = Ref::borrow(events);
        processor.events = extract_string_list(events);
    }
    return processor;
}

}  // namespace

PluginTable load_plugins(PyObject* config) {
    const Names& n = names();
    Ref module;
    try {
        module = import_module(n.mod_plugins);
    } catch (const PyErrOccurred&) {
        host_broke_promise("nefa.plugins should always be importable");
    }
    Ref load = Ref::steal(PyObject_GetAttr(module.get(), n.load_plugin_data));
    if (!load) host_broke_promise("load_plugin_data should exist");
    Ref descriptions = Ref::steal(PyObject_CallOneArg(load.get(), config));
    if (!descriptions) host_broke_promise("load_plugin_data should be callable");
    if (!PyList_Check(descriptions.get())) {
        const std::string cause = std::string("got '") + Py_TYPE(descriptions.get())->tp_name + "'";
        host_broke_promise("load_plugin_data should return a list", cause.c_str());
    }

    PluginTable table;
    table.reserve(static_cast<std::size_t>(PyList_GET_SIZE(descriptions.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(descriptions.get()); ++i) {
        Ref description = Ref::borrow(PyList_GET_ITEM(descriptions.get(), i));
        if (!PyDict_Check(description.get())) throw_downcast_error(description.get(), "PyDict");
        Ref co_names = description_item(description.get(), "co_names");

        Ref context;
        PyObject* build_context = description_get(description.get(), "build_context");
        if (build_context == nullptr || build_context == Py_None) {
            context = Ref::require(PyDict_New());
        } else {
            Ref builder = Ref::borrow(build_context);
            context = Ref::require(PyObject_CallOneArg(builder.get(), config));
            if (!PyDict_Check(context.get())) throw_downcast_error(context.get(), "PyDict");
        }

        Ref iterator = Ref::require(PyObject_GetIter(co_names.get()));
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            std::string name = extract_string(item.get());
            table[std::move(name)].push_back(build_processor(description.get(), context));
        }
        if (PyErr_Occurred()) throw PyErrOccurred{};
    }
    return table;
}

}  // namespace nefa
