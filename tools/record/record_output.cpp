#include "tools/record/record_output.h"

#include <cstdio>

#include "tools/record/record_options.h"

namespace vchat::record {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr const char* kProgramPrefix = "veldra-record: ";
constexpr const char* kWaitingFormat = "%s; lines wait in memory (at most %s, the newest dropped beyond)";
constexpr const char* kStalledFormat = "cannot write to %s: the reader has taken nothing for %lld s";
constexpr const char* kResumedFormat = "writing to %s resumed";
constexpr const char* kDroppedFormat = "lines dropped: %llu (%s; %s of lines were waiting to be written)";
constexpr const char* kLaggingText = "the output did not keep up";
constexpr auto kRetryWait = std::chrono::seconds(1);
constexpr auto kIdleWait = std::chrono::milliseconds(200);
constexpr int kBusyWaitMs = 200;
// While the output merely lags, drops are reported at most this often.
constexpr auto kReportGap = std::chrono::seconds(1);
// Finishing, an output that takes nothing for this long gets no more.
constexpr auto kFinishGrace = std::chrono::seconds(1);

void report(const std::string& text) { std::fprintf(stderr, "%s%s\n", kProgramPrefix, text.c_str()); }

// The texts hold paths of any length: sized first, then written.
template <typename... Args>
std::string printed(const char* format, Args... args) {
    std::string text(static_cast<std::size_t>(std::snprintf(nullptr, 0, format, args...)), '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

}  // namespace

std::size_t waitingCost(const std::string& line) { return line.capacity() + kLineOverhead; }

void LineQueue::push(std::string line) {
    // A line built by appending may hold twice its size; what waits should hold what it needs.
    if (line.capacity() > line.size() + line.size() / 8 + 32) line.shrink_to_fit();
    const std::size_t cost = waitingCost(line);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (waitingBytes_ + cost > limit_) {
            ++dropped_;
            return;
        }
        waitingBytes_ += cost;
        lines_.push_back(std::move(line));
    }
    ready_.notify_one();
}

bool LineQueue::pop(std::string& line, std::size_t& cost, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, timeout, [&] { return !lines_.empty() || closed_ || woken_; });
    woken_ = false;
    if (lines_.empty()) return false;
    line = std::move(lines_.front());
    lines_.pop_front();
    cost = waitingCost(line);
    return true;
}

void LineQueue::release(std::size_t cost) {
    std::lock_guard<std::mutex> lock(mutex_);
    waitingBytes_ -= cost;
}

void LineQueue::pause(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, timeout, [&] { return closed_ || woken_; });
    woken_ = false;
}

void LineQueue::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    ready_.notify_all();
}

void LineQueue::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

bool LineQueue::closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

std::uint64_t LineQueue::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

std::uint64_t LineQueue::takeDropped() {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t n = dropped_;
    dropped_ = 0;
    return n;
}

std::size_t LineQueue::waitingLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
}

OutputWriter::OutputWriter(LineQueue& queue, OutputFile& output, LineFormatter formatter)
    : queue_(queue), output_(output), formatter_(formatter), thread_(&OutputWriter::run, this) {}

OutputWriter::~OutputWriter() { finish(); }

void OutputWriter::requestReopen() {
    reopen_.store(true);
    queue_.wake();
}

void OutputWriter::finish() {
    if (!thread_.joinable()) return;
    finishing_.store(true);
    queue_.close();
    thread_.join();
    unwritten_ += queue_.waitingLines() + queue_.dropped();
}

void OutputWriter::run() {
    std::string line;
    std::size_t cost = 0;
    while (!gone_.load()) {
        reopenIfAsked();   // between lines: at once, not only with the next line
        if (!queue_.pop(line, cost, kIdleWait)) {
            if (queue_.closed()) break;
            if (output_.waitWritable(0) == WriteOutcome::Gone) gone_.store(true);
            else if (reportDue() && !writeReport()) return;   // drops whose report waited for its second
            continue;
        }
        const bool written = writeLine(line);
        queue_.release(cost);
        if (!written) {
            ++unwritten_;
            return;
        }
    }
    // The drops no report has told of yet, while the output still takes lines.
    if (!gone_.load() && trouble_.empty() && queue_.dropped() > 0) writeReport();
}

