// The encoder's output: MessagePack appended to the caller's NefaByteBuffer.
// Running out of memory is not an exception: the output turns "failed",
// later writes do nothing, and the entry point rolls the buffer back.
#pragma once

#include "nefa/value_encoder_api.h"
#include "value_encoder/ext_codes.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace nefa::value_encoder {

// What a container's header turns out to be, decided when it is closed.
struct Header {
    enum class Kind : std::uint8_t { none, array, map };
    Kind kind = Kind::none;
    std::size_t count = 0;       // items of the array, entries of the map
    std::optional<Ext> ext{};    // wrapped in this extension type
};

class Output {
public:
    explicit Output(NefaByteBuffer& buffer) : buffer_(buffer) {}

    bool failed() const { return failed_; }
    std::size_t size() const { return buffer_.size; }
    std::uint8_t byte_at(std::size_t at) const { return buffer_.data[at]; }
    // Bytes written since `start`, not counting the room kept for the
    // headers of containers still open: what the output will hold.
    std::size_t used_since(std::size_t start) const { return buffer_.size - start - reserved_; }

    // Room for `n` more bytes at the end; null once memory ran out.
    std::uint8_t* extend(std::size_t n);
    // Forgets what was written past `size`.
    void truncate(std::size_t size) { buffer_.size = size; }

    void nil();
    void boolean(bool value);
    void integer(std::int64_t value);
    void uint(std::uint64_t value);
    void f64(double value);
    void str(std::string_view text);
    // A str or bin header for `n` bytes, followed by room for them.
    std::uint8_t* str_space(std::size_t n);
    std::uint8_t* bin_space(std::size_t n);
    void bin(const void* data, std::size_t n);

    // Starts a container or extension whose header depends on what goes
    // into it; returns the mark to close it with.
    std::size_t open();
    void close(std::size_t mark, const Header& header);

private:
    NefaByteBuffer& buffer_;
    std::size_t reserved_ = 0;
    bool failed_ = false;
};

}  // namespace nefa::value_encoder
