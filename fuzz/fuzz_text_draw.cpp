// Arbitrary bytes drawn through the text layer with the real fonts: DejaVu Sans Mono and the
// system's fallbacks, colour emoji among them. No crash, no overflow, and no image wider than the
// bounds the window relies on. The first two bytes choose the wrap width (0 to 2047).
#include <SDL.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "text/text_render.h"

using namespace vchat::text;

namespace {

constexpr const char* kMainFont = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
constexpr SDL_Color kColour{234, 240, 255, 255};

FontSet* fonts = nullptr;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_text_draw: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (TTF_Init() != 0) fail(TTF_GetError());
    TTF_Font* main = TTF_OpenFont(kMainFont, 16);
    if (main == nullptr) fail(TTF_GetError());
    fonts = new FontSet(makeFontSet(main, kMainFont, 16, findFallbackFonts("DejaVu Sans Mono")));
    // Without the fallbacks this would fuzz the main font alone and prove nothing about the rest.
    if (fonts->fallbacks.text.empty() || fonts->fallbacks.emoji.empty()) fail("the Noto fonts are not installed");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int wrapWidth = (data[0] | data[1] << 8) & 0x7FF;
    const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

    vchat::sdl::SurfacePtr line = renderText(*fonts, text, kColour);
    if (line && line->w > kMaxDrawnWidth) fail("a line wider than kMaxDrawnWidth");
    if (wrapWidth > 0) {
        vchat::sdl::SurfacePtr wrapped = renderWrapped(*fonts, text, kColour, wrapWidth);
        // Wider than the wrap width only for one row of one cluster wider than it.
        if (wrapped && wrapped->w > std::max(wrapWidth, kMaxDrawnWidth)) fail("a wrapped text too wide");
    }
    int w = 0, h = 0;
    if (measureText(*fonts, text, w, h) && w < 0) fail("a negative width");
    const std::size_t tail = fitTailStart(*fonts, text, wrapWidth);
    if (tail > text.size()) fail("a tail past the end");
    if (tail < text.size() && measureText(*fonts, text.substr(tail), w, h) && w > wrapWidth) fail("a tail that does not fit");
    return 0;
}
