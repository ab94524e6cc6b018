#include "log/log_file.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/log/log_fixtures.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using vchat::testing::hasShape;
using vchat::testing::kSampleTime;
using vchat::testing::LogFile;
using vchat::testing::readFile;
using vchat::testing::SaveLogInDirectory;
using vchat::testing::writeFile;

const std::string kBom = "\xEF\xBB\xBF";

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

TEST_F(SaveLogInDirectory, SavesUnderADatedNameWithoutDirectory) {
    LogView log;
    log.appendAt("hello", kSampleTime);
    SaveResult result = saveLog(log);
    ASSERT_TRUE(result.ok);
    EXPECT_TRUE(hasShape(result.fileName, "chatlog-####-##-##_##-##-##.txt")) << result.fileName;
    EXPECT_EQ(readFile(dir.file(result.fileName)), kBom + "06.12.2026, 08:03:58  hello\r\n");
}

}  // namespace
}  // namespace vchat
