#include "host/trace_export/write_behind.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nefa::trace_export {

namespace {

bool regular_at(int fd, off_t& offset) {
    struct stat about;
    if (::fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) return false;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_APPEND)) return false;  // where each write lands is not ours to know
    offset = ::lseek(fd, 0, SEEK_CUR);
    return offset >= 0;
}

// Starts the disk write of [from, from + length); with `wait`, returns once
// it is done. Only a hint: failures change nothing written.
void hand_to_disk(int fd, off_t from, off_t length, bool wait) {
#ifdef SYNC_FILE_RANGE_WRITE
    const unsigned flags =
        wait ? SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER : SYNC_FILE_RANGE_WRITE;
    (void)::sync_file_range(fd, from, length, flags);
#else
    if (wait) (void)::fdatasync(fd);
    (void)from;
    (void)length;
#endif
}

// Lets the page cache drop [from, from + length), clean by now; a hint.
void let_go(int fd, off_t from, off_t length) {
#ifdef POSIX_FADV_DONTNEED
    (void)::posix_fadvise(fd, from, length, POSIX_FADV_DONTNEED);
#else
    (void)fd;
    (void)from;
    (void)length;
#endif
}

}  // namespace

WriteBehind::WriteBehind(int fd) : fd_(fd) {
    active_ = regular_at(fd, end_);
    started_ = dropped_ = end_;
}

void WriteBehind::written(std::size_t bytes) {
    if (!active_) return;
    end_ += static_cast<off_t>(bytes);
    if (end_ - started_ < step) return;
    hand_to_disk(fd_, started_, end_ - started_, false);
    started_ = end_;
    while (started_ - dropped_ > window) {
        hand_to_disk(fd_, dropped_, step, true);
        let_go(fd_, dropped_, step);
        dropped_ += step;
    }
}

ReadBehind::ReadBehind(int fd, off_t from) : fd_(fd), end_(from), dropped_(from) {
    off_t offset;
    active_ = regular_at(fd, offset);
#ifdef POSIX_FADV_SEQUENTIAL
    if (active_) (void)::posix_fadvise(fd_, from, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

void ReadBehind::read(std::size_t bytes) {
    if (!active_) return;
    end_ += static_cast<off_t>(bytes);
    if (end_ - dropped_ < WriteBehind::step) return;
    let_go(fd_, dropped_, end_ - dropped_);
    dropped_ = end_;
}

}  // namespace nefa::trace_export
