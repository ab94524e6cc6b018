// The frame drawn at a scale into a software renderer: at 1/1 exactly the frame drawn before there
// was a scale; at 3/2 crisp (text rendered at the scaled size, not stretched), with panels that
// still touch, thicker outlines and widgets hit where they are drawn.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "app/app.h"
#include "sdl_fixture.h"

namespace vchat {
namespace {

using testing::sameRgb;

class ScaledFrame : public testing::SdlTest {
protected:
    void TearDown() override {
        resetLogDrawCache(app.logCache);
        SdlTest::TearDown();
    }
    std::uint64_t now = 0;
    App app{1128103180, [this] { return now; }};
};

#ifndef _WIN32   // the hash is of Debian's FreeType; the Windows build brings its own
std::uint64_t fnv1a(const void* data, std::size_t size) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ static_cast<const Uint8*>(data)[i]) * 1099511628211ull;
    return h;
}

// A frame with something of everything: a focused field with its caret, typed and masked text,
// ticked boxes with the TLS-PSK fields shown, and log lines.
void fillState(App& app) {
    app.form.boxes[kUseTls].ticked = true;
    app.form.boxes[kTlsPskMode].ticked = true;
    app.form.boxes[kDecodeRaw].ticked = true;
    app.form.fields[kMessageLine].text = "hello, mesh";
    for (int i = 0; i < 40; ++i) app.log.appendAt("line " + std::to_string(i) + " of the log, some words to wrap", 1796544238);
    handleClick(app, 30, 60);   // Broker Host
}

TEST_F(ScaledFrame, AtOneToOneEveryPixelIsTheOneDrawnBeforeThereWasAScale) {
    setScale(app, Scale{});
    fillState(app);
    ASSERT_EQ(app.focusedField, kBrokerHost);
    drawFrame(app, renderer.get(), fonts);
    SDL_RenderFlush(renderer.get());
    // Recorded from the program as it was before scaling, with this same state.
    EXPECT_EQ(fnv1a(surface->pixels, static_cast<std::size_t>(surface->pitch) * surface->h), 0x1b117ee1bf501253ull);
}
#endif

// The window at 3/2: its own surface, and the fonts opened at 108 dpi as the program opens them.
class AtThreeHalves : public ScaledFrame {
protected:
    void SetUp() override {
        ScaledFrame::SetUp();
        if (HasFatalFailure()) return;
        big.reset(TTF_OpenFontDPI(testing::kFontPath, 16, scale.fontDpi(), scale.fontDpi()));
        ASSERT_TRUE(big) << SDL_GetError();
        bigFonts = text::makeFontSet(big.get(), testing::kFontPath, 16, {}, scale.fontDpi());
        canvas.reset(SDL_CreateRGBSurfaceWithFormat(0, scale.length(kLayoutWidth), scale.length(kLayoutHeight), 32,
                                                    SDL_PIXELFORMAT_ARGB8888));
        ASSERT_TRUE(canvas) << SDL_GetError();
        painter.reset(SDL_CreateSoftwareRenderer(canvas.get()));
        ASSERT_TRUE(painter) << SDL_GetError();
        setScale(app, scale);
    }
    void TearDown() override {
        resetLogDrawCache(app.logCache);
        painter.reset();
        canvas.reset();
        bigFonts = text::FontSet{};
        big.reset();
        ScaledFrame::TearDown();
    }
    Uint32 at(const SDL_Surface* s, int x, int y) const {
        return reinterpret_cast<const Uint32*>(static_cast<const Uint8*>(s->pixels) + y * s->pitch)[x];
    }
    SDL_Color colourAt(int x, int y) const {
        SDL_Color c{};
        SDL_GetRGBA(at(canvas.get(), x, y), canvas->format, &c.r, &c.g, &c.b, &c.a);
        return c;
    }
    const Scale scale{3, 2};
    sdl::FontPtr big;
    text::FontSet bigFonts;
    sdl::SurfacePtr canvas;
    sdl::RendererPtr painter;
};

