// Log file failures that only POSIX systems can stage: a read-only directory, a device that is always
// full, and a working directory removed while in use (Windows refuses to remove one).
#include "log/log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/log/log_fixtures.h"

namespace vchat {
namespace {

using vchat::testing::LogFile;
using vchat::testing::SaveLogInDirectory;

TEST_F(LogFile, FailureToOpenInAReadOnlyDirectory) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
    const std::string locked = dir.file("locked");
    ASSERT_EQ(mkdir(locked.c_str(), 0500), 0);
    LogView log;
    EXPECT_FALSE(writeLogFile(locked + "/log.txt", log));
    chmod(locked.c_str(), 0700);
}

TEST_F(LogFile, FullDeviceIsAFailureNotASave) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    // Empty log: the three BOM bytes sit in the buffer until the close, which must report them.
    LogView empty;
    EXPECT_FALSE(writeLogFile("/dev/full", empty));
    // Large log: the writes themselves fail long before the close.
    LogView big;
    for (int i = 0; i < 100; ++i) big.append(std::string(kMaxLogText, 'b'));
    EXPECT_FALSE(writeLogFile("/dev/full", big));
}

TEST_F(SaveLogInDirectory, DirectoryThatIsGoneIsAFailure) {
    // Works as root too: nothing can be created in a removed working directory.
    const std::string gone = dir.file("gone");
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    std::filesystem::current_path(gone);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    LogView log;
    log.append("x");
    SaveResult result = saveLog(log);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.fileName.empty());
}

}  // namespace
}  // namespace vchat
