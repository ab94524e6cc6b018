// The layout steps on strings and numbers: where clusters begin, where rows break, in which order
// a row's runs show. Widths are a fixed 10 pixels per cluster, so rows are easy to reckon.
#include "text/layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vchat::text {
namespace {

// Byte offsets where clusters begin.
std::vector<std::uint32_t> clusterOffsets(const std::string& s) {
    const std::vector<CodePoint> points = decodeUtf8(s);
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t start : clusterStarts(points)) offsets.push_back(points[start].offset);
    return offsets;
}

TEST(Clusters, KeepWhatReadsAsOneCharacterTogether) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<std::uint32_t> starts;
    };
    const Case cases[] = {
        {"plain letters", "ab", {0, 1}},
        {"e + combining acute, then x", "e\xCC\x81x", {0, 3}},
        {"Devanagari ksa: ka virama ssa", "\xE0\xA4\x95\xE0\xA5\x8D\xE0\xA4\xB7", {0}},
        {"Devanagari hi: ha + vowel sign i", "\xE0\xA4\xB9\xE0\xA4\xBF", {0}},
        {"thumb with a skin tone", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", {0}},
        {"family of three joined by ZWJ", "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7", {0}},
        {"two flags: four indicators pair up", "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7", {0, 8}},
        {"keycap one", "1\xEF\xB8\x8F\xE2\x83\xA3", {0}},
        {"heart with U+FE0F", "\xE2\x9D\xA4\xEF\xB8\x8F", {0}},
        {"Hangul jamo L V T", "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", {0}},
        {"CR LF are two controls", "a\r\nb", {0, 1, 2, 3}},
        {"a mark after a control stands alone", "\n\xCC\x81", {0, 1}},
        {"invalid bytes: one cluster each", "\xC3\xFF\xE2\x82", {0, 1, 2, 3}},
    };
    for (const Case& c : cases) EXPECT_EQ(clusterOffsets(c.text), c.starts) << c.what;
}

// One font for everything but Hebrew (slot 1), so runs split at the scripts only.
Paragraph laidOut(const std::string& s) {
    return itemize(s, [](const std::vector<CodePoint>& p, std::size_t begin, std::size_t) {
        return p[begin].value >= 0x590 && p[begin].value < 0x600 ? 1 : 0;
    });
}

int tenPerCluster(std::size_t first, std::size_t last) { return static_cast<int>(last - first) * 10; }

std::vector<std::string> rowTexts(const std::string& s, int width) {
    const Paragraph p = laidOut(s);
    std::vector<std::string> rows;
    for (const Row& row : wrapRows(p.clusters, width, tenPerCluster)) {
        if (row.first == row.last) {
            rows.emplace_back();
            continue;
        }
        rows.push_back(s.substr(p.clusters[row.first].begin, p.clusters[row.last - 1].end - p.clusters[row.first].begin));
    }
    return rows;
}

TEST(WrapRows, FollowsTheFontRenderersRules) {
    using Rows = std::vector<std::string>;
    EXPECT_EQ(rowTexts("ab cd ef", 300), (Rows{"ab cd ef"}));
    EXPECT_EQ(rowTexts("ab cd ef", 65), (Rows{"ab cd ", "ef"})) << "ends after the last space that fits";
    EXPECT_EQ(rowTexts("ab cd ef", 55), (Rows{"ab ", "cd ef"})) << "the space after cd does not fit";
    EXPECT_EQ(rowTexts("abcdefgh", 35), (Rows{"abc", "def", "gh"})) << "a word longer than the row is cut";
    EXPECT_EQ(rowTexts("ab\r\ncd\n", 300), (Rows{"ab", "", "cd"})) << "CR and LF each end a row; a last break adds none";
    EXPECT_EQ(rowTexts("\n\nab", 300), (Rows{"", "", "ab"}));
    EXPECT_EQ(rowTexts("abc", 1), (Rows{"a", "b", "c"})) << "at least one cluster a row";
    EXPECT_EQ(rowTexts("ab\tcd", 35), (Rows{"ab\t", "cd"}));
    EXPECT_EQ(rowTexts("a b c", 0), (Rows{"a b c"})) << "width 0 breaks at line breaks only";
}

