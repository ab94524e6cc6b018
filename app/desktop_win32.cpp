#include "app/desktop.h"

namespace vchat {

std::optional<double> desktopDpi(SDL_Window* window) {
    const int display = SDL_GetWindowDisplayIndex(window);
    float dpi = 0;
    // Where the awareness was refused (a compatibility override) this is 96, and Windows stretches.
    if (display < 0 || SDL_GetDisplayDPI(display, &dpi, nullptr, nullptr) != 0) return std::nullopt;
    return dpi;
}

// The manifest embedded in the program says the same; the hint covers a build without it.
void declareDpiAwareness() { SDL_SetHint(SDL_HINT_WINDOWS_DPI_AWARENESS, "permonitorv2"); }

}  // namespace vchat
