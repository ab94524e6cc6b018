// The recorder's output side: an unbounded queue the worker's sink pushes into, the output file
// (reopened on request, for logrotate) and the thread that drains the one into the other.
//
// Error convention: bool results with a one-line `error`; nothing throws.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "mqtt/mqtt_worker.h"
#include "tools/record/record_format.h"

namespace vchat::record {

struct QueuedLine {
    WallClock::time_point when;   // when the worker said it, not when it was written
    WorkerLine line;
};

// Unbounded, so a flood that outruns the output waits in memory instead of being dropped.
class LineQueue {
public:
    void push(QueuedLine line);
    // Waits up to `timeout` for lines, then moves every queued line to the back of `out`. False once
    // the queue is closed and empty.
    bool popAll(std::deque<QueuedLine>& out, std::chrono::milliseconds timeout);
    // Wakes a waiting popAll without a line (to look at a reopen request).
    void wake();
    void close();

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<QueuedLine> lines_;
    bool closed_ = false;
    bool woken_ = false;
};

// Standard output (empty path) or a file opened for appending.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // A new or empty file first gets `fileStart`.
    bool open(const std::string& path, std::string_view fileStart, std::string& error);
    // Opens the path again (the old file may have been moved away); keeps the old one on failure.
    // Does nothing for standard output.
    bool reopen(std::string& error);
    // One write(2) for the whole line, so a killed recorder never leaves half a line; only a short
    // write (a full disk, a signal) costs more calls.
    bool write(std::string_view bytes, std::string& error);
    const std::string& name() const { return name_; }

private:
    int fd_ = -1;
    std::string path_;
    std::string name_;
    std::string fileStart_;
};

// Drains the queue into the output on a thread of its own; write failures go to standard error and
// the line is tried again a second later, so nothing is lost while the output recovers.
class OutputWriter {
public:
    OutputWriter(LineQueue& queue, OutputFile& output, LineFormatter formatter);
    ~OutputWriter();   // closes the queue and waits for the thread
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    void requestReopen();
    // Closes the queue, writes what is left (giving up on a failing output) and joins the thread.
    void finish();

private:
    void run();

    LineQueue& queue_;
    OutputFile& output_;
    LineFormatter formatter_;
    std::atomic<bool> reopen_{false};
    std::atomic<bool> finishing_{false};
    std::thread thread_;
};

}  // namespace vchat::record