TEST(WrapRows, NeverStartsARowInsideAClusterAtAnyWidth) {
    // Marks, conjuncts, emoji sequences and flags between words and inside long ones.
    const std::string s = "e\xCC\x81t\xC3\xA9 \xE0\xA4\x95\xE0\xA5\x8D\xE0\xA4\xB7\xE0\xA4\xBF "
                          "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"
                          "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9 1\xEF\xB8\x8F\xE2\x83\xA3x";
    const std::vector<std::uint32_t> starts = {0, 3, 4, 6, 7, 19, 20, 28, 36, 47, 48, 55};
    ASSERT_EQ(clusterOffsets(s), starts);
    const Paragraph p = laidOut(s);
    for (int width = 1; width <= 400; ++width) {
        std::size_t next = 0;
        for (const Row& row : wrapRows(p.clusters, width, tenPerCluster)) {
            ASSERT_EQ(row.first, next) << "width " << width << ": rows leave a gap";
            ASSERT_LT(row.first, row.last) << "width " << width;
            ASSERT_TRUE(row.last - row.first == 1 || tenPerCluster(row.first, row.last) <= width) << "width " << width;
            next = row.last;
        }
        ASSERT_EQ(next, p.clusters.size()) << "width " << width;
    }
}

// The text of each visual run, left to right, and whether it reads right to left.
std::vector<std::pair<std::string, bool>> shown(const std::string& s) {
    const Paragraph p = laidOut(s);
    std::vector<std::pair<std::string, bool>> runs;
    for (const Run& run : visualRuns(p, Row{0, p.clusters.size()}))
        runs.emplace_back(s.substr(p.clusters[run.first].begin, p.clusters[run.last - 1].end - p.clusters[run.first].begin),
                          run.rightToLeft);
    return runs;
}

// The longest start that fits, found at a cost bounded by the room, not by how many pieces there are.
TEST(LongestFitting, FindsTheLongestStartThatFitsMeasuringNoMoreThanTheRoomHolds) {
    struct Case {
        std::size_t n;
        std::int64_t room;
        int pieceWidth;
        std::size_t count;
    };
    const Case cases[] = {
        {0, 100, 10, 0},        {5, -1, 10, 0},       {5, 0, 10, 0},      {5, 9, 10, 0},
        {5, 10, 10, 1},         {5, 35, 10, 3},       {5, 50, 10, 5},     {5, 1000, 10, 5},
        {1000000000, 8192, 7, 1170}, {1000000000, 100, 0, 101},   // zero-wide pieces: room + 1 at most
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.n << " pieces of " << c.pieceWidth << " in " << c.room);
        std::size_t measured = 0;
        const Fit fit = longestFitting(c.n, c.room, [&](std::size_t k) {
            measured += k;
            return static_cast<std::int64_t>(k) * c.pieceWidth;
        });
        EXPECT_EQ(fit.count, c.count);
        EXPECT_EQ(fit.width, static_cast<std::int64_t>(c.count) * c.pieceWidth);
        EXPECT_LE(measured, 4 * (static_cast<std::size_t>(std::max<std::int64_t>(c.room, 0)) + 1));
    }
}

TEST(VisualRuns, RightToLeftWordsReverseNumbersStayLeftToRight) {
    const std::string shalom = "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D";
    const std::string olam = "\xD7\xA2\xD7\x95\xD7\x9C\xD7\x9D";
    using Runs = std::vector<std::pair<std::string, bool>>;
    // A Hebrew paragraph: the first word shows rightmost, the number between stays left to right.
    EXPECT_EQ(shown(shalom + " 123 " + olam), (Runs{{olam, true}, {" ", true}, {"123", false}, {" ", true}, {shalom, true}}));
    // Inside a left-to-right paragraph, two Hebrew words swap places with the space between them.
    EXPECT_EQ(shown("ab " + shalom + " " + olam + " cd"),
              (Runs{{"ab ", false}, {olam, true}, {" ", true}, {shalom, true}, {" ", false}, {"cd", false}}));
    // Brackets around Hebrew in a Hebrew paragraph take its direction (the shaper mirrors them).
    EXPECT_EQ(shown(shalom + " (" + olam + ")"), (Runs{{")", true}, {olam, true}, {" (", true}, {shalom, true}}));
    EXPECT_EQ(shown("plain"), (Runs{{"plain", false}}));
}

}  // namespace
}  // namespace vchat::text
