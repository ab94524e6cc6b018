// widget-centres: one line per widget of the form, "NAME X Y", X and Y in layout coordinates.
// Usage: widget-centres   (no options)
#include <cstdio>

#include "tools/widget-centres/widget_centres.h"

int main() {
    for (const vchat::WidgetCentre& c : vchat::widgetCentres())
        std::printf("%.*s %d %d\n", static_cast<int>(c.name.size()), c.name.data(), c.x, c.y);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
