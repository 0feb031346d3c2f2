// Keeps a long sequential write from filling the page cache: what was
// written is handed to the disk as it goes, and its pages are let go a
// few MiB behind, so that the next writes reuse them. An export of
// gigabytes otherwise takes new pages all the way, which is dearer than
// the disk itself where the host backs a virtual machine's memory on
// first use. Never changes what is written; does nothing on a descriptor
// that is not a regular file at a known offset.
#pragma once

#include <sys/types.h>
#include <cstddef>

namespace nefa::trace_export {

class WriteBehind {
public:
    // Handed to the disk every `step` bytes; kept: the last `window` bytes.
    static constexpr off_t step = off_t{4} << 20;
    static constexpr off_t window = off_t{16} << 20;

    explicit WriteBehind(int fd);
    // After `bytes` more were written at the end.
    void written(std::size_t bytes);

private:
    int fd_;
    bool active_ = false;
    off_t end_ = 0;      // where the next write goes
    off_t started_ = 0;  // handed to the disk up to here
    off_t dropped_ = 0;  // let go up to here
};

// The same for a sequential read: the pages behind the reader are let go.
class ReadBehind {
public:
    explicit ReadBehind(int fd, off_t from);
    void read(std::size_t bytes);

private:
    int fd_;
    bool active_ = false;
    off_t end_ = 0;
    off_t dropped_ = 0;
};

}  // namespace nefa::trace_export
