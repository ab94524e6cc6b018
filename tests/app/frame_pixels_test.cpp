// One frame drawn into a software renderer: the colours stand where the layout puts them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "app/app.h"
#include "sdl_fixture.h"

namespace vchat {
namespace {

using testing::sameRgb;

constexpr SDL_Color kCaretRgb{255, 255, 255, 255};
constexpr SDL_Color kLogBackgroundRgb{10, 15, 36, 255};
constexpr SDL_Color kLogBorderRgb{39, 48, 96, 255};

class FramePixels : public testing::SdlTest {
protected:
    // The log's textures belong to the renderer, which the base class destroys: they go first
    // (destroying them afterwards reads freed memory, which Windows faults on).
    void TearDown() override {
        resetLogDrawCache(app.logCache);
        SdlTest::TearDown();
    }
    void draw() { drawFrame(app, renderer.get(), fonts); }
    void expectColour(int x, int y, SDL_Color want, const char* what) {
        const SDL_Color got = pixel(x, y);
        EXPECT_TRUE(sameRgb(got, want)) << what << " at " << x << "," << y << ": " << got << " instead of " << want;
    }
    std::uint64_t now = 0;
    App app{1128103180, [this] { return now; }};
};

TEST_F(FramePixels, IdleFrameIsTheSameWithTheSystemsFallbackFonts) {
    draw();
    SDL_RenderFlush(renderer.get());
    const std::string before(static_cast<const char*>(surface->pixels), surface->pitch * surface->h);
    resetLogDrawCache(app.logCache);
    text::FontSet withFallbacks = testing::fontSetOn(font.get(), testing::Fallbacks::system);
    drawFrame(app, renderer.get(), withFallbacks);
    SDL_RenderFlush(renderer.get());
    resetLogDrawCache(app.logCache);
    EXPECT_EQ(std::string(static_cast<const char*>(surface->pixels), surface->pitch * surface->h), before);
}

TEST_F(FramePixels, WindowAndPanels) {
    draw();
    expectColour(0, 0, kPalette.background, "window corner");
    expectColour(935, 200, kPalette.background, "gap between the panels");
    expectColour(1435, 695, kPalette.background, "bottom right corner");
    for (const SDL_Rect& p : kPanels) {
        expectColour(p.x, p.y, kPalette.border, "panel top-left corner");
        expectColour(p.x + p.w - 1, p.y + p.h - 1, kPalette.border, "panel bottom-right corner");
        expectColour(p.x + p.w / 3, p.y, kPalette.border, "panel top edge");
        expectColour(p.x, p.y + p.h / 2, kPalette.border, "panel left edge");
        expectColour(p.x + 1, p.y + 1, kPalette.panel, "panel fill by the corner");
        expectColour(p.x + p.w - 2, p.y + p.h - 2, kPalette.panel, "panel fill by the far corner");
        expectColour(p.x + p.w, p.y + p.h, kPalette.background, "outside the panel");
    }
}

TEST_F(FramePixels, ButtonsCheckBoxesAndFields) {
    app.form.boxes[kDecodeRaw].ticked = true;
    draw();
    const SDL_Rect connect = app.form.buttons[kConnect].rect;
    const SDL_Rect disconnect = app.form.buttons[kDisconnect].rect;
    expectColour(connect.x + 2, connect.y + 2, kPalette.accent, "enabled button fill");
    expectColour(disconnect.x + 2, disconnect.y + 2, kPalette.buttonDisabled, "disabled button fill");
    expectColour(disconnect.x, disconnect.y, kButtonOutline, "button outline");

    const Checkbox& ticked = app.form.boxes[kDecodeRaw];
    const Checkbox& unticked = app.form.boxes[kHideNodeinfo];
    expectColour(ticked.rect.x, ticked.rect.y, kPalette.border, "check box outline");
    expectColour(ticked.rect.x + 2, ticked.rect.y + 2, kCheckboxFill, "check box square");
    expectColour(ticked.rect.x + 4, ticked.rect.y + 4, kPalette.accent, "tick, first pixel");
    expectColour(ticked.rect.x + 15, ticked.rect.y + 15, kPalette.accent, "tick, last pixel");
    expectColour(ticked.rect.x + 16, ticked.rect.y + 16, kCheckboxFill, "past the tick");
    expectColour(unticked.rect.x + 10, unticked.rect.y + 10, kCheckboxFill, "unticked box");

    const SDL_Rect field = app.form.fields[kPort].rect;
    expectColour(field.x, field.y, kPalette.border, "idle field outline");
    expectColour(field.x + 1, field.y + 1, kFieldFill, "idle field fill");
    expectColour(field.x + field.w - 3, field.y + 2, kFieldFill, "idle field fill, right");
}

TEST_F(FramePixels, FocusedFieldAndCaretFollowTheClock) {
    handleClick(app, 300, 660);   // the empty message line
    ASSERT_EQ(app.focusedField, kMessageLine);
    const SDL_Rect r = app.form.fields[kMessageLine].rect;
    const int caretX = r.x + 9;
    const int midY = r.y + r.h / 2;
    struct Frame {
        std::uint64_t ticks;
        bool caret;
    } frames[] = {{0, true}, {499, true}, {500, false}, {999, false}, {1000, true}, {1700, false}};
    for (const Frame& f : frames) {
        now = f.ticks;
        draw();
        expectColour(r.x, r.y, kFieldOutlineFocused, "focused outline");
        expectColour(r.x + r.w - 1, r.y + r.h - 1, kFieldOutlineFocused, "focused outline, far corner");
        expectColour(r.x + 1, r.y + 1, kFieldInnerOutlineFocused, "second focus outline");
        expectColour(r.x + 2, r.y + 2, kFieldFillFocused, "focused fill");
        expectColour(caretX, midY, f.caret ? kCaretRgb : kFieldFillFocused, "caret");
        expectColour(caretX + 1, midY, kFieldFillFocused, "right of the caret");
    }

    // The caret moves with the text: one pixel right of its end.
    now = 0;
    handleEvent(app, [] {
        SDL_Event e{};
        e.type = SDL_TEXTINPUT;
        e.text.text[0] = 'W';
        return e;
    }());
    int w = 0, h = 0;
    TTF_SizeUTF8(font.get(), "W", &w, &h);
    draw();
    expectColour(r.x + w + 9, midY, kCaretRgb, "caret after one letter");
    expectColour(r.x + w + 10, midY, kFieldFillFocused, "right of the moved caret");
}

TEST_F(FramePixels, AButtonOrBoxWithTheKeyboardFocusHasARing) {
    const SDL_Rect connect = app.form.buttons[kConnect].rect;
    const SDL_Rect box = app.form.boxes[kUseTls].rect;
    auto ringAround = [&](int x, int y) {
        return sameRgb(pixel(x - 3, y - 3), kFieldOutlineFocused) && sameRgb(pixel(x - 2, y - 2), kFieldOutlineFocused) &&
               sameRgb(pixel(x - 4, y - 4), kPalette.panel);
    };
    draw();
    EXPECT_FALSE(ringAround(connect.x, connect.y));
    for (int i = 0; i < 6; ++i) handleKey(app, SDLK_F6, KMOD_NONE);   // five fields, then Connect
    draw();
    EXPECT_TRUE(ringAround(connect.x, connect.y)) << "ring around the focused Connect";
    expectColour(connect.x + 2, connect.y + 2, kPalette.accent, "the button itself unchanged");
    for (int i = 0; i < 8; ++i) handleKey(app, SDLK_F6, KMOD_NONE);   // on to Use TLS
    draw();
    EXPECT_FALSE(ringAround(connect.x, connect.y)) << "the ring moves on";
    EXPECT_TRUE(ringAround(box.x, box.y)) << "ring around the focused check box";
}

TEST_F(FramePixels, TlsPskFieldsDrawnOnlyWithBothBoxes) {
    const SDL_Rect r = app.form.fields[kPskIdentity].rect;
    draw();
    expectColour(r.x + 2, r.y + 2, kPalette.panel, "hidden field");
    app.form.boxes[kTlsPskMode].ticked = true;
    draw();
    expectColour(r.x + 2, r.y + 2, kPalette.panel, "hidden field with TLS-PSK mode alone");
    app.form.boxes[kUseTls].ticked = true;
    draw();
    expectColour(r.x + 2, r.y + 2, kFieldFill, "shown field");
    expectColour(r.x, r.y, kPalette.border, "shown field outline");
}

TEST_F(FramePixels, LogAreaHasItsOwnColours) {
    draw();
    expectColour(kLogRect.x, kLogRect.y, kLogBorderRgb, "log border");
    expectColour(kLogRect.x + kLogRect.w - 1, kLogRect.y + kLogRect.h - 1, kLogBorderRgb, "log border, far corner");
    expectColour(kLogRect.x + 1, kLogRect.y + 1, kLogBackgroundRgb, "log background");
    expectColour(kLogRect.x + kLogRect.w - 2, kLogRect.y + kLogRect.h - 2, kLogBackgroundRgb, "log background");

    // A line shows as text in the foreground colour somewhere in its first row.
    app.log.append("WWWWWWWWWW");
    draw();
    bool text = false;
    for (int x = kLogRect.x + 6; x < kLogRect.x + 400 && !text; ++x) {
        for (int y = kLogRect.y + 4; y < kLogRect.y + 24 && !text; ++y) {
            text = !sameRgb(pixel(x, y), kLogBackgroundRgb);
        }
    }
    EXPECT_TRUE(text) << "nothing of the line was drawn";
}

TEST_F(FramePixels, NoticeAndCaptionsAreDrawn) {
    draw();
    // Somewhere inside the notice panel and above the Broker Host field, text left its colour.
    auto anyNot = [&](SDL_Rect area, SDL_Color plain) {
        for (int y = area.y; y < area.y + area.h; ++y) {
            for (int x = area.x; x < area.x + area.w; ++x) {
                if (!sameRgb(pixel(x, y), plain)) return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(anyNot(SDL_Rect{kNoticeRect.x, 20, kNoticeRect.w, 160}, kPalette.panel)) << "notice";
    EXPECT_TRUE(anyNot(SDL_Rect{20, 28, 100, 17}, kPalette.panel)) << "Broker Host caption";
    EXPECT_FALSE(anyNot(SDL_Rect{280, 636, 300, 8}, kPalette.panel)) << "the message line has no caption";
}

}  // namespace
}  // namespace vchat
