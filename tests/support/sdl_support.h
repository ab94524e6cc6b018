// SDL with its dummy video driver and SDL2_ttf, for tests that draw without a display.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace vchat::testing {

inline void startSdlAndTtf() {
    setEnvVar("SDL_VIDEODRIVER", "dummy");
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    ASSERT_EQ(TTF_Init(), 0) << TTF_GetError();
}

inline void stopSdlAndTtf() {
    TTF_Quit();
    SDL_Quit();
}

}  // namespace vchat::testing
