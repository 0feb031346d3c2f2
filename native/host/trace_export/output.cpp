#include "host/trace_export/output.hpp"

#include <unistd.h>
#include <cerrno>
#include <memory>

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

int descriptor(std::FILE* file) {
    if (file == nullptr) throw WriteFailed{errno ? errno : EIO};
    return ::fileno(file);
}

}  // namespace

void Output::flush() {
    write_all(fd_, buffer_.data(), buffer_.size());
    behind_.written(buffer_.size());
    buffer_.clear();
}

void Output::copy_from(Spill& spill) {
    flush();
    spill.rewind();
    const auto chunk = std::make_unique<char[]>(capacity);
    for (;;) {
        const std::size_t got = spill.read(chunk.get(), capacity);
        if (got == 0) return;
        write_all(fd_, chunk.get(), got);
        behind_.written(got);
    }
}

Spill::Spill() : file_(std::tmpfile()), fd_(descriptor(file_)), behind_(fd_) { buffer_.reserve(capacity); }

Spill::~Spill() { std::fclose(file_); }

void Spill::flush() {
    write_all(fd_, buffer_.data(), buffer_.size());
    behind_.written(buffer_.size());
    buffer_.clear();
}

void Spill::rewind() {
    flush();
    if (::lseek(fd_, 0, SEEK_SET) != 0) throw WriteFailed{errno ? errno : EIO};
    reading_.emplace(fd_, 0);
}

std::size_t Spill::read(char* into, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd_, into + got, size - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw WriteFailed{errno};
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (reading_) reading_->read(got);
    return got;
}

}  // namespace nefa::trace_export
