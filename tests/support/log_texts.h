// Reading a LogView in tests: its texts without the time stamps, and whether a text is there.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "log/log_view.h"
#include "tests/support/test_support.h"

namespace vchat::testing {

// Every stored line starts "dd.mm.yyyy, hh:mm:ss" and two spaces.
inline constexpr std::size_t kStampedPrefix = 22;

// The log's texts without their time stamps, oldest first.
inline std::vector<std::string> logTexts(const LogView& log) {
    std::lock_guard<std::mutex> lock(log.mutex);
    std::vector<std::string> texts;
    for (const LogLine& line : log.lines) texts.push_back(line.text.substr(kStampedPrefix));
    return texts;
}

// How many lines read exactly `text`.
inline int countLines(const LogView& log, const std::string& text) {
    int n = 0;
    for (const std::string& t : logTexts(log)) n += t == text;
    return n;
}

inline bool logHas(const LogView& log, const std::string& text) { return countLines(log, text) > 0; }

// Waits until a line reads exactly `text`; false when the time-out passes first.
inline bool waitForLine(const LogView& log, const std::string& text, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return logHas(log, text); }, timeout);
}

inline bool logHasPrefix(const LogView& log, const std::string& prefix) {
    for (const std::string& t : logTexts(log)) {
        if (t.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

}  // namespace vchat::testing