TEST_F(AtThreeHalves, ACaptionIsTheFontsOwnRenderingAtTheScaledSize) {
    drawFrame(app, painter.get(), bigFonts);
    SDL_RenderFlush(painter.get());
    // What SDL_ttf itself makes of the caption at 24 px, laid on the panel's colour.
    sdl::SurfacePtr ink(TTF_RenderUTF8_Blended(big.get(), "Port", kPalette.caption));
    ASSERT_TRUE(ink);
    sdl::SurfacePtr want(SDL_CreateRGBSurfaceWithFormat(0, ink->w, ink->h, 32, SDL_PIXELFORMAT_ARGB8888));
    SDL_FillRect(want.get(), nullptr, SDL_MapRGB(want->format, kPalette.panel.r, kPalette.panel.g, kPalette.panel.b));
    SDL_BlitSurface(ink.get(), nullptr, want.get(), nullptr);
    EXPECT_GE(ink->h, 2 * 19 * 3 / 4) << "not drawn at the scaled size";

    const SDL_Rect port = kFieldTable[kPort].rect;
    const int x0 = scale.edge(port.x), y0 = scale.edge(port.y - kLabelOffset);
    int differing = 0, worst = 0;
    // The caption's bottom rows are empty, and the field drawn after it covers them.
    for (int y = 0; y < ink->h && y0 + y < scale.edge(port.y); ++y)
        for (int x = 0; x < ink->w; ++x) {
            const Uint32 a = at(canvas.get(), x0 + x, y0 + y), b = at(want.get(), x, y);
            int d = 0;
            for (int shift : {0, 8, 16}) d = std::max(d, std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)));
            differing += d != 0;
            worst = std::max(worst, d);
        }
    EXPECT_EQ(differing, 0) << "of " << ink->w * ink->h << " pixels, worst " << worst;
}

TEST_F(AtThreeHalves, OutlinesAreTwoPixelsAndThePanelsKeepTheirScaledPlaces) {
    app.form.boxes[kDecodeRaw].ticked = true;
    drawFrame(app, painter.get(), bigFonts);
    SDL_RenderFlush(painter.get());
    for (const SDL_Rect& layoutPanel : kPanels) {
        const SDL_Rect p = scale.rect(layoutPanel);
        EXPECT_TRUE(sameRgb(colourAt(p.x, p.y), kPalette.border));
        EXPECT_TRUE(sameRgb(colourAt(p.x + 1, p.y + 1), kPalette.border)) << "second pixel of the outline";
        EXPECT_TRUE(sameRgb(colourAt(p.x + 2, p.y + 2), kPalette.panel));
        EXPECT_TRUE(sameRgb(colourAt(p.x + p.w - 2, p.y + p.h - 2), kPalette.border));
        EXPECT_TRUE(sameRgb(colourAt(p.x + p.w, p.y + p.h), kPalette.background)) << "past the panel";
    }
    const BoxRow& box = kBoxTable[kDecodeRaw];
    const SDL_Rect tick = scale.rect(SDL_Rect{box.x + 4, box.y + 4, kBoxSize - 8, kBoxSize - 8});
    EXPECT_TRUE(sameRgb(colourAt(tick.x, tick.y), kPalette.accent));
    EXPECT_TRUE(sameRgb(colourAt(tick.x + tick.w - 1, tick.y + tick.h - 1), kPalette.accent));
    EXPECT_TRUE(sameRgb(colourAt(tick.x + tick.w, tick.y + tick.h), kCheckboxFill));
    const SDL_Rect logArea = scale.rect(kLogRect);
    SDL_Color logBorder{39, 48, 96, 255};
    EXPECT_TRUE(sameRgb(colourAt(logArea.x + 1, logArea.y + 1), logBorder)) << "the log's border is scaled too";
}

}  // namespace
}  // namespace vchat
