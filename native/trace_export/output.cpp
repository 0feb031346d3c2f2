#include "trace_export/output.hpp"

#include <cerrno>
#include <unistd.h>

namespace nefa::trace_export {

namespace {

void write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            throw WriteFailed{errno};
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void Output::flush() {
    write_all(fd_, buffer_.data(), buffer_.size());
    buffer_.clear();
}

void Output::copy_from(std::FILE* spill) {
    flush();
    std::string chunk(capacity, '\0');
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), spill);
        if (got > 0) write_all(fd_, chunk.data(), got);
        if (got < chunk.size()) {
            if (std::ferror(spill)) throw WriteFailed{errno ? errno : EIO};
            return;
        }
    }
}

Spill::Spill() : file_(std::tmpfile()) {
    if (file_ == nullptr) throw WriteFailed{errno ? errno : EIO};
    buffer_.reserve(capacity);
}

Spill::~Spill() { std::fclose(file_); }

void Spill::flush() {
    if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
        throw WriteFailed{errno ? errno : EIO};
    }
    buffer_.clear();
}

std::FILE* Spill::rewound() {
    flush();
    if (std::fflush(file_) != 0) throw WriteFailed{errno ? errno : EIO};
    std::rewind(file_);
    return file_;
}

}  // namespace nefa::trace_export
