// The widgets' hit-testing, editing and fitting, and the form's tables.
#include "app/widgets.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "app/form.h"
#include "sdl_fixture.h"

namespace vchat {
namespace {

using testing::SdlTest;

TEST(ContainsPoint, AllFourEdgeLinesBelongToTheRectangle) {
    const SDL_Rect r{20, 46, 280, 32};
    struct Case {
        int x, y;
        bool inside;
    } cases[] = {
        {20, 46, true},   {300, 46, true},  {20, 78, true},   {300, 78, true},   {160, 60, true},
        {19, 46, false},  {301, 46, false}, {20, 45, false},  {20, 79, false},   {301, 79, false},
        {-1, -1, false},  {0, 0, false},
    };
    for (const Case& c : cases) EXPECT_EQ(containsPoint(r, c.x, c.y), c.inside) << c.x << "," << c.y;
}

TEST(ContainsPoint, RectanglesAtTheIntegerLimitsDoNotWrap) {
    EXPECT_TRUE(containsPoint(SDL_Rect{INT_MAX - 10, 0, 100, 10}, INT_MAX, 5));
    EXPECT_FALSE(containsPoint(SDL_Rect{INT_MAX - 10, 0, 100, 10}, INT_MIN, 5));
    EXPECT_TRUE(containsPoint(SDL_Rect{INT_MIN, INT_MIN, 0, 0}, INT_MIN, INT_MIN));
    EXPECT_FALSE(containsPoint(SDL_Rect{0, 0, INT_MIN, 5}, 0, 0));
}

TEST(CheckboxHit, OnlyTheTwentyPixelSquareCounts) {
    Checkbox box;
    box.rect = SDL_Rect{640, 351, 400, 40};   // w and h are not part of the hit area
    box.label = "Decode RAW";
    struct Case {
        int dx, dy;
        bool hit;
    } cases[] = {
        {0, 0, true},   {20, 20, true},  {10, 10, true}, {21, 10, false},
        {10, 21, false}, {-1, 0, false}, {28, 5, false}, {100, 10, false},
    };
    for (const Case& c : cases) EXPECT_EQ(checkboxHit(box, 640 + c.dx, 351 + c.dy), c.hit) << c.dx << "," << c.dy;
}

TEST(TextEditing, AppendsWholeEventsAndErasesWholeCharacters) {
    TextField field;
    appendText(field, "ab");
    appendText(field, "\xC3\xA9x");   // several characters in one event, one of two bytes
    EXPECT_EQ(field.text, "ab\xC3\xA9x");
    appendText(field, "");
    EXPECT_EQ(field.text, "ab\xC3\xA9x");

    struct Case {
        const char* what;
        std::string before;
        std::string after;
    };
    const Case cases[] = {
        {"ASCII", "ab", "a"},
        {"two bytes", "a\xC3\xA9", "a"},                           // é
        {"three bytes", "a\xE2\x82\xAC", "a"},                     // €
        {"four bytes", "a\xF0\x9F\x93\xA1", "a"},                 // an emoji
        {"lone lead byte", "a\xC3", "a"},
        {"cut three-byte sequence", "a\xE2\x82", "a\xE2"},
        {"stray continuation byte", "a\xA9", "a"},
        {"continuation bytes only", "\x80\x80", "\x80"},
        {"too many continuation bytes", "\xC3\xA9\xA9", "\xC3\xA9"},
        {"overlong form", "a\xC0\x80", "a\xC0"},                  // not a character: byte by byte
        {"surrogate", "a\xED\xA0\x80", "a\xED\xA0"},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        field.text = c.before;
        eraseLastCharacter(field);
        EXPECT_EQ(field.text, c.after) << c.what;
    }
}

TEST(TextEditing, MaskingShowsOneStarPerByte) {
    TextField field;
    field.text = "qorvikmale";
    field.masked = true;
    EXPECT_EQ(shownText(field), "**********");
    field.text = "\xC3\xA9";
    EXPECT_EQ(shownText(field), "**");
    field.masked = false;
    EXPECT_EQ(shownText(field), "\xC3\xA9");
}

TEST(Caret, OnAndOffForHalfASecondEach) {
    EXPECT_TRUE(caretVisible(0));
    EXPECT_TRUE(caretVisible(499));
    EXPECT_FALSE(caretVisible(500));
    EXPECT_FALSE(caretVisible(999));
    EXPECT_TRUE(caretVisible(1000));
    EXPECT_FALSE(caretVisible(1500));
}

class FitTail : public SdlTest {
protected:
    int width(const std::string& s) {
        int w = 0, h = 0;
        TTF_SizeUTF8(font.get(), s.c_str(), &w, &h);
        return w;
    }
};

TEST_F(FitTail, KeepsTheLongestTailThatFits) {
    const std::string shortText = "1883";
    EXPECT_EQ(fitTail(fonts, shortText, 264), shortText);

    const std::string psk = "tQ7nW2xLp9RkVd4sHc8ZyA1mFe6uJb3oGi5rTx0vNqE=";
    for (int avail : {264, 100, 37, 1}) {
        const std::string tail = fitTail(fonts, psk, avail);
        ASSERT_LT(tail.size(), psk.size());
        EXPECT_EQ(psk.substr(psk.size() - tail.size()), tail) << "not a tail";
        EXPECT_LE(width(tail), avail);
        EXPECT_GT(width(psk.substr(psk.size() - tail.size() - 1)), avail) << "a longer tail fits too";
    }
    EXPECT_EQ(fitTail(fonts, psk, 0), "");
    EXPECT_EQ(fitTail(fonts, "", 0), "");
}

TEST_F(FitTail, CutsBetweenCharactersNeverInsideOne) {
    // Two-byte letters, and letters with a combining mark (three bytes for one cluster).
    for (const std::string& unit : {std::string("\xC3\xA9"), std::string("e\xCC\x81")}) {
        std::string text;
        for (int i = 0; i < 60; ++i) text += unit;
        const std::string tail = fitTail(fonts, text, 101);
        ASSERT_FALSE(tail.empty());
        EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
        EXPECT_EQ(tail.size() % unit.size(), 0U) << "cut inside a character";
        EXPECT_LE(width(tail), 101);
    }
}

TEST(Form, DefaultsFromTheTables) {
    const Form form = buildForm(341220250);
    EXPECT_EQ(form.fields[kBrokerHost].text, "mqtt.veldra.org");
    EXPECT_EQ(form.fields[kPort].text, "1883");
    EXPECT_EQ(form.fields[kPassword].text, "qorvikmale");
    EXPECT_EQ(form.fields[kChannel].text, "Mesh Varnholt");
    EXPECT_EQ(form.fields[kFromId].text, "341220250");
    EXPECT_EQ(form.fields[kGatewayHex].text, "14569b9a");
    EXPECT_EQ(form.fields[kMessageLine].label, "");
    EXPECT_EQ(form.fields[kToId].label, "To ID (Decimal or Empty)");
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        EXPECT_FALSE(form.fields[i].focused);
        EXPECT_EQ(form.fields[i].masked, i == kPassword) << form.fields[i].label;
    }
    for (std::size_t i = 0; i < kBoxCount; ++i) EXPECT_EQ(form.boxes[i].ticked, i == kVerifyServer);
    for (std::size_t i = 0; i < kButtonCount; ++i) EXPECT_EQ(form.buttons[i].disabled, i == kDisconnect);
    EXPECT_EQ(form.boxes[kBroadcast].label, "Broadcast (0xFFFFFFFF)");
    EXPECT_EQ(form.buttons[kClearLog].label, "Clear Log");
}

TEST(Form, NodeNumberDefaultsNameTheSameNode) {
    struct Case {
        std::uint32_t node;
        const char* decimal;
        const char* hex;
    } cases[] = {
        {1128103180, "1128103180", "433d7d0c"},
        {1341220248, "1341220248", "4ff16598"},   // the largest number start-up can draw
        {0x0000000f, "15", "0000000f"},
        {0xffffffff, "4294967295", "ffffffff"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fromIdDefault(c.node), c.decimal);
        EXPECT_EQ(gatewayHexDefault(c.node), c.hex);
    }
}

TEST(Form, TlsPskFieldsShowOnlyWithBothBoxesTicked) {
    Form form = buildForm(341220250);
    for (bool tls : {false, true}) {
        for (bool psk : {false, true}) {
            form.boxes[kUseTls].ticked = tls;
            form.boxes[kTlsPskMode].ticked = psk;
            EXPECT_EQ(pskFieldsVisible(form), tls && psk);
        }
    }
}

// Overlapping widgets would make a click ambiguous; every widget must lie inside the window and
// inside a panel.
TEST(Form, WidgetsLieInPanelsAndDoNotOverlap) {
    const Form form = buildForm(341220250);
    std::vector<std::pair<std::string, SDL_Rect>> areas;
    for (const TextField& f : form.fields) areas.push_back({f.label.empty() ? "message line" : f.label, f.rect});
    for (const Checkbox& b : form.boxes) areas.push_back({b.label, SDL_Rect{b.rect.x, b.rect.y, kBoxSize, kBoxSize}});
    for (const Button& b : form.buttons) areas.push_back({b.label, b.rect});
    areas.push_back({"log", kLogRect});
    for (std::size_t i = 0; i < areas.size(); ++i) {
        const SDL_Rect& a = areas[i].second;
        bool inPanel = false;
        for (const SDL_Rect& p : kPanels) {
            inPanel |= a.x > p.x && a.y > p.y && a.x + a.w < p.x + p.w && a.y + a.h < p.y + p.h;
        }
        EXPECT_TRUE(inPanel) << areas[i].first;
        for (std::size_t j = i + 1; j < areas.size(); ++j) {
            const SDL_Rect& b = areas[j].second;
            // Inclusive edges: touching counts as overlapping for clicks.
            const bool apart = a.x + a.w < b.x || b.x + b.w < a.x || a.y + a.h < b.y || b.y + b.h < a.y;
            EXPECT_TRUE(apart) << areas[i].first << " and " << areas[j].first;
        }
    }
}

TEST(Form, DrawOrderDrawsEveryWidgetOnce) {
    std::size_t fields = 0, boxes = 0, buttons = 0;
    std::vector<int> seen(kFieldCount + kBoxCount + kButtonCount, 0);
    for (const DrawItem& item : kDrawOrder) {
        switch (item.kind) {
            case DrawKind::field:
            case DrawKind::pskField:
                ++fields;
                ++seen[item.index];
                EXPECT_EQ(item.kind == DrawKind::pskField, item.index == kPskIdentity || item.index == kPskKey);
                break;
            case DrawKind::box:
                ++boxes;
                ++seen[kFieldCount + item.index];
                break;
            case DrawKind::button:
                ++buttons;
                ++seen[kFieldCount + kBoxCount + item.index];
                break;
        }
    }
    EXPECT_EQ(fields, std::size_t{kFieldCount});
    EXPECT_EQ(boxes, std::size_t{kBoxCount});
    EXPECT_EQ(buttons, std::size_t{kButtonCount});
    for (int n : seen) EXPECT_EQ(n, 1);
}

}  // namespace
}  // namespace vchat
