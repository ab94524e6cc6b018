// The recorder's output side: a bounded queue of whole output lines that the worker's sink and the
// main thread push into, and the thread that drains it into the output.
//
//   push ─▶ LineQueue (at most `limit` bytes waiting; past it the newest lines are dropped, counted)
//        ─▶ OutputWriter thread ─▶ OutputFile (output_file.h)
//
// What the writer promises:
// - A short write goes on with the rest of the same line: no line is written twice or in part, and
//   a line is never split across two files (a reopen waits for the line to be whole).
// - Output that cannot be written (an error, or a reader that took nothing for kStallAfter) is one
//   episode: one line on standard error with the reason when it starts, one when writing resumes.
//   Lines wait meanwhile, up to the limit.
// - Dropped lines are reported in the output by one status line, the first line written once writing
//   works again (at most one a second while the output merely lags), and before the end.
// - A reader that has gone (a closed pipe) ends the writer; outputGone() tells the main thread.
//
// Error convention: nothing fails or throws; what could not be written is counted (unwrittenLines).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "tools/record/output_file.h"
#include "tools/record/record_format.h"

namespace vchat::record {

// What a waiting line holds in memory beyond its text: the string's own record and the heap's.
inline constexpr std::size_t kLineOverhead = sizeof(std::string) + 16;
// No bytes taken for this long, with lines waiting: the reader has stalled.
inline constexpr auto kStallAfter = std::chrono::seconds(5);

// The bytes a waiting line counts against the limit.
std::size_t waitingCost(const std::string& line);

class LineQueue {
public:
    explicit LineQueue(std::size_t limitBytes) : limit_(limitBytes) {}

    // Adds one whole output line, or drops and counts it when it would pass the limit.
    void push(std::string line);
    // Waits up to `timeout` for a line and moves the oldest into `line`; false when none came (time
    // out, wake or close). The line keeps counting against the limit until `release`.
    bool pop(std::string& line, std::size_t& cost, std::chrono::milliseconds timeout);
    void release(std::size_t cost);
    // Waits up to `timeout`, or until wake or close.
    void pause(std::chrono::milliseconds timeout);
    void wake();
    void close();
    bool closed() const;
    // Dropped since the last takeDropped.
    std::uint64_t dropped() const;
    std::uint64_t takeDropped();
    std::size_t waitingLines() const;
    std::size_t limit() const { return limit_; }

private:
    const std::size_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::string> lines_;
    std::size_t waitingBytes_ = 0;
    std::uint64_t dropped_ = 0;
    bool closed_ = false;
    bool woken_ = false;
};

class OutputWriter {
public:
    // `formatter` makes the drop reports.
    OutputWriter(LineQueue& queue, OutputFile& output, LineFormatter formatter);
    ~OutputWriter();   // finish
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    void requestReopen();
    // Closes the queue, writes what is left while the output takes it (giving up on an output that
    // fails, or takes nothing for a second) and joins the thread.
    void finish();
    // True once the output's reader has gone.
    bool outputGone() const { return gone_.load(); }
    // After finish: lines never written, the dropped ones no status line reported included.
    std::uint64_t unwrittenLines() const { return unwritten_; }

private:
    enum class Step { Written, GaveUp, ReportFirst };

    void run();
    bool reportDue() const;
    // Write whole, through errors and stalls; false when giving up (finishing on an output that
    // fails or takes nothing, or the reader gone).
    bool writeLine(std::string& line);
    bool writeReport();
    // One line (or the drop report, made afresh before each try) out; a line stops before its first
    // byte when a drop report is due, to go after it.
    Step writeOut(std::string& bytes, bool isReport);
    void reopenIfAsked();
    void startTrouble(const std::string& reason);
    std::string dropReport(std::uint64_t count);

    LineQueue& queue_;
    OutputFile& output_;
    LineFormatter formatter_;
    std::atomic<bool> reopen_{false};
    std::atomic<bool> finishing_{false};
    std::atomic<bool> gone_{false};
    std::string trouble_;          // why the output cannot be written now; empty while it can
    std::string lastTrouble_;      // the reason the next drop report gives
    bool resumed_ = false;         // writing works again: a drop report goes out at once
    bool graceStarted_ = false;    // finishing: the output's last second has begun
    std::chrono::steady_clock::time_point lastReport_{};
    std::uint64_t reportCount_ = 0;   // the drops the report being written tells of
    std::uint64_t unwritten_ = 0;
    std::thread thread_;
};

}  // namespace vchat::record
