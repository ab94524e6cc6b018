// The window's size and place at start-up: the layout at the scale the desktop asks for, made
// smaller where the screen's usable area is too small for it with its frame (app/scale.h).
//
// Main thread only. Nothing fails: where SDL cannot say, the window keeps the layout's own size.
#pragma once

#include <SDL.h>

#include "app/scale.h"

namespace vchat {

// Chooses the scale for the display the window is on and gives the window that size and place,
// allowing for `frame`.
ScaleChoice fitWindow(SDL_Window* window, const FrameBorders& frame);
// Says on standard error, once the fit is final, when even the smallest scale does not fit.
void reportFit(SDL_Window* window, const ScaleChoice& choice);

// The frame the window manager put around the shown window; zeros where there is none.
FrameBorders frameBorders(SDL_Window* window);

}  // namespace vchat
