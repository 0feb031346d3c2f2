// A recorded value (MessagePack, in the value forms of docs/value-forms.md)
// as one short line: the native twin of nefa.traces.values.brief, which
// decides what is shown; the two are tested to agree.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nefa::trace_export {

// `encoded` is one complete MessagePack object. `legacy`: a document stored
// before the value forms, whose repr-shaped strings are shown bare. Takes
// the interpreter lock for strings beyond ASCII (Python's repr quotes them);
// the calling thread must have a thread state.
// Never throws for damaged bytes: they are shown as undecodable.
std::string brief(std::string_view encoded, std::size_t width, bool legacy);

// The keys and values of an encoded map, each value briefly, told as they
// are read; false when `encoded` is not a plain map, and then what was told
// is to be dropped. `key` gets str(key), `value` the brief.
template <typename Visit>
bool brief_items(std::string_view encoded, std::size_t width, bool legacy, Visit&& visit);

// Implementation detail of brief_items.
bool map_items(std::string_view encoded, std::size_t width, bool legacy,
               void (*visit)(void*, const std::string&, const std::string&), void* context);

template <typename Visit>
bool brief_items(std::string_view encoded, std::size_t width, bool legacy, Visit&& visit) {
    return map_items(
        encoded, width, legacy,
        [](void* context, const std::string& key, const std::string& value) {
            (*static_cast<Visit*>(context))(key, value);
        },
        &visit);
}

}  // namespace nefa::trace_export
