#include "app/window_fit.h"

#include <cstdio>

#include "app/desktop.h"

namespace vchat {

namespace {

constexpr const char* kOverflowFormat =
    "The screen's usable area (%dx%d) is too small for the window at %d %%: parts of it are off the screen.\n";

}  // namespace

ScaleChoice fitWindow(SDL_Window* window, const FrameBorders& frame) {
    const int display = SDL_GetWindowDisplayIndex(window);
    SDL_Rect usable{};
    if (display < 0 || SDL_GetDisplayUsableBounds(display, &usable) != 0 || usable.w <= 0 || usable.h <= 0) {
        return ScaleChoice{};   // nothing to fit into: the layout's own size where SDL put it
    }
    const ScaleChoice choice = chooseScale(desktopScale(desktopDpi(window)), usable, frame);
    const SDL_Rect placed = placeWindow(choice.scale, usable, frame);
    SDL_SetWindowSize(window, placed.w, placed.h);
    SDL_SetWindowPosition(window, placed.x, placed.y);
    if (choice.overflows) {
        std::fprintf(stderr, kOverflowFormat, usable.w, usable.h, static_cast<int>(choice.scale.value() * 100 + 0.5));
    }
    return choice;
}

FrameBorders frameBorders(SDL_Window* window) {
    FrameBorders b;
    if (SDL_GetWindowBordersSize(window, &b.top, &b.left, &b.bottom, &b.right) != 0) return FrameBorders{};
    return b;
}

}  // namespace vchat
