// The operating system's part of the window's scale (app/scale.h): the desktop's own scale setting.
// Main thread only. Nothing fails: what cannot be asked is left out.
#pragma once

#include <SDL.h>

#include <optional>

namespace vchat {

// The desktop's text resolution for the display the window is on; 96 is 100 %. X11: Xft.dpi from
// the root window's resources. Windows: the monitor's effective DPI, which the program is told
// only because it declares itself DPI-aware.
std::optional<double> desktopDpi(SDL_Window* window);

// Before SDL starts its video: ask Windows for real pixels and each monitor's own DPI. Nothing elsewhere.
void declareDpiAwareness();

}  // namespace vchat
