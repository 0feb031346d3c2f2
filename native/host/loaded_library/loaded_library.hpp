// Symbols of a shared library that the interpreter has already loaded (the
// SQLite of its sqlite3 module): we build against the headers only and use
// the very library that module uses.
#pragma once

#include <dlfcn.h>

#include <cstring>

namespace nefa {

class LoadedLibrary {
public:
    // Nothing is loaded here: a library the process has not loaded yet is
    // simply missing.
    explicit LoadedLibrary(const char* soname) : handle_(dlopen(soname, RTLD_NOW | RTLD_NOLOAD)) {}

    bool loaded() const { return handle_ != nullptr; }

    // Sets `slot` to the function `name` (null when missing, which makes
    // found_all() false from then on).
    template <class Function>
    void find(Function& slot, const char* name) {
        void* symbol = handle_ != nullptr ? dlsym(handle_, name) : nullptr;
        if (symbol == nullptr) found_all_ = false;
        static_assert(sizeof slot == sizeof symbol);
        std::memcpy(&slot, &symbol, sizeof symbol);
    }

    // Whether every find() so far found its function.
    bool found_all() const { return handle_ != nullptr && found_all_; }

private:
    void* handle_;
    bool found_all_ = true;
};

}  // namespace nefa
