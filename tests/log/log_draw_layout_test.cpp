// The two walks of the log view over made-up line heights: which lines are drawn, and where.
#include "log/log_draw.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace vchat {
namespace {

// The window's log area: text from y 439, fitting height 192, no line starts at or below y 631.
constexpr Rect kArea{20, 435, 1400, 200};
constexpr std::int32_t kFontHeight = 19;   // so an unrenderable line fits as 21
constexpr std::optional<std::int32_t> kUnrenderable = std::nullopt;

using Heights = std::vector<std::optional<std::int32_t>>;

Heights uniform(std::size_t count, std::int32_t height) {
    return Heights(count, height);
}

struct Expected {
    std::size_t start;
    std::size_t end;
    std::vector<std::pair<std::size_t, std::int32_t>> placed;   // index, y
};

// `count` lines of 19 pixels placed one below the other from `first`, the top one at y 439.
std::vector<std::pair<std::size_t, std::int32_t>> rows(std::size_t first, std::size_t count) {
    std::vector<std::pair<std::size_t, std::int32_t>> result;
    for (std::size_t i = 0; i < count; ++i) result.push_back({first + i, 439 + 19 * static_cast<std::int32_t>(i)});
    return result;
}

struct Case {
    std::string name;
    Heights heights;
    std::int32_t scroll;
    Expected expected;
};

std::vector<Case> cases() {
    return {
        {"empty log", {}, 0, {0, 0, {}}},
        {"empty log scrolled", {}, 10000, {0, 0, {}}},
        // Ten lines of 19 fill 190 of the 192 pixels; the eleventh would pass it.
        {"newest ten fit at scroll 0", uniform(30, 19), 0, {20, 30, rows(20, 10)}},
        {"negative scroll counts as 0", uniform(30, 19), -3, {20, 30, rows(20, 10)}},
        // The window moves up one line and the newest line is still drawn below it, at y 629.
        {"scroll 1 draws the newer line below", uniform(30, 19), 1, {19, 29, rows(19, 11)}},
        {"scroll 5", uniform(30, 19), 5, {15, 25, rows(15, 11)}},
        {"scroll count - 1 keeps line 0 in the window", uniform(30, 19), 29, {0, 1, rows(0, 11)}},
        {"scroll at count starts from the oldest", uniform(30, 19), 30, {0, 0, rows(0, 11)}},
        {"scroll past count starts from the oldest", uniform(30, 19), 10000, {0, 0, rows(0, 11)}},
        {"short log starts at the top", uniform(3, 19), 0, {0, 3, rows(0, 3)}},
        // Lines that sum to exactly the fitting height all fit; one pixel more does not.
        {"exact fit", {1, 96, 96}, 0, {1, 3, {{1, 439}, {2, 535}}}},
        {"newest line alone too tall, scroll 0: nothing drawn", {19, 19, 193}, 0, {3, 3, {}}},
        {"line of exactly the fitting height fits", {19, 19, 192}, 0, {2, 3, {{2, 439}}}},
        {"too tall line at end - 1 when scrolled: drawing starts at end", {19, 500, 19}, 1, {2, 2, {{2, 439}}}},
        {"too tall line drawn first hides what follows", {500, 19, 19}, 3, {0, 0, {{0, 439}}}},
        // An unrenderable line fits as 21 pixels but adds nothing where it is drawn.
        {"unrenderable line skipped in drawing", {19, kUnrenderable, 19}, 0, {0, 3, {{0, 439}, {2, 458}}}},
        // Eight unrenderable lines count 168 pixels: with 18 and 6 more they fill 192 exactly, with 7 they do not.
        {"unrenderable lines count in fitting", {6, kUnrenderable, kUnrenderable, kUnrenderable, kUnrenderable,
                                                 kUnrenderable, kUnrenderable, kUnrenderable, kUnrenderable, 18},
         0, {0, 10, {{0, 439}, {9, 445}}}},
        {"unrenderable lines count in fitting, one pixel over", {7, kUnrenderable, kUnrenderable, kUnrenderable,
                                                                 kUnrenderable, kUnrenderable, kUnrenderable,
                                                                 kUnrenderable, kUnrenderable, 18},
         0, {1, 10, {{9, 439}}}},
        // A line starting exactly at the bottom limit (631) is not drawn; one pixel above is.
        {"line at the bottom limit", {192, 19}, 2, {0, 0, {{0, 439}}}},
        {"line one pixel above the bottom limit", {191, 19}, 2, {0, 0, {{0, 439}, {1, 630}}}},
    };
}

TEST(LogLayout, WalksPlaceTheExpectedLines) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        LogLayout layout = layoutLog(c.heights.size(), c.scroll, kArea, kFontHeight,
                                     [&](std::size_t i) { return c.heights.at(i); });
        EXPECT_EQ(layout.start, c.expected.start);
        EXPECT_EQ(layout.end, c.expected.end);
        std::vector<std::pair<std::size_t, std::int32_t>> placed;
        for (const LogPlacement& p : layout.placed) placed.push_back({p.index, p.y});
        EXPECT_EQ(placed, c.expected.placed);
    }
}

