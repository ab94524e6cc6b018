// Stamps in the log tests: a fixed instant, a fixture that reads it in UTC, and a shape check for
// stamps taken from the real clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "tests/support/test_platform.h"

namespace vchat::testing {

inline constexpr std::time_t kSampleTime = 1796544238;   // 06.12.2026, 08:03:58 UTC

// True if `text` has the shape of `pattern`, where '#' stands for one decimal digit.
inline bool hasShape(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (pattern[i] == '#' ? !digit : text[i] != pattern[i]) return false;
    }
    return true;
}

// Local time is UTC for the test, so stamps of kSampleTime read as above.
class UtcClock : public ::testing::Test {
protected:
    void SetUp() override {
        useUtcAsLocalTime();
    }
};

}  // namespace vchat::testing
