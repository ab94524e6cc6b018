#include "log/log_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/log/log_fixtures.h"

namespace vchat {
namespace {

using testing::hasShape;
using testing::kSampleTime;
using testing::UtcClock;

TEST_F(UtcClock, StampIsDayMonthYearThenTime) {
    EXPECT_EQ(formatStamp(kSampleTime), "06.12.2026, 08:03:58");
    EXPECT_EQ(formatStamp(0), "01.01.1970, 00:00:00");
}

TEST_F(UtcClock, AppendAtStoresStampTwoSpacesAndText) {
    LogView log;
    log.appendAt("hello", kSampleTime);
    log.appendAt("", kSampleTime);
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0].text, "06.12.2026, 08:03:58  hello");
    EXPECT_EQ(log.lines[1].text, "06.12.2026, 08:03:58  ");
}

TEST(LogView, AppendUsesTheCurrentTimeInTheStampPattern) {
    LogView log;
    log.append("now");
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_TRUE(hasShape(log.lines[0].text, "##.##.####, ##:##:##  now")) << log.lines[0].text;
}

TEST(LogView, TextIsCutToItsFirst8000Bytes) {
    const std::string stamp = "01.02.2003, 04:05:06";
    struct Case {
        std::string text;
        std::string kept;
    };
    const std::string exact(8000, 'x');
    // A two-byte letter straddling the limit is split: the cut counts bytes.
    const std::string straddling = std::string(7999, 'a') + "\xC3\xA9" + "tail";
    const std::vector<Case> cases = {
        {exact, exact},
        {exact + "y", exact},
        {std::string(20000, 'z'), std::string(8000, 'z')},
        {straddling, std::string(7999, 'a') + "\xC3"},
        {"two\nlines\r\n\tand a tab", "two\nlines\r\n\tand a tab"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(makeLogLine(stamp, c.text), stamp + "  " + c.kept);
    }
    std::string withNul("a\0b", 3);
    EXPECT_EQ(makeLogLine(stamp, withNul), stamp + "  " + withNul);
}

TEST(LogView, KeepsTheNewest2000LinesWithIncreasingIds) {
    LogView log;
    for (int i = 0; i < 2005; ++i) log.appendAt(std::to_string(i), kSampleTime);
    ASSERT_EQ(log.lines.size(), kMaxLogLines);
    EXPECT_EQ(log.lines.front().text, formatStamp(kSampleTime) + "  5");
    EXPECT_EQ(log.lines.back().text, formatStamp(kSampleTime) + "  2004");
    EXPECT_EQ(log.lines.front().id, 6u);
    EXPECT_EQ(log.lines.back().id, 2005u);
    for (std::size_t i = 1; i < log.lines.size(); ++i) {
        ASSERT_EQ(log.lines[i].id, log.lines[i - 1].id + 1);
    }
}

TEST(LogView, ClearEmptiesResetsScrollAndNeverReusesIds) {
    LogView log;
    log.clear();
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(log.scroll, 0);

    log.append("a");
    log.append("b");
    for (int i = 0; i < 7; ++i) log.wheel(1);
    ASSERT_EQ(log.scroll, 7);
    const std::uint64_t lastId = log.lines.back().id;
    log.clear();
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(log.scroll, 0);

    log.append("c");
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_GT(log.lines.front().id, lastId);
}

TEST(LogView, WheelStepsOneLineWithinZeroTo10000) {
    LogView log;
    log.wheel(-1);
    EXPECT_EQ(log.scroll, 0);
    log.wheel(0);
    EXPECT_EQ(log.scroll, 0);
    log.wheel(120);   // one step whatever the amount
    EXPECT_EQ(log.scroll, 1);
    log.wheel(-7);
    EXPECT_EQ(log.scroll, 0);

    // Upward steps stop at 10000 although the store holds far fewer lines.
    log.append("only line");
    for (int i = 0; i < kMaxScroll + 50; ++i) log.wheel(1);
    EXPECT_EQ(log.scroll, kMaxScroll);
    log.wheel(0);
    EXPECT_EQ(log.scroll, kMaxScroll);
    log.wheel(-1);
    EXPECT_EQ(log.scroll, kMaxScroll - 1);

    // Appending keeps the distance from the newest line.
    log.append("another");
    EXPECT_EQ(log.scroll, kMaxScroll - 1);
}

// Checks what must hold whenever the lock is free: at most 2000 lines, every line well formed,
// ids consecutive (lines only leave at the front or all at once), each writer's lines in order
// with none missing between them.
::testing::AssertionResult storeIsSound(const LogView& log, const std::string& stamp) {
    if (log.lines.size() > kMaxLogLines) return ::testing::AssertionFailure() << "too many lines";
    long lastSeq[2] = {-1, -1};
    for (std::size_t i = 0; i < log.lines.size(); ++i) {
        const LogLine& line = log.lines[i];
        if (i > 0 && line.id != log.lines[i - 1].id + 1) {
            return ::testing::AssertionFailure() << "id gap before line " << i;
        }
        if (line.id >= log.nextId) return ::testing::AssertionFailure() << "id from the future";
        const std::string& t = line.text;
        if (t.compare(0, stamp.size() + 2, stamp + "  ") != 0 || t.size() < stamp.size() + 4) {
            return ::testing::AssertionFailure() << "bad line: " << t;
        }
        char writer = t[stamp.size() + 2];
        if ((writer != 'A' && writer != 'B') || t[stamp.size() + 3] != ' ') {
            return ::testing::AssertionFailure() << "bad line: " << t;
        }
        long seq = std::strtol(t.c_str() + stamp.size() + 4, nullptr, 10);
        long& last = lastSeq[writer - 'A'];
        if (last >= 0 && seq != last + 1) {
            return ::testing::AssertionFailure() << "writer " << writer << " line lost or reordered";
        }
        last = seq;
    }
    return ::testing::AssertionSuccess();
}

TEST(LogViewConcurrency, TwoWritersWhileAThirdClearsScrollsAndReads) {
    constexpr int kPerWriter = 20000;
    const std::string stamp = formatStamp(kSampleTime);
    LogView log;
    std::atomic<int> writersDone{0};

    auto writer = [&](char name) {
        for (int i = 0; i < kPerWriter; ++i) {
            log.appendAt(std::string(1, name) + " " + std::to_string(i), kSampleTime);
        }
        writersDone.fetch_add(1);
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');

    int checks = 0;
    bool sound = true;
    std::string failure;
    std::thread reader([&] {
        // At least one pass: on a loaded machine both writers may finish before this thread runs.
        do {
            {
                std::lock_guard<std::mutex> lock(log.mutex);
                auto result = storeIsSound(log, stamp);
                if (!result && sound) {
                    sound = false;
                    failure = result.message();
                }
                ++checks;
            }
            log.wheel(checks % 3 == 0 ? -1 : 1);
            if (checks % 40 == 0) {
                log.clear();
            }
            std::this_thread::yield();
        } while (writersDone.load() < 2);
    });
    a.join();
    b.join();
    reader.join();

    EXPECT_TRUE(sound) << failure;
    EXPECT_GT(checks, 0);
    std::lock_guard<std::mutex> lock(log.mutex);
    EXPECT_TRUE(storeIsSound(log, stamp));
    EXPECT_EQ(log.nextId, 2u * kPerWriter + 1);
    // Unless the reader cleared at the very end, the newest line is the last append of a writer.
    if (!log.lines.empty()) {
        EXPECT_EQ(log.lines.back().id, 2u * kPerWriter);
        std::string last = log.lines.back().text.substr(stamp.size() + 2);
        EXPECT_TRUE(last == "A " + std::to_string(kPerWriter - 1) ||
                    last == "B " + std::to_string(kPerWriter - 1))
            << last;
    }
}

}  // namespace
}  // namespace vchat
