// A log line of emoji the client has never drawn costs a fraction of a millisecond per emoji to
// decode: the view makes a few dozen a frame and draws the line again until it is whole, so no
// frame freezes and the line ends up as it would have been drawn at once.
#include "log/log_draw.h"

#include <gtest/gtest.h>

#include <SDL.h>
#include <SDL_ttf.h>

#include "tests/support/hostile_texts.h"
#include "tests/support/fonts.h"
#include "tests/support/test_platform.h"
#include "text/text_render.h"

namespace vchat {
namespace {


using LogEmojiBudget = testing::RealFonts;

TEST_F(LogEmojiBudget, NewEmojiAreSpreadOverFramesAndTheLineEndsWhole) {
    {
        sdl::SurfacePtr surface(SDL_CreateRGBSurfaceWithFormat(0, 1440, 700, 32, SDL_PIXELFORMAT_ARGB8888));
        ASSERT_TRUE(surface);
        struct RendererDeleter {
            void operator()(SDL_Renderer* r) const { SDL_DestroyRenderer(r); }
        };
        std::unique_ptr<SDL_Renderer, RendererDeleter> renderer(SDL_CreateSoftwareRenderer(surface.get()));
        ASSERT_TRUE(renderer);

        const std::string emoji = testing::distinctEmoji();   // 1,232 of them, none drawn yet
        LogView view;
        view.rect = Rect{20, 435, 1400, 200};
        view.append(emoji);
        LogDrawCache cache;
        int frames = 0;
        double slowest = 0;
        for (; frames < 100; ++frames) {
            const double start = testing::threadCpuMs();
            drawLog(renderer.get(), fonts, view, cache);
            slowest = std::max(slowest, testing::threadCpuMs() - start);
            EXPECT_EQ(fonts.newCellBudget, -1) << "the ration outlived the log";
            if (!cache.images.begin()->second.provisional) break;
        }
        EXPECT_LT(slowest, testing::kFrameBudgetMs);
        EXPECT_GT(frames, 1) << "the whole line was made in one frame";
        ASSERT_LT(frames, 100) << "the line never became whole";

        // Whole: as tall as the line drawn at once, without a ration.
        text::FontSet fresh = freshFonts();
        sdl::SurfacePtr atOnce = text::renderWrapped(fresh, view.lines.front().text, kLogText, 1400 - kLogWrapMargin);
        ASSERT_TRUE(atOnce);
        EXPECT_EQ(cache.images.begin()->second.height, atOnce->h);
        resetLogDrawCache(cache);
    }
}

}  // namespace
}  // namespace vchat
