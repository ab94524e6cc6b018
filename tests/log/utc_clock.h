// Stamps in the log tests: a fixed instant and a fixture that reads it in UTC (stamps taken from
// the real clock are checked by their shape, with hasShape from text.h).
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "tests/support/test_platform.h"
#include "tests/support/text.h"

namespace vchat::testing {

inline constexpr std::time_t kSampleTime = 1796544238;   // 06.12.2026, 08:03:58 UTC

// Local time is UTC for the test, so stamps of kSampleTime read as above.
class UtcClock : public ::testing::Test {
protected:
    void SetUp() override {
        useUtcAsLocalTime();
    }
};

}  // namespace vchat::testing
