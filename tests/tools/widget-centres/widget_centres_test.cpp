// The clicks the scripts take from widget-centres land on the widget they name, and on no other.
#include "tools/widget-centres/widget_centres.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/form.h"
#include "app/widgets.h"

namespace vchat {
namespace {

std::string field(std::size_t i) { return "field " + std::to_string(i); }
std::string box(std::size_t i) { return "box " + std::to_string(i); }
std::string button(std::size_t i) { return "button " + std::to_string(i); }

// Every widget of `form` that takes a click at (x, y), by the hit tests the main loop uses.
std::vector<std::string> widgetsAt(const Form& form, int x, int y) {
    std::vector<std::string> hit;
    for (std::size_t i = 0; i < kFieldCount; ++i)
        if (containsPoint(form.fields[i].rect, x, y)) hit.push_back(field(i));
    for (std::size_t i = 0; i < kBoxCount; ++i)
        if (checkboxHit(form.boxes[i], x, y)) hit.push_back(box(i));
    for (std::size_t i = 0; i < kButtonCount; ++i)
        if (containsPoint(form.buttons[i].rect, x, y)) hit.push_back(button(i));
    return hit;
}

TEST(WidgetCentres, EveryWidgetHasOneNameAndItsCentreReachesItAlone) {
    const Form form = buildForm(1128103180);
    std::set<std::string> names;
    std::set<std::string> reached;
    for (const WidgetCentre& c : widgetCentres()) {
        EXPECT_TRUE(names.insert(std::string(c.name)).second) << "two widgets named " << c.name;
        const std::vector<std::string> hit = widgetsAt(form, c.x, c.y);
        ASSERT_EQ(hit.size(), 1u) << c.name << " at " << c.x << "," << c.y << " reaches " << hit.size() << " widgets";
        EXPECT_TRUE(reached.insert(hit[0]).second) << c.name << " reaches " << hit[0] << ", named already";
    }
    EXPECT_EQ(reached.size(), kFieldCount + kBoxCount + kButtonCount);
}

// The names scripts/screenshot, scripts/windows-client-check and the README's walk-through click.
TEST(WidgetCentres, TheNamesTheScriptsUseReachTheirWidgets) {
    const Form form = buildForm(1128103180);
    const std::map<std::string, std::string> expected = {
        {"broker-host", field(kBrokerHost)}, {"port", field(kPort)},       {"root-topic", field(kRootTopic)},
        {"message-line", field(kMessageLine)}, {"decode-raw", box(kDecodeRaw)}, {"connect", button(kConnect)},
        {"disconnect", button(kDisconnect)}, {"send", button(kSend)},
    };
    std::map<std::string, std::string> got;
    for (const WidgetCentre& c : widgetCentres()) {
        const std::vector<std::string> hit = widgetsAt(form, c.x, c.y);
        if (expected.count(std::string(c.name)) && hit.size() == 1) got[std::string(c.name)] = hit[0];
    }
    EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace vchat
