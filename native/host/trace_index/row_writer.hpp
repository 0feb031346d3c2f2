// Writes the scanner's rows into `calls` on a thread of its own, so that
// the scan (and whatever reads or inflates the document) goes on while
// SQLite inserts. The thread never touches the interpreter: it uses the
// connection's SQLite handle only, which SQLite's serialized mode lets the
// connection's other users share.
#pragma once

#include "host/trace_index/sqlite_rows.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace nefa::trace_index {

class RowWriter {
public:
    RowWriter(sqlite3* db, long long trace_key, long long part_index, long long id_base);
    // Stops the thread; batches not written yet are dropped.
    ~RowWriter();
    RowWriter(const RowWriter&) = delete;
    RowWriter& operator=(const RowWriter&) = delete;

    // Queues a batch, waiting while the queue is full (memory stays bounded
    // by a few batches). False when writing failed: see error().
    bool submit(Batch&& batch);
    // Waits until every queued batch is written, then stops the thread.
    // False when writing failed.
    bool finish();
    // The SQLite error that stopped the writing, if any.
    std::optional<std::string> error();

private:
    void run();

    RowInserter inserter_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Batch> queue_;
    bool stopping_ = false;
    std::optional<std::string> error_;
    std::thread thread_;
};

}  // namespace nefa::trace_index
