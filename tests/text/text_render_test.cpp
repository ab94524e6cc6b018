// Text drawn through the layer with the platform's fallback fonts: main-font text pixel for pixel as
// the font renderer draws it, every other script in shapes of its own, emoji in colour on the row.
#include "text/text_render.h"

#include <gtest/gtest.h>

#include <SDL.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fonts.h"

namespace vchat::text {
namespace {

using testing::Fallbacks;
using testing::fontSetOn;
using testing::kFontPath;
using sdl::SurfacePtr;

constexpr SDL_Color kWhite{234, 240, 255, 255};

// Equal size and equal pixels, or both null.
::testing::AssertionResult samePixels(SDL_Surface* a, SDL_Surface* b) {
    if (!a || !b) return a == b ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "one is null";
    if (a->w != b->w || a->h != b->h || a->format->format != b->format->format)
        return ::testing::AssertionFailure() << a->w << "x" << a->h << " against " << b->w << "x" << b->h;
    for (int y = 0; y < a->h; ++y)
        if (std::memcmp(static_cast<Uint8*>(a->pixels) + y * a->pitch, static_cast<Uint8*>(b->pixels) + y * b->pitch,
                        static_cast<std::size_t>(a->w) * 4) != 0)
            return ::testing::AssertionFailure() << "row " << y << " differs";
    return ::testing::AssertionSuccess();
}

class TextRender : public testing::RealFonts {
protected:
    SurfacePtr line(const std::string& s, SDL_Color colour = kWhite) { return renderText(fonts, s, colour); }
};

TEST_F(TextRender, MainFontTextIsTheFontRenderersOwnAtEveryWidth) {
    const std::vector<std::string> corpus = {
        "msg msh/EU_868/2/json/LongFast/!a1b2c3d4\n{\"from\":3000000001,\"payload\":{\"text\":\"hello\"}}",
        "crlf\r\nrows\n\nend\r",
        "a tab\there and\ttwo",
        std::string("before nul\0after", 16),
        "bad \xC3\x28 bytes \xFF\xFE and a cut \xE2\x82",
        "a" + std::string(300, 'm') + " word",
        "combining e\xCC\x81 a\xCC\x8A o\xCC\x88 \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xCE\x93\xCE\xB5\xCE\xB9\xCE\xAC",
    };
    for (const std::string& s : corpus) {
        SCOPED_TRACE(s);
        ASSERT_TRUE(drawsWithMainFontOnly(fonts, s));
        SurfacePtr own(TTF_RenderUTF8_Blended(main.get(), s.c_str(), kWhite));
        EXPECT_TRUE(samePixels(line(s).get(), own.get())) << "one line";
        for (int width : {1, 10, 300, 1388}) {
            SurfacePtr wrapped(TTF_RenderUTF8_Blended_Wrapped(main.get(), s.c_str(), kWhite, width));
            EXPECT_TRUE(samePixels(renderWrapped(fonts, s, kWhite, width).get(), wrapped.get())) << "width " << width;
        }
    }
}

TEST_F(TextRender, EachScriptDrawsDistinctShapesNotTheMissingGlyphBox) {
    FontSet bare = fontSetOn(main.get(), Fallbacks::none);
    SurfacePtr box = renderText(bare, "\xF4\x8F\xBF\xBD", kWhite);   // a private-use code point no font has
    ASSERT_TRUE(box);
    const std::pair<const char*, const char*> samples[] = {
        {"\xE4\xB8\xAD", "\xE6\x96\x87"},           // Chinese
        {"\xE3\x81\x82", "\xE3\x82\xAB"},           // Japanese kana
        {"\xED\x95\x9C", "\xEA\xB8\x80"},           // Korean
        {"\xE0\xB8\x81", "\xE0\xB8\x82"},           // Thai
        {"\xD7\x90", "\xD7\x91"},                   // Hebrew
        {"\xE0\xA4\x95", "\xE0\xA4\x96"},           // Devanagari
    };
    for (const auto& [a, b] : samples) {
        SCOPED_TRACE(std::string(a) + " " + b);
        EXPECT_FALSE(drawsWithMainFontOnly(fonts, a));
        SurfacePtr first = line(a);
        SurfacePtr second = line(b);
        ASSERT_TRUE(first && second);
        EXPECT_EQ(first->h, TTF_FontHeight(main.get())) << "rows keep the main font's height";
        EXPECT_FALSE(samePixels(first.get(), second.get()));
        EXPECT_FALSE(samePixels(first.get(), box.get()));
        EXPECT_FALSE(samePixels(second.get(), box.get()));
    }
}

TEST_F(TextRender, EmojiAreOneColourCellOnTheRowEachSequenceToo) {
    SurfacePtr smile = line("\xF0\x9F\x98\x80");
    ASSERT_TRUE(smile);
    EXPECT_EQ(smile->h, TTF_FontHeight(main.get()));
    EXPECT_GE(smile->w, 16);
    EXPECT_LE(smile->w, 24);
    bool coloured = false;
    for (int y = 0; y < smile->h; ++y)
        for (int x = 0; x < smile->w; ++x) {
            const Uint32 p = reinterpret_cast<Uint32*>(static_cast<Uint8*>(smile->pixels) + y * smile->pitch)[x];
            const int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
            if ((p >> 24) > 128 && (std::abs(r - b) > 80 || std::abs(g - b) > 80)) coloured = true;
        }
    EXPECT_TRUE(coloured) << "no saturated pixel: not a colour emoji";
    EXPECT_TRUE(samePixels(smile.get(), line("\xF0\x9F\x98\x80", SDL_Color{255, 0, 0, 255}).get()))
        << "the text colour changed an emoji";
    const char* sequences[] = {
        "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",   // family
        "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA",                                           // flag
        "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",                                           // toned thumb
    };
    for (const char* s : sequences) {
        SurfacePtr cell = line(s);
        ASSERT_TRUE(cell) << s;
        EXPECT_EQ(cell->w, smile->w) << s << " is not one cell";
    }
}

TEST_F(TextRender, FieldTailsAreCutBetweenClustersAndFit) {
    std::string s;
    for (int i = 0; i < 12; ++i) s += "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD\xE4\xB8\xAD\xE0\xA4\x95\xE0\xA5\x8D\xE0\xA4\xB7";
    const std::vector<CodePoint> points = decodeUtf8(s);
    std::vector<std::size_t> boundaries;
    for (std::uint32_t start : clusterStarts(points)) boundaries.push_back(points[start].offset);
    boundaries.push_back(s.size());
    for (int width = 0; width <= 400; width += 7) {
        const std::size_t start = fitTailStart(fonts, s, width);
        ASSERT_NE(std::find(boundaries.begin(), boundaries.end(), start), boundaries.end()) << "width " << width;
        int w = 0, h = 0;
        ASSERT_TRUE(measureText(fonts, s.substr(start), w, h));
        EXPECT_LE(w, width);
        if (start > 0) {
            const std::size_t longer = *(std::find(boundaries.begin(), boundaries.end(), start) - 1);
            ASSERT_TRUE(measureText(fonts, s.substr(longer), w, h));
            EXPECT_GT(w, width) << "a longer tail fits too at width " << width;
        }
    }
}

TEST_F(TextRender, ArabicLettersJoin) {
    const std::string word = "\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85";   // salam, four letters that join
    const std::string apart = "\xD8\xB3\xE2\x80\x8C\xD9\x84\xE2\x80\x8C\xD8\xA7\xE2\x80\x8C\xD9\x85";   // with ZWNJ
    SurfacePtr joined = line(word);
    SurfacePtr separate = line(apart);
    ASSERT_TRUE(joined && separate);
    EXPECT_FALSE(samePixels(joined.get(), separate.get())) << "the letters took their isolated forms";
}

TEST_F(TextRender, WithoutFallbacksBoxesAsBeforeAndNoSearchPerFrame) {
    FontSet bare = fontSetOn(main.get(), Fallbacks::none);
    const std::string mixed = "\xE4\xB8\xAD\xE6\x96\x87 ok \xF0\x9F\x98\x80";
    SurfacePtr own(TTF_RenderUTF8_Blended(main.get(), mixed.c_str(), kWhite));
    EXPECT_TRUE(samePixels(renderText(bare, mixed, kWhite).get(), own.get()));
    for (FontSet* set : {&bare, &fonts}) {
        renderWrapped(*set, mixed, kWhite, 300);
        const std::uint64_t searched = set->searches;
        EXPECT_GT(searched, 0U);
        renderWrapped(*set, mixed, kWhite, 300);
        renderText(*set, mixed, kWhite);
        EXPECT_EQ(set->searches, searched) << "a code point seen before was searched again";
    }
}

}  // namespace
}  // namespace vchat::text
