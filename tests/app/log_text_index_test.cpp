// The log as one text kept line by line: lines arriving, the oldest leaving at the store's limit,
// a clear, and what a reader asks for (ranges and lines) in characters.
#include <gtest/gtest.h>

#include <string>

#include "app/log_text_index.h"
#include "log/log_view.h"

namespace vchat::access {
namespace {

constexpr std::time_t kWhen = 1700000000;

std::string stamped(const std::string& text) { return makeLogLine(formatStamp(kWhen), text) + "\n"; }

TEST(LogTextIndex, LinesArriveAsInsertionsAtTheEnd) {
    LogView log;
    LogTextIndex index;
    log.appendAt("first", kWhen);
    log.appendAt("topic\nsecond \xFF", kWhen);
    LogTextChange c = index.sync(log);
    EXPECT_EQ(c.removedChars, 0u);
    EXPECT_EQ(c.insertedAt, 0u);
    EXPECT_EQ(c.newLines.size(), 2u);
    const std::string first = stamped("first");
    const std::string second = stamped("topic second \xEF\xBF\xBD");   // one line, cleaned
    EXPECT_EQ(c.insertedText, first + second);
    EXPECT_EQ(index.characterCount(), first.size() + second.size() - 2);   // U+FFFD: 3 bytes, 1 character
    EXPECT_EQ(index.lineCount(), 2u);

    // Nothing new: nothing changes, nothing spoken again.
    c = index.sync(log);
    EXPECT_EQ(c.insertedChars + c.removedChars + c.newLines.size(), 0u);

    log.appendAt("third", kWhen);
    c = index.sync(log);
    EXPECT_EQ(c.insertedAt, index.characterCount() - stamped("third").size());
    EXPECT_EQ(c.newLines, std::vector<std::string>{makeLogLine(formatStamp(kWhen), "third")});
}

TEST(LogTextIndex, ReaderRangesAndLinesCountCharacters) {
    LogView log;
    LogTextIndex index;
    log.appendAt("\xC3\xA9t\xC3\xA9", kWhen);
    log.appendAt("next", kWhen);
    index.sync(log);
    const std::string a = stamped("\xC3\xA9t\xC3\xA9");
    const std::size_t aChars = a.size() - 2;
    EXPECT_EQ(index.text(0, 1000), a + stamped("next"));
    EXPECT_EQ(index.text(aChars - 4, aChars + 2), "\xC3\xA9t\xC3\xA9\n" + stamped("next").substr(0, 2));
    EXPECT_EQ(index.text(5, 5), "");
    EXPECT_EQ(index.text(9, 3), "");
    const LogTextIndex::Span first = index.lineAt(aChars - 1);
    EXPECT_EQ(first.start, 0u);
    EXPECT_EQ(first.end, aChars);
    EXPECT_EQ(first.text, a);
    const LogTextIndex::Span second = index.lineAt(aChars);
    EXPECT_EQ(second.start, aChars);
    EXPECT_EQ(second.text, stamped("next"));
    EXPECT_EQ(index.lineAt(1u << 30).text, stamped("next"));
}

TEST(LogTextIndex, OldestLinesLeaveFromTheStartAndClearRemovesAll) {
    LogView log;
    LogTextIndex index;
    for (std::size_t i = 0; i < kMaxLogLines; ++i) log.appendAt("line " + std::to_string(i), kWhen);
    index.sync(log);
    const std::size_t line0 = stamped("line 0").size();
    log.appendAt("newest", kWhen);   // pushes "line 0" out
    LogTextChange c = index.sync(log);
    EXPECT_EQ(c.removedChars, line0);
    EXPECT_EQ(index.lineCount(), kMaxLogLines);
    EXPECT_EQ(index.lineAt(0).text, stamped("line 1"));
    EXPECT_EQ(index.lineAt(index.characterCount() - 1).text, stamped("newest"));
    EXPECT_EQ(c.insertedAt + c.insertedChars, index.characterCount());

    // Lines that came and went between two syncs are neither kept nor lost track of.
    for (int i = 0; i < 3000; ++i) log.appendAt("burst " + std::to_string(i), kWhen);
    c = index.sync(log);
    EXPECT_EQ(index.lineCount(), kMaxLogLines);
    EXPECT_EQ(index.lineAt(0).text, stamped("burst 1000"));
    EXPECT_EQ(c.newLines.size(), kMaxLogLines);

    const std::size_t before = index.characterCount();
    log.clear();
    c = index.sync(log);
    EXPECT_EQ(c.removedChars, before);
    EXPECT_EQ(index.characterCount(), 0u);
    EXPECT_EQ(index.text(0, 10), "");
    log.appendAt("after clear", kWhen);
    c = index.sync(log);
    EXPECT_EQ(c.insertedAt, 0u);
    EXPECT_EQ(index.text(0, 100), stamped("after clear"));
}

}  // namespace
}  // namespace vchat::access
