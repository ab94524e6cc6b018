// SDL without a display for the app tests: the dummy video driver, SDL2_ttf and the system's
// DejaVu Sans Mono at the program's size, plus a software renderer drawing into a 1440 x 700 surface.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/form.h"
#include "app/widgets.h"
#include "text/font_set.h"
#include "tests/support/fonts.h"

namespace vchat::testing {

// SDL, TTF, the font and a software renderer on a window-sized surface, for one test.
class SdlTest : public ::testing::Test {
protected:
    void SetUp() override {
        startSdlAndTtf();
        if (HasFatalFailure()) return;
        font = openMainFont();
        ASSERT_TRUE(font) << "the tests need " << kFontPath << ": " << TTF_GetError();
        fonts = fontSetOn(font.get(), Fallbacks::none);   // today's pixels
        surface.reset(SDL_CreateRGBSurfaceWithFormat(0, kWindowWidth, kWindowHeight, 32, SDL_PIXELFORMAT_ARGB8888));
        ASSERT_TRUE(surface) << SDL_GetError();
        renderer.reset(SDL_CreateSoftwareRenderer(surface.get()));
        ASSERT_TRUE(renderer) << SDL_GetError();
    }
    void TearDown() override {
        renderer.reset();
        surface.reset();
        fonts = text::FontSet{};
        font.reset();
        stopSdlAndTtf();
    }

    // The colour at (x, y) of what has been drawn so far, alpha ignored (draws do not blend).
    SDL_Color pixel(int x, int y) {
        SDL_RenderFlush(renderer.get());
        const Uint32* row = reinterpret_cast<const Uint32*>(static_cast<const Uint8*>(surface->pixels) +
                                                            y * surface->pitch);
        SDL_Color c{0, 0, 0, 0};
        SDL_GetRGBA(row[x], surface->format, &c.r, &c.g, &c.b, &c.a);
        return c;
    }

    sdl::FontPtr font;
    text::FontSet fonts;
    sdl::SurfacePtr surface;
    sdl::RendererPtr renderer;
};

inline bool sameRgb(SDL_Color a, SDL_Color b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

}  // namespace vchat::testing

// Prints colours in failure messages as (r, g, b).
inline std::ostream& operator<<(std::ostream& out, const SDL_Color& c) {
    return out << "(" << int(c.r) << ", " << int(c.g) << ", " << int(c.b) << ")";
}
