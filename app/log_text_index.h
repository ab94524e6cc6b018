// The log as one read-only text for a screen reader, kept line by line as lines arrive and leave
// the store, so that a request never rebuilds the whole text (up to 2000 lines of 8 kB).
//
// Each stored line becomes one text line: cleaned to valid UTF-8, its own line breaks turned into
// spaces, ended by a line feed. Offsets count characters from the start of the oldest line kept.
// Main thread only; sync takes the store's lock briefly. Nothing here fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "log/log_view.h"

namespace vchat::access {

// What one sync changed: characters removed from the start (lines that left, or a clear), then
// characters appended at the end, and the stored lines that are new (for speaking).
struct LogTextChange {
    std::size_t removedChars = 0;
    std::size_t insertedAt = 0;
    std::size_t insertedChars = 0;
    std::string insertedText;
    std::vector<std::string> newLines;   // as stored, stamp included, oldest first
};

class LogTextIndex {
public:
    LogTextChange sync(const LogView& log);

    std::size_t characterCount() const { return total_; }
    std::size_t lineCount() const { return lines_.size(); }
    // The characters [start, end), clamped to the text.
    std::string text(std::size_t start, std::size_t end) const;
    // The line holding character `offset` (its line feed included): first and one-past-last
    // character, and the line's text. A past-the-end offset gives the last line.
    struct Span {
        std::size_t start = 0;
        std::size_t end = 0;
        std::string text;
    };
    Span lineAt(std::size_t offset) const;

private:
    struct Line {
        std::uint64_t id = 0;
        std::size_t start = 0;   // characters from the first line ever kept (base_ not taken off)
        std::size_t chars = 0;
        std::string text;        // clean, ends with a line feed
    };
    std::size_t lineIndexOf(std::size_t offset) const;

    std::deque<Line> lines_;
    std::size_t base_ = 0;        // start of the oldest line kept
    std::size_t total_ = 0;       // characters kept
    std::uint64_t lastId_ = 0;    // newest line seen
};

}  // namespace vchat::access
