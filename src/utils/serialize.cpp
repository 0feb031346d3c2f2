#include "utils/serialize.hpp"

#include "common/compat.hpp"
#include "utils/interned.hpp"
#include "utils/text.hpp"

#include <cstdlib>
#include <new>

namespace nefa {

namespace {

// Storage a scratch buffer keeps between events; more is given back.
constexpr std::size_t kScratchKept = std::size_t{1} << 20;

// The native encoder's C interface, imported once it is first needed. Its
// function objects are held for the life of the process, so that an identity
// match can never be a new object at a freed one's address.
const NefaValueEncoderApi* native_encoder() {
    static const NefaValueEncoderApi* api = nullptr;
    static bool settled = false;
    if (settled) return api;
    void* found = PyCapsule_Import(NEFA_VALUE_ENCODER_CAPSULE, 0);
    if (found == nullptr) {
        PendingError error = PendingError::fetch();
        PyObject* exception = error.exception();
        // Try again later when the failure says nothing about the module.
        if (exception != nullptr && (PyErr_GivenExceptionMatches(exception, PyExc_RecursionError) ||
                                     PyErr_GivenExceptionMatches(exception, PyExc_MemoryError))) {
            return nullptr;
        }
        if (exception != nullptr && PyErr_GivenExceptionMatches(exception, PyExc_KeyboardInterrupt)) {
            PyErr_SetInterrupt();
            return nullptr;
        }
        settled = true;
        return nullptr;
    }
    settled = true;
    const auto* candidate = static_cast<const NefaValueEncoderApi*>(found);
    if (candidate->version != NEFA_VALUE_ENCODER_API_VERSION || candidate->append == nullptr ||
        candidate->dump_msgpack == nullptr || candidate->dump_msgpack_lightweight_repr == nullptr ||
        candidate->append_small_map == nullptr || candidate->append_map == nullptr ||
        candidate->own_next_top_keys == nullptr) {
        return nullptr;
    }
    Py_INCREF(candidate->dump_msgpack);
    Py_INCREF(candidate->dump_msgpack_lightweight_repr);
    api = candidate;
    return api;
}

// nefa.serialize's function of one mode as found last time, and the versions
// of sys.modules and of the module's dict then: while neither dict has
// changed, importing the module and reading the attribute again would give
// the same object. Guarded by the interpreter lock.
struct LookupCache {
    // The interpreter whose sys.modules it is, by its id (an address can be
    // a later interpreter's): a thread of the same one finds the same dict
    // without asking. -1: none yet.
    std::int64_t interpreter_id = -1;
    PyObject* modules = nullptr;  // sys.modules (compared, not held)
    std::uint64_t modules_version = 0;
    Ref module;
    PyObject* module_dict = nullptr;  // the module's, which it keeps for its life
    std::uint64_t module_version = 0;
    Ref function;
};

// Never destroyed: the references would be released after the interpreter.
LookupCache* lookup_caches = new LookupCache[2];

// `thread` is the caller's thread state, or null.
Ref serializer_function(bool lightweight, PyThreadState* thread) {
    LookupCache& cache = lookup_caches[lightweight ? 1 : 0];
    PyObject* modules = thread != nullptr && cache.modules != nullptr &&
                                PyInterpreterState_GetID(thread->interp) == cache.interpreter_id
                            ? cache.modules
                            : PyImport_GetModuleDict();
    if (compat::has_dict_versions && cache.function && modules == cache.modules && PyDict_CheckExact(modules) &&
        compat::dict_version(modules) == cache.modules_version &&
        compat::dict_version(cache.module_dict) == cache.module_version) {
        return cache.function;
    }
    const Names& n = names();
    Ref module = import_module(n.mod_serialize);
    Ref function = module_attribute(module.get(), lightweight ? n.dump_msgpack_lightweight_repr : n.dump_msgpack);
    if (compat::has_dict_versions && PyModule_CheckExact(module.get()) && PyDict_CheckExact(modules)) {
        cache.interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
        cache.modules = modules;
        cache.modules_version = compat::dict_version(modules);
        cache.module_dict = PyModule_GetDict(module.get());
        cache.module_version = compat::dict_version(cache.module_dict);
        cache.module = module;
        cache.function = function;
    } else {
        cache.function.reset();
    }
    return function;
}

}  // namespace

ValueScratch::~ValueScratch() { std::free(buffer_.data); }

void ValueScratch::reset() {
    buffer_.size = 0;
    if (buffer_.capacity > kScratchKept) {
        std::free(buffer_.data);
        buffer_ = NefaByteBuffer{};
    }
}

std::span<const std::uint8_t> SerializedValue::bytes() const {
    if (scratch_ != nullptr) return {scratch_->data + offset_, size_};
    if (object_) {
        return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object_.get())),
                static_cast<std::size_t>(PyBytes_GET_SIZE(object_.get()))};
    }
    return converted_;
}

