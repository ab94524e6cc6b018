#include "app/desktop.h"

#include <SDL_syswm.h>

#include <string_view>

#include "app/scale.h"

namespace vchat {

// What GTK and Qt programs scale their text by, set by the desktop's display settings. Read from
// SDL's own connection, so no second one is opened.
std::optional<double> desktopDpi(SDL_Window* window) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) return std::nullopt;
    const char* resources = XResourceManagerString(info.info.x11.display);
    if (!resources) return std::nullopt;
    return xftDpi(std::string_view(resources));
}

void declareDpiAwareness() {}

}  // namespace vchat
