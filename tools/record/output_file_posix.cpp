#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/record/output_file.h"

namespace vchat::record {

namespace {

constexpr const char* kStandardOutputName = "standard output";

}  // namespace

OutputFile::~OutputFile() {
    if (owned_) ::close(fd_);
}

bool OutputFile::open(const std::string& path, std::string_view fileStart, std::string& error) {
    path_ = path;
    fileStart_ = std::string(fileStart);
    if (!path.empty()) {
        name_ = path;
        return reopen(error);
    }
    name_ = kStandardOutputName;
    // Standard output's description is shared with whoever started us (a shell's terminal): it must
    // stay blocking for them, so a pipe, FIFO or terminal is opened again, non-blocking, for us alone.
    struct stat st {};
    if (fstat(STDOUT_FILENO, &st) != 0) {
        error = std::string("cannot use standard output: ") + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISSOCK(st.st_mode)) {
        const std::string self = "/proc/self/fd/" + std::to_string(STDOUT_FILENO);
        const int fd = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) return adopt(fd, true, error);
    }
    return adopt(STDOUT_FILENO, false, error);
}

bool OutputFile::reopen(std::string& error) {
    if (path_.empty()) return true;
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        error = "cannot open \"" + path_ + "\": " + std::strerror(errno);
        return false;
    }
    return adopt(fd, true, error);
}

bool OutputFile::adopt(int fd, bool owned, std::string& error) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error = "cannot use " + name_ + ": " + std::strerror(errno);
        if (owned) ::close(fd);
        return false;
    }
    if (owned_) ::close(fd_);
    fd_ = fd;
    owned_ = owned;
    regular_ = S_ISREG(st.st_mode);
    socket_ = S_ISSOCK(st.st_mode);
    terminal_ = isatty(fd) == 1;
    // Our own description of a pipe or device: non-blocking affects nobody else.
    if (owned && !regular_ && !socket_) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    startLeft_ = regular_ && st.st_size == 0 ? std::string_view(fileStart_) : std::string_view();
    return true;
}

WriteResult OutputFile::writeSome(std::string_view data) {
    std::string_view* part = &data;
    if (!startLeft_.empty()) part = &startLeft_;
    std::size_t size = part->size();
    // Inherited blocking descriptor (no own one could be opened): write only what poll promises.
    const bool blocking = !owned_ && !regular_ && !socket_;
    if (blocking) {
        if (waitWritable(0) != WriteOutcome::Wrote) return {WriteOutcome::Busy, 0, {}};
        size = std::min<std::size_t>(size, PIPE_BUF);
    }
    for (;;) {
        const ssize_t n = socket_ ? ::send(fd_, part->data(), size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                  : ::write(fd_, part->data(), size);
        if (n >= 0) {
            part->remove_prefix(static_cast<std::size_t>(n));
            return {WriteOutcome::Wrote, part == &data ? static_cast<std::size_t>(n) : 0, {}};
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {WriteOutcome::Busy, 0, {}};
        if (errno == EPIPE || errno == ECONNRESET) return {WriteOutcome::Gone, 0, {}};
        return {WriteOutcome::Failed, 0, "cannot write to " + name_ + ": " + std::strerror(errno)};
    }
}

WriteOutcome OutputFile::waitWritable(int ms) {
    if (regular_) return WriteOutcome::Wrote;
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, ms) <= 0) return WriteOutcome::Busy;
    // A pipe's write end reports an error once no reader is left; a socket or terminal a hang-up.
    if (p.revents & (POLLERR | POLLHUP)) return WriteOutcome::Gone;
    return WriteOutcome::Wrote;
}

}  // namespace vchat::record
