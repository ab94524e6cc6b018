// The window's side of screen reader support: F8 only with a bridge running, the window's focus
// tracked from SDL's events, and a reader's action doing what a click does.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/speech_policy.h"

namespace vchat {
namespace {

std::vector<std::string> texts(const App& app) {
    std::vector<std::string> out;
    std::lock_guard<std::mutex> lock(app.log.mutex);
    for (const LogLine& line : app.log.lines) out.emplace_back(access::withoutStamp(line.text));
    return out;
}

TEST(AccessKeys, F8TogglesSpeakingOnlyWithAScreenReader) {
    App app(1234, [] { return std::uint64_t{0}; });
    handleKey(app, SDLK_F8, KMOD_NONE);
    EXPECT_TRUE(app.speakNewLines);
    EXPECT_TRUE(texts(app).empty()) << "F8 did something without a screen reader";

    app.screenReader = true;
    handleKey(app, SDLK_F8, KMOD_NONE);
    EXPECT_FALSE(app.speakNewLines);
    handleKey(app, SDLK_F8, KMOD_NONE);
    EXPECT_TRUE(app.speakNewLines);
    EXPECT_EQ(texts(app), (std::vector<std::string>{std::string(access::kSpeakingOffText),
                                                    std::string(access::kSpeakingOnText)}));
}

TEST(AccessKeys, WindowFocusEventsSetActive) {
    App app(1, [] { return std::uint64_t{0}; });
    SDL_Event e{};
    e.type = SDL_WINDOWEVENT;
    e.window.event = SDL_WINDOWEVENT_FOCUS_GAINED;
    handleEvent(app, e);
    EXPECT_TRUE(app.windowActive);
    e.window.event = SDL_WINDOWEVENT_FOCUS_LOST;
    handleEvent(app, e);
    EXPECT_FALSE(app.windowActive);
}

TEST(AccessKeys, ActivatingAControlDoesWhatAClickDoes) {
    App app(1, [] { return std::uint64_t{0}; });
    activateControl(app, ControlRef{ControlKind::box, kHidePosition});
    EXPECT_TRUE(app.form.boxes[kHidePosition].ticked);
    activateControl(app, ControlRef{ControlKind::field, kChannel});
    EXPECT_EQ(app.focusedField, std::optional<FieldId>(kChannel));
    EXPECT_TRUE(app.form.fields[kChannel].focused);
    // A disabled button does nothing, as its click does.
    activateControl(app, ControlRef{ControlKind::button, kDisconnect});
    EXPECT_TRUE(app.form.buttons[kDisconnect].disabled);
    app.log.append("a line");
    activateControl(app, ControlRef{ControlKind::button, kClearLog});
    EXPECT_TRUE(texts(app).empty()) << "Clear Log left lines";
}

}  // namespace
}  // namespace vchat