Bytes extract_byte_list(PyObject* result) {
    if (PyUnicode_Check(result)) {
        // A fixed interface text that callers match (as in text.cpp): keep it as is.
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        throw PyErrOccurred{};
    }
    if (PyBytes_Check(result)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(result));
        return Bytes(data, data + PyBytes_GET_SIZE(result));
    }
    if (PyByteArray_Check(result)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(result));
        return Bytes(data, data + PyByteArray_GET_SIZE(result));
    }
    if (!PySequence_Check(result)) throw_downcast_error(result, "Sequence");
    Bytes out;
    Ref iterator = Ref::require(PyObject_GetIter(result));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyLong_Check(item.get())) throw_downcast_error(item.get(), "PyInt");
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(item.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) throw PyErrOccurred{};
        if (overflow != 0 || value < 0 || value > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            throw PyErrOccurred{};
        }
        out.push_back(static_cast<std::uint8_t>(value));
    }
    if (PyErr_Occurred()) throw PyErrOccurred{};
    return out;
}

SerializedValue serialize_value(PyObject* value, bool lightweight, ValueScratch* scratch) {
    return ValueSerializer(lightweight, scratch).serialize(value);
}

SerializedValue serialize_record(PyObject* value, bool lightweight) {
    const NefaValueEncoderApi* api = native_encoder();
    if (api == nullptr) return serialize_value(value, lightweight);
    // Taken back however the call ends: a serialiser that is not the
    // native one may never reach it.
    struct Pending {
        const NefaValueEncoderApi* api;
        ~Pending() { api->own_next_top_keys(0); }
    } pending{api};
    api->own_next_top_keys(1);
    return serialize_value(value, lightweight);
}

SerializedValue ValueSerializer::serialize(PyObject* value) {
    if (append_ == nullptr) {
        Ref function = serializer_function(lightweight_, thread_);
        // The native encoder's functions are C functions; anything else (a
        // user's replacement) is called as it is.
        const NefaValueEncoderApi* api =
            scratch_ != nullptr && PyCFunction_Check(function.get()) ? native_encoder() : nullptr;
        if (api != nullptr && function.get() == api->dump_msgpack) {
            append_ = api->append;
            append_small_map_ = api->append_small_map;
            append_map_ = api->append_map;
            append_mode_ = 0;
        } else if (api != nullptr && function.get() == api->dump_msgpack_lightweight_repr) {
            append_ = api->append;
            append_small_map_ = api->append_small_map;
            append_map_ = api->append_map;
            append_mode_ = 1;
        } else {
            Ref result = Ref::require(PyObject_CallOneArg(function.get(), value));
            SerializedValue out;
            if (PyBytes_CheckExact(result.get())) {
                out.object_ = std::move(result);
            } else {
                out.converted_ = extract_byte_list(result.get());
            }
            return out;
        }
    }
    return *appended([&](NefaByteBuffer* buffer) { return append_(value, append_mode_, buffer, thread_); });
}

std::optional<SerializedValue> ValueSerializer::serialize_small_map(PyObject* const* names, PyObject* const* values,
                                                                    int count) {
    if (append_small_map_ == nullptr) return std::nullopt;
    return appended([&](NefaByteBuffer* buffer) {
        return append_small_map_(names, values, static_cast<std::size_t>(count), append_mode_, buffer);
    });
}

std::optional<SerializedValue> ValueSerializer::serialize_map(PyObject* const* names, PyObject* const* values,
                                                              int count) {
    if (append_map_ == nullptr) return std::nullopt;
    return appended([&](NefaByteBuffer* buffer) {
        return append_map_(names, values, static_cast<std::size_t>(count), append_mode_, buffer, thread_);
    });
}

template <class Append>
std::optional<SerializedValue> ValueSerializer::appended(Append&& append) {
    NefaByteBuffer& buffer = scratch_->buffer();
    SerializedValue out;
    out.scratch_ = &buffer;
    out.offset_ = buffer.size;
    const int status = append(&buffer);
    if (status < 0) throw std::bad_alloc();
    if (status > 0) return std::nullopt;
    out.size_ = buffer.size - out.offset_;
    return out;
}

}  // namespace nefa
