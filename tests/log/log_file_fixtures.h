// Fixtures of the log file tests: a temporary directory with local time in UTC, and the same with
// the directory as the working directory, where saveLog writes.
#pragma once

#include <filesystem>

#include "tests/log/utc_clock.h"
#include "tests/support/test_support.h"

namespace vchat::testing {

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
