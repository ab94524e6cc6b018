// Reading a LogView in tests: its texts without the time stamps, and whether a text is there.
#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "log/log_view.h"
#include "tests/support/test_support.h"

namespace vchat::testing {

// The log's texts without their time stamps ("dd.mm.yyyy, hh:mm:ss" and two spaces), oldest first.
inline std::vector<std::string> logTexts(const LogView& log) {
    std::lock_guard<std::mutex> lock(log.mutex);
    std::vector<std::string> texts;
    for (const LogLine& line : log.lines) texts.push_back(line.text.substr(22));
    return texts;
}

// How many lines read exactly `text`.
inline int countLines(const LogView& log, const std::string& text) {
    const std::vector<std::string> texts = logTexts(log);
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

inline bool logHas(const LogView& log, const std::string& text) { return countLines(log, text) > 0; }

// Waits until a line reads exactly `text`; false when the time-out passes first.
inline bool waitForLine(const LogView& log, const std::string& text, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return logHas(log, text); }, timeout);
}

inline bool logHasPrefix(const LogView& log, const std::string& prefix) {
    const std::vector<std::string> texts = logTexts(log);
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return startsWith(t, prefix); });
}

}  // namespace vchat::testing