bool OutputWriter::reportDue() const {
    return queue_.dropped() > 0 && (resumed_ || !trouble_.empty() || finishing_.load() ||
                                    SteadyClock::now() - lastReport_ >= kReportGap);
}

bool OutputWriter::writeLine(std::string& line) {
    for (;;) {
        switch (writeOut(line, false)) {
            case Step::Written: return true;
            case Step::GaveUp: return false;
            case Step::ReportFirst:
                if (!writeReport()) return false;
                break;
        }
    }
}

bool OutputWriter::writeReport() {
    reportCount_ = 0;
    std::string bytes;
    if (writeOut(bytes, true) != Step::Written) {
        unwritten_ += reportCount_;
        return false;
    }
    lastReport_ = SteadyClock::now();
    lastTrouble_.clear();
    resumed_ = false;
    return true;
}

OutputWriter::Step OutputWriter::writeOut(std::string& bytes, bool isReport) {
    std::string_view rest(bytes);
    auto stuckSince = SteadyClock::now();
    for (;;) {
        if (rest.size() == bytes.size()) {   // nothing of it written yet
            reopenIfAsked();   // only between lines: a line is never split across two files
            if (isReport) {
                // Made again before every try, so it counts every drop until it goes out.
                reportCount_ += queue_.takeDropped();
                bytes = dropReport(reportCount_);
                rest = bytes;
            } else if (reportDue()) {
                return Step::ReportFirst;
            }
        }
        if (rest.empty()) return Step::Written;
        const WriteResult result = output_.writeSome(rest);
        switch (result.outcome) {
            case WriteOutcome::Wrote:
                rest.remove_prefix(result.bytes);
                stuckSince = SteadyClock::now();
                if (!trouble_.empty()) {
                    report(printed(kResumedFormat, output_.name().c_str()));
                    lastTrouble_ = trouble_;
                    trouble_.clear();
                    resumed_ = true;
                }
                break;
            case WriteOutcome::Gone:
                gone_.store(true);
                return Step::GaveUp;
            case WriteOutcome::Failed:
                startTrouble(result.error);
                if (finishing_.load()) return Step::GaveUp;
                queue_.pause(kRetryWait);
                break;
            case WriteOutcome::Busy: {
                if (finishing_.load() && !graceStarted_) {   // the grace runs from the finish on
                    graceStarted_ = true;
                    stuckSince = SteadyClock::now();
                }
                const auto stuck = SteadyClock::now() - stuckSince;
                if (stuck >= kStallAfter) {
                    startTrouble(printed(kStalledFormat, output_.name().c_str(),
                                         static_cast<long long>(std::chrono::seconds(kStallAfter).count())));
                }
                if (finishing_.load() && stuck >= kFinishGrace) return Step::GaveUp;
                if (output_.waitWritable(kBusyWaitMs) == WriteOutcome::Gone) {
                    gone_.store(true);
                    return Step::GaveUp;
                }
                break;
            }
        }
    }
}

void OutputWriter::reopenIfAsked() {
    if (!reopen_.exchange(false)) return;
    std::string error;
    if (!output_.reopen(error)) report(error);
}

void OutputWriter::startTrouble(const std::string& reason) {
    if (!trouble_.empty()) return;   // one line per episode
    trouble_ = reason;
    report(printed(kWaitingFormat, trouble_.c_str(), sizeText(queue_.limit()).c_str()));
}

std::string OutputWriter::dropReport(std::uint64_t count) {
    const std::string& why = !trouble_.empty() ? trouble_ : !lastTrouble_.empty() ? lastTrouble_ : kLaggingText;
    const std::string text = printed(kDroppedFormat, static_cast<unsigned long long>(count), why.c_str(),
                                     sizeText(queue_.limit()).c_str());
    return formatter_.format(WorkerLine{LineKind::Status, {}, text}, WallClock::now());
}

}  // namespace vchat::record
