// The window's scale: how it is chosen from the desktop, where the window goes, and that scaled
// widgets are hit exactly where they are drawn.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "app/app.h"
#include "app/scale.h"

namespace vchat {
namespace {

struct Desk {
    const char* what;
    std::optional<double> dpi;
    SDL_Rect usable;
    FrameBorders frame;
    int wantW, wantH;
    bool overflows;
};

TEST(WindowScale, ChosenFromTheDesktopsScaleAndItsUsableArea) {
    const Desk desks[] = {
        {"1600x900 at 100 %", 96, {0, 0, 1600, 900}, {}, 1440, 700, false},
        {"1366x768, 40 px task bar", 96, {0, 0, 1366, 728}, {}, 1366, 664, false},
        {"1280x720", std::nullopt, {0, 0, 1280, 720}, {}, 1280, 622, false},
        {"1920x1080 at 150 %", 144, {0, 0, 1920, 1032}, {}, 1920, 933, false},
        {"1920x1080 at 125 %", 120, {0, 0, 1920, 1040}, {}, 1800, 875, false},
        {"3840x2160 at 200 %", 192, {0, 0, 3840, 2120}, {}, 2880, 1400, false},
        {"Xft.dpi 101", 101, {0, 0, 1600, 900}, {}, 1440, 700, false},
        {"Xft.dpi 110", 110, {0, 0, 1600, 900}, {}, 1440, 700, false},
        {"a frame narrows the room", 96, {0, 0, 1366, 728}, {30, 3, 3, 3}, 1360, 661, false},
        {"a frame's height binds", 96, {0, 0, 1600, 720}, {30, 0, 4, 0}, 1411, 686, false},
        {"1024x768 overflows at 75 %", 96, {0, 0, 1024, 768}, {}, 1080, 525, true},
        {"no room at all", 96, {0, 0, 10, 10}, {20, 0, 0, 0}, 1080, 525, true},
        {"8K at 500 % is held at 400 %", 480, {0, 0, 7680, 4320}, {}, 5760, 2800, false},
    };
    for (const Desk& d : desks) {
        const ScaleChoice c = chooseScale(desktopScale(d.dpi), d.usable, d.frame);
        EXPECT_EQ(c.scale.length(kLayoutWidth), d.wantW) << d.what;
        EXPECT_EQ(c.scale.length(kLayoutHeight), d.wantH) << d.what;
        EXPECT_EQ(c.overflows, d.overflows) << d.what;
        if (d.wantW == 1440) {
            EXPECT_TRUE(c.scale.identity()) << d.what << ": 1/1 exactly, so nothing changes";
        }
    }
}

TEST(WindowScale, TheDesktopsDpiIsSnappedDownToQuartersBetweenOneAndFour) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        std::optional<double> dpi;
        double want;
    } cases[] = {{std::nullopt, 1}, {0, 1}, {-96, 1}, {nan, 1}, {72, 1}, {96, 1}, {119.9, 1}, {120, 1.25},
                 {144, 1.5}, {168, 1.75}, {191, 1.75}, {192, 2}, {384, 4}, {1e9, 4}};
    for (const auto& c : cases) EXPECT_EQ(desktopScale(c.dpi).value(), c.want) << (c.dpi ? *c.dpi : -1);
}

TEST(WindowScale, XftDpiIsReadFromTheResourceText) {
    const struct {
        const char* resources;
        std::optional<double> want;
    } cases[] = {{"Xft.dpi:\t192\n", 192},
                 {"Xcursor.size:\t24\nXft.antialias:\t1\nXft.dpi:\t144\nXft.hinting:\t1\n", 144},
                 {"Xft.dpi: 120", 120},
                 {"Xft.dpi :\t96.5\n", 96.5},
                 {"", std::nullopt},
                 {"Xft.dpix:\t192\n", std::nullopt},
                 {"*dpi:\t192\n", std::nullopt},
                 {"Xft.dpi:\tbig\n", std::nullopt},
                 {"Xft.hinting:\t1\nXft.dpi:", std::nullopt}};
    for (const auto& c : cases) EXPECT_EQ(xftDpi(c.resources), c.want) << c.resources;
}

