// Texts a stranger can publish, drawn with the real fonts: no crash, no image wider than can be seen,
// and each one drawn well within a frame.
#include "text/text_render.h"

#include <gtest/gtest.h>

#include <SDL.h>
#include <SDL_ttf.h>

#include <string>
#include <vector>

#include "tests/support/hostile_texts.h"
#include "tests/support/fonts.h"
#include "tests/support/test_platform.h"

namespace vchat::text {
namespace {

using sdl::SurfacePtr;

constexpr SDL_Color kWhite{234, 240, 255, 255};
constexpr int kLogWrap = 1388;   // the log's wrap width
constexpr int kFieldWidth = 300;


using HostileText = testing::RealFonts;

// CPU time, not wall time: the budget is about the work, which a loaded test machine must not blur.
double msSince(double startMs) { return testing::threadCpuMs() - startMs; }

// Each text as a log line (wrapped) and as a text field draws it: the tail that fits, measured and
// drawn on one line. Widths stay within what the window can show.
TEST_F(HostileText, DrawsBoundedWithinAFrame) {
    for (const testing::HostileText& sample : testing::hostileTexts()) {
        SCOPED_TRACE(sample.name);
        // Warm: fonts open and glyphs cache on first use, as on the first frame that shows them.
        renderWrapped(fonts, sample.text, kWhite, kLogWrap);

        double start = testing::threadCpuMs();
        SurfacePtr wrapped = renderWrapped(fonts, sample.text, kWhite, kLogWrap);
        EXPECT_LT(msSince(start), testing::kFrameBudgetMs) << "as a log line";
        if (wrapped) {   // none for a text of zero width
            EXPECT_LE(wrapped->w, kLogWrap);
        }

        start = testing::threadCpuMs();
        const std::string tail = sample.text.substr(fitTailStart(fonts, sample.text, kFieldWidth));
        int w = 0, h = 0;
        measureText(fonts, tail, w, h);
        SurfacePtr field = renderText(fonts, tail, kWhite);
        EXPECT_LT(msSince(start), testing::kFrameBudgetMs) << "as a text field";
        EXPECT_LE(w, kFieldWidth);
        if (field) {
            EXPECT_LE(field->w, kFieldWidth);
        }

        // The whole text on one line: cut where no window could show more.
        start = testing::threadCpuMs();
        SurfacePtr line = renderText(fonts, sample.text, kWhite);
        EXPECT_LT(msSince(start), testing::kFrameBudgetMs) << "on one line";
        if (line) {
            EXPECT_LE(line->w, kMaxDrawnWidth);
        }
        ASSERT_TRUE(measureText(fonts, sample.text, w, h));
        EXPECT_GE(w, 0);
    }
}

// A long cluster is cut into clusters of its own: a row can end inside it, and what follows its
// first kMaxClusterPoints code points is no longer glued to the base.
TEST_F(HostileText, ClustersHaveABoundedLength) {
    std::string toned = "\xF0\x9F\x91\x8D";
    for (int i = 0; i < 100; ++i) toned += "\xF0\x9F\x8F\xBD";
    const std::vector<std::uint32_t> starts = clusterStarts(decodeUtf8(toned));
    ASSERT_EQ(starts.size(), 4u);   // 101 code points: 32 + 32 + 32 + 5
    EXPECT_EQ(starts[1], kMaxClusterPoints);
    SurfacePtr narrow = renderWrapped(fonts, toned, kWhite, 40);
    ASSERT_TRUE(narrow);
    EXPECT_EQ(narrow->w, 40);
    EXPECT_GT(narrow->h, TTF_FontHeight(main.get())) << "the text did not wrap";
}

}  // namespace
}  // namespace vchat::text
