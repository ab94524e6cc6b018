// Screen readers: the window's controls, the log and spoken new lines handed to the platform's
// accessibility layer (ATK and its bridge to AT-SPI on Linux; nothing yet on Windows).
//
// Without an accessibility bus, or with NO_AT_BRIDGE=1, startAccessBridge returns empty hooks and
// the loop runs, draws and idles exactly as without it. Main thread only.
#pragma once

#include <SDL.h>

#include "app/app.h"

namespace vchat {

// Connects to the accessibility bus and publishes the window; `app` and `window` must outlive
// stopAccessBridge. Sets app.screenReader when it runs.
LoopHooks startAccessBridge(App& app, SDL_Window* window);
// Withdraws the window from the bus; nothing when none was published.
void stopAccessBridge();

}  // namespace vchat
