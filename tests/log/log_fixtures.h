// Fixtures of the log tests: a fixed instant read in UTC (stamps taken from the real clock are
// checked by their shape, with hasShape), and a temporary directory, also as the working
// directory, where saveLog writes.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "tests/support/test_support.h"

namespace vchat::testing {

inline constexpr std::time_t kSampleTime = 1796544238;   // 06.12.2026, 08:03:58 UTC

// Local time is UTC for the test, so stamps of kSampleTime read as above.
class UtcClock : public ::testing::Test {
protected:
    void SetUp() override { useUtcAsLocalTime(); }
};

class LogFile : public UtcClock {
protected:
    TempDir dir;
};

// saveLog writes into the current directory; each case runs in a directory of its own.
class SaveLogInDirectory : public LogFile {
protected:
    void SetUp() override {
        LogFile::SetUp();
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
    }
    void TearDown() override { std::filesystem::current_path(previous); }
    std::filesystem::path previous;
};

}  // namespace vchat::testing