TEST(WindowScale, TheWindowIsCentredInTheUsableAreaAndNeverAboveOrLeftOfIt) {
    const Scale fit{1366, 1440};
    EXPECT_EQ(placeWindow(fit, {0, 0, 1366, 728}, {}).y, 32);
    EXPECT_EQ(placeWindow(fit, {0, 0, 1366, 728}, {}).x, 0);
    const SDL_Rect topBar = placeWindow(fit, {0, 40, 1366, 728}, {});
    EXPECT_EQ(topBar.y, 72);
    const SDL_Rect framed = placeWindow(Scale{}, {100, 0, 1600, 900}, {30, 2, 2, 2});
    EXPECT_EQ(framed.x, 100 + 2 + (1596 - 1440) / 2);
    EXPECT_EQ(framed.y, 30 + (868 - 700) / 2);
    const SDL_Rect tooBig = placeWindow(kSmallestScale, {0, 24, 1024, 500}, {20, 1, 1, 1});
    EXPECT_EQ(tooBig.x, 1);
    EXPECT_EQ(tooBig.y, 44);
    EXPECT_EQ(tooBig.w, 1080);
}

const std::vector<Scale> kScales = {{3, 4}, {1280, 1440}, {1366, 1440}, {5, 4}, {4, 3}, {3, 2}, {2, 1}, {1, 1}};

std::vector<SDL_Rect> everyWidgetRect() {
    std::vector<SDL_Rect> rects(std::begin(kPanels), std::end(kPanels));
    for (const FieldRow& f : kFieldTable) rects.push_back(f.rect);
    for (const ButtonRow& b : kButtonTable) rects.push_back(b.rect);
    for (const BoxRow& b : kBoxTable) rects.push_back(SDL_Rect{b.x, b.y, kBoxSize, kBoxSize});
    rects.push_back(kLogRect);
    rects.push_back(kNoticeRect);
    return rects;
}

TEST(WindowScale, RectanglesThatTouchStillTouchAndOneToOneChangesNothing) {
    for (const Scale& s : kScales) {
        for (const SDL_Rect& r : everyWidgetRect()) {
            const SDL_Rect right{r.x + r.w, r.y, 37, r.h}, below{r.x, r.y + r.h, r.w, 11};
            const SDL_Rect a = s.rect(r), b = s.rect(right), c = s.rect(below);
            EXPECT_EQ(a.x + a.w, b.x) << s.num << "/" << s.den;
            EXPECT_EQ(a.y + a.h, c.y) << s.num << "/" << s.den;
            // Within a pixel of the exact scaled edges.
            EXPECT_LE(std::abs(a.x - r.x * s.value()), 0.5);
            EXPECT_LE(std::abs(a.x + a.w - (r.x + r.w) * s.value()), 0.5);
            if (s.identity()) {
                EXPECT_TRUE(SDL_RectEquals(&a, &r));
            }
        }
    }
}

TEST(WindowScale, EveryPixelOfAScaledWidgetHitsThatWidget) {
    for (const Scale& s : kScales) {
        App app(1128103180, [] { return std::uint64_t{0}; });
        setScale(app, s);
        for (std::size_t f = 0; f < kFieldCount; ++f) {
            const SDL_Rect r = s.rect(kFieldTable[f].rect);
            for (const SDL_Point p : {SDL_Point{r.x, r.y}, SDL_Point{r.x + r.w, r.y + r.h}, SDL_Point{r.x + r.w / 2, r.y}}) {
                handleClick(app, p.x, p.y);
                EXPECT_EQ(app.focusedField, std::optional<FieldId>(static_cast<FieldId>(f)))
                    << kFieldTable[f].caption << " at " << s.num << "/" << s.den;
            }
            handleClick(app, r.x - 1, r.y + r.h / 2);
            EXPECT_FALSE(app.focusedField.has_value()) << "left of " << kFieldTable[f].caption;
        }
        for (std::size_t b = 0; b < kBoxCount; ++b) {
            const SDL_Rect r = s.rect(SDL_Rect{kBoxTable[b].x, kBoxTable[b].y, kBoxSize, kBoxSize});
            const bool before = app.form.boxes[b].ticked;
            handleClick(app, r.x + r.w, r.y + r.h);
            EXPECT_NE(app.form.boxes[b].ticked, before) << kBoxTable[b].caption << " at " << s.num << "/" << s.den;
            handleClick(app, r.x + r.w + 1, r.y);
            EXPECT_NE(app.form.boxes[b].ticked, before) << "right of " << kBoxTable[b].caption;
        }
        const SDL_Rect clear = s.rect(kButtonTable[kClearLog].rect);
        app.log.append("to be cleared");
        handleClick(app, clear.x + clear.w, clear.y);
        EXPECT_TRUE(app.log.lines.empty()) << "Clear Log at " << s.num << "/" << s.den;
    }
}

}  // namespace
}  // namespace vchat
