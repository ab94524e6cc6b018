// Where a person clicks each widget of the form: the middle of its rectangle (of a check box, the
// middle of its square), under a fixed name, in layout coordinates (the window's pixels as
// app/form.h lays them out). Scripts that drive the client take their clicks from here rather than
// typing coordinates of their own.
#pragma once

#include <string_view>
#include <vector>

namespace vchat {

struct WidgetCentre {
    std::string_view name;   // lower case with hyphens: "broker-host", "decode-raw", "connect"
    int x = 0;
    int y = 0;
};

// Every field, check box and button of the form, each once.
std::vector<WidgetCentre> widgetCentres();

}  // namespace vchat
