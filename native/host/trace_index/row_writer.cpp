#include "host/trace_index/row_writer.hpp"

namespace nefa::trace_index {

namespace {

// Batches waiting at most: each holds the rows of one piece of the document.
constexpr std::size_t queued_batches = 4;

}  // namespace

RowWriter::RowWriter(sqlite3* db, long long trace_key, long long part_index, long long id_base)
    : inserter_(db, trace_key, part_index, id_base), thread_([this] { run(); }) {}

RowWriter::~RowWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void RowWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, all written
        Batch batch = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        changed_.notify_all();  // room in the queue
        const bool written = inserter_.insert(batch);
        lock.lock();
        if (!written) {
            error_ = inserter_.error();
            queue_.clear();
            changed_.notify_all();
            return;
        }
        changed_.notify_all();
    }
}

bool RowWriter::submit(Batch&& batch) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return error_ || stopping_ || queue_.size() < queued_batches; });
    if (error_ || stopping_) return false;
    queue_.push_back(std::move(batch));
    lock.unlock();
    changed_.notify_all();
    return true;
}

bool RowWriter::finish() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    return !error_;
}

std::optional<std::string> RowWriter::error() {
    std::lock_guard lock(mutex_);
    return error_;
}

}  // namespace nefa::trace_index
