#include "app/window_fit.h"

#include <cstdio>

#include "app/desktop.h"

namespace vchat {

namespace {

constexpr const char* kOverflowFormat =
    "The screen's usable area (%dx%d) is too small for the window at %d %%: parts of it are off the screen.\n";

// The usable area of the window's display, or nothing where SDL cannot say.
bool usableArea(SDL_Window* window, SDL_Rect& usable) {
    const int display = SDL_GetWindowDisplayIndex(window);
    return display >= 0 && SDL_GetDisplayUsableBounds(display, &usable) == 0 && usable.w > 0 && usable.h > 0;
}

}  // namespace

ScaleChoice fitWindow(SDL_Window* window, const FrameBorders& frame) {
    SDL_Rect usable{};
    if (!usableArea(window, usable)) return ScaleChoice{};   // the layout's own size where SDL put it
    const ScaleChoice choice = chooseScale(desktopScale(desktopDpi(window)), usable, frame);
    const SDL_Rect placed = placeWindow(choice.scale, usable, frame);
    SDL_SetWindowSize(window, placed.w, placed.h);
    SDL_SetWindowPosition(window, placed.x, placed.y);
    return choice;
}

void reportFit(SDL_Window* window, const ScaleChoice& choice) {
    SDL_Rect usable{};
    if (!choice.overflows || !usableArea(window, usable)) return;
    std::fprintf(stderr, kOverflowFormat, usable.w, usable.h, static_cast<int>(choice.scale.value() * 100 + 0.5));
}

FrameBorders frameBorders(SDL_Window* window) {
    FrameBorders b;
    if (SDL_GetWindowBordersSize(window, &b.top, &b.left, &b.bottom, &b.right) != 0) return FrameBorders{};
    return b;
}

}  // namespace vchat
