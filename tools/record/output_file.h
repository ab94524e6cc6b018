// Where the recorder's lines go, and the only operating-system calls of its output: standard output
// or a file opened for appending (POSIX: output_file_posix.cpp).
//
// A regular file is written with plain writes (they wait for the disk, never for a reader). Anything
// else (a pipe, a FIFO, a terminal, a socket) is written without blocking, through a description of
// its own where one can be opened, so a reader that stops reading never holds the writer: the writer
// sees Busy and waits with waitWritable, which also notices a reader that has gone.
//
// Error convention: open and reopen return bool with a one-line `error`; writes return a WriteResult.
// Nothing throws.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vchat::record {

enum class WriteOutcome {
    Wrote,    // `bytes` of the data were taken (possibly fewer than offered)
    Busy,     // nothing taken now; the output would block
    Failed,   // an error that may pass (no space, an I/O error, a read-only file system)
    Gone,     // the reader has closed its end: nothing will ever be taken again
};

struct WriteResult {
    WriteOutcome outcome = WriteOutcome::Wrote;
    std::size_t bytes = 0;
    std::string error;   // Failed: "cannot write to NAME: reason"
};

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Standard output (empty path) or `path`, created when missing. A new or empty file first gets
    // `fileStart`, ahead of the first bytes written to it.
    bool open(const std::string& path, std::string_view fileStart, std::string& error);
    // Opens the path again (the old file may have been moved away); keeps the old one on failure.
    // Does nothing for standard output.
    bool reopen(std::string& error);
    // One write call (a signal restarts it): Wrote counts bytes of `data` only, never of fileStart.
    WriteResult writeSome(std::string_view data);
    // Waits up to `ms` milliseconds until the output takes bytes again: Wrote when it may, Busy when
    // the time ran out, Gone when the reader has closed its end.
    WriteOutcome waitWritable(int ms);
    const std::string& name() const { return name_; }
    // True when the output opened is a terminal.
    bool terminal() const { return terminal_; }

private:
    bool adopt(int fd, bool owned, std::string& error);

    int fd_ = -1;
    bool owned_ = false;        // closed by this object (not the inherited standard output)
    bool regular_ = false;
    bool socket_ = false;       // written with non-blocking sends
    bool terminal_ = false;
    std::string path_;
    std::string name_;
    std::string fileStart_;
    std::string_view startLeft_;   // what of fileStart_ the current file still lacks
};

}  // namespace vchat::record
