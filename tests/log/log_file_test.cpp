#include "log/log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/log/utc_clock.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using vchat::testing::hasShape;
using vchat::testing::kSampleTime;
using vchat::testing::readFile;
using vchat::testing::TempDir;
using vchat::testing::writeFile;

const std::string kBom = "\xEF\xBB\xBF";

class LogFile : public testing::UtcClock {
protected:
    TempDir dir;
};

TEST_F(LogFile, NameCarriesTheLocalDateAndTime) {
    EXPECT_EQ(logFileName(kSampleTime), "chatlog-2026-12-06_08-03-58.txt");
    EXPECT_EQ(logFileName(0), "chatlog-1970-01-01_00-00-00.txt");
}

TEST_F(LogFile, WritesBomThenEveryLineWithCrLf) {
    LogView log;
    log.appendAt("first", kSampleTime);
    log.appendAt("two\nrows and \xC3\xA9", kSampleTime + 1);
    const std::string path = dir.file("out.txt");
    ASSERT_TRUE(writeLogFile(path, log));
    EXPECT_EQ(readFile(path),
              "\xEF\xBB\xBF"
              "06.12.2026, 08:03:58  first\r\n"
              "06.12.2026, 08:03:59  two\nrows and \xC3\xA9\r\n");
    EXPECT_EQ(log.lines.size(), 2u);   // saving leaves the store alone
}

TEST_F(LogFile, EmptyLogGivesJustTheBom) {
    LogView log;
    const std::string path = dir.file("empty.txt");
    ASSERT_TRUE(writeLogFile(path, log));
    EXPECT_EQ(readFile(path), kBom);
}

TEST_F(LogFile, ReplacesAnExistingFile) {
    const std::string path = dir.file("again.txt");
    writeFile(path, std::string(5000, 'o'));
    LogView log;
    log.appendAt("x", kSampleTime);
    ASSERT_TRUE(writeLogFile(path, log));
    EXPECT_EQ(readFile(path), kBom + "06.12.2026, 08:03:58  x\r\n");
}

TEST_F(LogFile, FullLogIsWrittenWhole) {
    LogView log;
    std::string expected = kBom;
    const std::string text(kMaxLogText, 'w');
    for (std::size_t i = 0; i < kMaxLogLines; ++i) log.appendAt(text, kSampleTime);
    for (const LogLine& line : log.lines) expected += line.text + "\r\n";
    const std::string path = dir.file("full.txt");
    ASSERT_TRUE(writeLogFile(path, log));
    EXPECT_EQ(readFile(path).size(), expected.size());
    EXPECT_TRUE(readFile(path) == expected);
}

TEST_F(LogFile, FailureToOpenIsAFailure) {
    LogView log;
    log.append("x");
    EXPECT_FALSE(writeLogFile(dir.file("no/such/dir/log.txt"), log));
    EXPECT_FALSE(writeLogFile(dir.path(), log));   // a directory cannot be opened for writing
}

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

TEST_F(SaveLogInDirectory, SavesUnderADatedNameWithoutDirectory) {
    LogView log;
    log.appendAt("hello", kSampleTime);
    SaveResult result = saveLog(log);
    ASSERT_TRUE(result.ok);
    EXPECT_TRUE(hasShape(result.fileName, "chatlog-####-##-##_##-##-##.txt")) << result.fileName;
    EXPECT_EQ(readFile(dir.file(result.fileName)), kBom + "06.12.2026, 08:03:58  hello\r\n");
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