// The view may record, for a line taller than the fitting height, the height of only its start as
// long as that is taller too: both walks must then place every line where the full height puts it.
TEST(LogLayout, AnyHeightAboveTheFittingHeightPlacesTheSame) {
    struct Where {
        std::string name;
        Heights heights;   // 0 marks the tall line
        std::int32_t scroll;
        bool fitsAlone;   // the fitting walk starts at it, so a line of the fitting height differs
    };
    const std::vector<Where> wheres = {
        {"newest", {19, 19, 0}, 0, true},
        {"newest, scrolled so it is drawn below the window", {19, 19, 0}, 1, false},
        {"at end - 1", {19, 0, 19, 19}, 2, true},
        {"behind a newer line", {19, 0, 19}, 0, false},
        {"first drawn", {0, 19, 19}, 3, false},
        {"between two others drawn", {19, 0, 19}, 3, false},
        {"after an unrenderable line", {kUnrenderable, 0, 19}, 3, false},
        {"two tall lines", {0, 0, 19}, 3, false},
    };
    for (const Where& where : wheres) {
        SCOPED_TRACE(where.name);
        auto layoutWith = [&](std::int32_t tall) {
            Heights heights = where.heights;
            for (auto& h : heights)
                if (h == 0) h = tall;
            LogLayout layout = layoutLog(heights.size(), where.scroll, kArea, kFontHeight,
                                         [&](std::size_t i) { return heights.at(i); });
            std::vector<std::pair<std::size_t, std::int32_t>> placed;
            for (const LogPlacement& p : layout.placed) placed.push_back({p.index, p.y});
            return std::make_tuple(layout.start, layout.end, placed);
        };
        const auto full = layoutWith(152000);   // a whole render of 8000 line feeds
        for (std::int32_t tall : {193, 196, 197, 4000, INT32_MAX}) EXPECT_EQ(layoutWith(tall), full) << tall;
        if (where.fitsAlone) {
            EXPECT_NE(layoutWith(192), full) << "a line that fits must change the window";
        }
    }
}

TEST(LogLayout, AreaTooSmallForAnyLineDrawsNothing) {
    for (std::int32_t h : {8, 4, 0, -50}) {
        SCOPED_TRACE(h);
        LogLayout layout = layoutLog(5, 0, Rect{0, 0, 100, h}, kFontHeight, [](std::size_t) { return 19; });
        EXPECT_EQ(layout.start, 5u);
        EXPECT_TRUE(layout.placed.empty());
    }
}

// The walks must only look at what can reach the area, however many lines the store holds.
TEST(LogLayout, MeasuresOnlyTheLinesTheWalksReach) {
    struct Probe {
        std::int32_t scroll;
        std::size_t most;   // 11 lines reach the area, plus the one that stops the fitting walk
    };
    for (Probe probe : {Probe{0, 11}, Probe{1, 12}, Probe{50, 12}, Probe{1999, 12}, Probe{2000, 11},
                        Probe{10000, 11}}) {
        SCOPED_TRACE(probe.scroll);
        std::multiset<std::size_t> asked;
        layoutLog(2000, probe.scroll, kArea, kFontHeight, [&](std::size_t i) {
            asked.insert(i);
            return std::optional<std::int32_t>(19);
        });
        EXPECT_LE(asked.size(), probe.most);
        for (std::size_t i : asked) EXPECT_EQ(asked.count(i), 1u) << "line " << i << " measured twice";
    }
}

TEST(LogLayout, HugeRectangleDoesNotOverflow) {
    Rect huge{INT32_MAX - 10, INT32_MAX - 10, INT32_MAX, INT32_MAX};
    LogLayout layout = layoutLog(3, 0, huge, kFontHeight, [](std::size_t) { return INT32_MAX / 2; });
    EXPECT_EQ(layout.start, 2u);   // the newest line fits, two together do not
    ASSERT_EQ(layout.placed.size(), 1u);
    EXPECT_EQ(layout.placed[0].y, INT32_MAX - 6);
}

}  // namespace
}  // namespace vchat
