#include "tools/record/record_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vchat::record {

namespace {

constexpr const char* kStandardOutputName = "standard output";
constexpr const char* kProgramPrefix = "veldra-record: ";
constexpr auto kRetryWait = std::chrono::seconds(1);
constexpr auto kIdleWait = std::chrono::milliseconds(200);

void report(const std::string& error) {
    std::fprintf(stderr, "%s%s\n", kProgramPrefix, error.c_str());
}

bool isEmptyRegularFile(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}

}  // namespace

void LineQueue::push(QueuedLine line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(std::move(line));
    }
    ready_.notify_one();
}

bool LineQueue::popAll(std::deque<QueuedLine>& out, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, timeout, [&] { return !lines_.empty() || closed_ || woken_; });
    woken_ = false;
    if (out.empty()) {
        out.swap(lines_);
    } else {
        for (QueuedLine& line : lines_) out.push_back(std::move(line));
        lines_.clear();
    }
    return !(closed_ && out.empty());
}

void LineQueue::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    ready_.notify_one();
}

void LineQueue::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    ready_.notify_one();
}

OutputFile::~OutputFile() {
    if (fd_ > STDERR_FILENO) ::close(fd_);
}

bool OutputFile::open(const std::string& path, std::string_view fileStart, std::string& error) {
    path_ = path;
    fileStart_ = std::string(fileStart);
    if (path.empty()) {
        fd_ = STDOUT_FILENO;
        name_ = kStandardOutputName;
        return isEmptyRegularFile(fd_) ? write(fileStart_, error) : true;
    }
    name_ = path;
    return reopen(error);
}

bool OutputFile::reopen(std::string& error) {
    if (path_.empty()) return true;
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot open \"" + path_ + "\": " + std::strerror(errno);
        return false;
    }
    if (fd_ > STDERR_FILENO) ::close(fd_);
    fd_ = fd;
    return isEmptyRegularFile(fd_) ? write(fileStart_, error) : true;
}

bool OutputFile::write(std::string_view bytes, std::string& error) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            error = "cannot write to " + name_ + ": " + std::strerror(errno);
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

OutputWriter::OutputWriter(LineQueue& queue, OutputFile& output, LineFormatter formatter)
    : queue_(queue), output_(output), formatter_(formatter), thread_(&OutputWriter::run, this) {}

OutputWriter::~OutputWriter() { finish(); }

void OutputWriter::requestReopen() {
    reopen_.store(true);
    queue_.wake();
}

void OutputWriter::finish() {
    finishing_.store(true);
    queue_.close();
    if (thread_.joinable()) thread_.join();
}

void OutputWriter::run() {
    std::deque<QueuedLine> batch;
    std::string error;
    bool failing = false;
    for (;;) {
        if (reopen_.exchange(false) && !output_.reopen(error)) report(error);
        if (batch.empty() && !queue_.popAll(batch, kIdleWait)) return;
        while (!batch.empty() && !reopen_.load()) {
            const QueuedLine& next = batch.front();
            if (!output_.write(formatter_.format(next.line, next.when), error)) {
                if (!failing) report(error);   // once per run of failures, not once per line
                failing = true;
                if (finishing_.load()) return;
                std::this_thread::sleep_for(kRetryWait);
                break;
            }
            failing = false;
            batch.pop_front();
        }
    }
}

}  // namespace vchat::record
