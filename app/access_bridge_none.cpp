// Windows: no accessibility adapter yet; the window runs as without a screen reader.
#include "app/access_bridge.h"

namespace vchat {

LoopHooks startAccessBridge(App&, SDL_Window*) { return {}; }
void stopAccessBridge() {}

}  // namespace vchat
