// Where the export goes: text gathered in a fixed buffer and written out
// whenever it fills, to the output file or to one thread's spill file.
#pragma once

#include "host/trace_export/write_behind.hpp"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace nefa::trace_export {

// Thrown when writing fails: errno's value at the failure.
struct WriteFailed {
    int error;
};

class Spill;

class Output {
public:
    static constexpr std::size_t capacity = std::size_t{1} << 20;

    // fd: written to, never closed here.
    explicit Output(int fd) : fd_(fd), behind_(fd) { buffer_.reserve(capacity); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void write(std::string_view text) {
        buffer_.append(text);
        if (buffer_.size() >= capacity) flush();
    }
    void flush();
    // Copies what a spill file holds (from its start) to this output.
    void copy_from(Spill& spill);

private:
    int fd_;
    WriteBehind behind_;
    std::string buffer_;
};

// A temporary file of one thread's events, for threads written after the
// first; buffered on its own, smaller, as there may be many.
class Spill {
public:
    static constexpr std::size_t capacity = std::size_t{64} << 10;

    Spill();
    ~Spill();
    Spill(const Spill&) = delete;
    Spill& operator=(const Spill&) = delete;

    void write(std::string_view text) {
        buffer_.append(text);
        if (buffer_.size() >= capacity) flush();
    }
    void flush();
    // Flushed, to be read from its start.
    void rewind();
    // Fills `into` with the next bytes; fewer only at the end (0: the end).
    std::size_t read(char* into, std::size_t size);

private:
    std::FILE* file_;  // owns the descriptor; its own buffer is never used
    int fd_;
    WriteBehind behind_;
    std::optional<ReadBehind> reading_;
    std::string buffer_;
};

}  // namespace nefa::trace_export
