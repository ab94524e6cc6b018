// The main loop's event handling, driven with synthetic SDL events (no display needed).
#include "app/app.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "log/log_file.h"
#include "tests/support/log_texts.h"
#include "tests/support/mosquitto.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using testing::logTexts;

constexpr std::uint32_t kNode = 1128103180;   // 433d7d0c

SDL_Event clickAt(int x, int y) {
    SDL_Event e{};
    e.type = SDL_MOUSEBUTTONDOWN;
    e.button.button = SDL_BUTTON_LEFT;
    e.button.x = x;
    e.button.y = y;
    return e;
}

SDL_Event keyDown(SDL_Keycode key, std::uint16_t mod = KMOD_NONE) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.keysym.sym = key;
    e.key.keysym.mod = mod;
    return e;
}

SDL_Event textInput(const char* bytes) {
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    std::snprintf(e.text.text, sizeof e.text.text, "%s", bytes);
    return e;
}

SDL_Event wheelBy(int y) {
    SDL_Event e{};
    e.type = SDL_MOUSEWHEEL;
    e.wheel.y = y;
    return e;
}

SDL_Point centre(const SDL_Rect& r) { return SDL_Point{r.x + r.w / 2, r.y + r.h / 2}; }

// Which field has focus, checked against the fields' own flags: exactly that one or none.
std::optional<FieldId> focusOf(const App& app) {
    int flagged = 0;
    for (const TextField& f : app.form.fields) flagged += f.focused ? 1 : 0;
    EXPECT_LE(flagged, 1);
    if (app.focusedField) {
        EXPECT_TRUE(app.form.fields[*app.focusedField].focused);
        EXPECT_EQ(flagged, 1);
    } else {
        EXPECT_EQ(flagged, 0);
    }
    return app.focusedField;
}

class Events : public ::testing::Test {
protected:
    void send(const SDL_Event& e) { EXPECT_TRUE(handleEvent(app, e)); }
    void click(const SDL_Rect& r) {
        const SDL_Point p = centre(r);
        send(clickAt(p.x, p.y));
    }
    std::uint64_t now = 0;
    App app{kNode, [this] { return now; }};
};

TEST_F(Events, ClickFocusesEachOfTheSixteenFieldsHiddenOnesToo) {
    ASSERT_FALSE(pskFieldsVisible(app.form));
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        const SDL_Rect& r = app.form.fields[i].rect;
        // Centre and the far corner: the edges belong to the field.
        for (SDL_Point p : {centre(r), SDL_Point{r.x + r.w, r.y + r.h}, SDL_Point{r.x, r.y}}) {
            send(clickAt(p.x, p.y));
            EXPECT_EQ(focusOf(app), static_cast<FieldId>(i)) << app.form.fields[i].label;
        }
        send(clickAt(r.x + r.w + 1, r.y));
        EXPECT_EQ(focusOf(app), std::nullopt) << "one pixel right of " << app.form.fields[i].label;
    }
}

TEST_F(Events, ClickOnAButtonCheckBoxOrEmptySpaceRemovesFocus) {
    const Checkbox& box = app.form.boxes[kHideTelemetry];
    for (SDL_Point p : {SDL_Point{box.rect.x + 5, box.rect.y + 5}, centre(app.form.buttons[kDisconnect].rect),
                        SDL_Point{900, 30}, SDL_Point{5, 5}}) {
        click(app.form.fields[kUsername].rect);
        ASSERT_EQ(focusOf(app), kUsername);
        send(clickAt(p.x, p.y));
        EXPECT_EQ(focusOf(app), std::nullopt) << p.x << "," << p.y;
    }
}

TEST_F(Events, TypingGoesToTheFocusedFieldOnlyHiddenFieldsIncluded) {
    send(textInput("dropped"));
    click(app.form.fields[kPskIdentity].rect);
    send(textInput("id\xC3\xA9"));
    send(textInput("2"));
    EXPECT_EQ(app.form.fields[kPskIdentity].text, "id\xC3\xA9" "2");
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (i != kPskIdentity) {
            EXPECT_EQ(app.form.fields[i].text.find("dropped"), std::string::npos);
        }
    }
}

TEST_F(Events, TabWalksTheFocusOrderAndWraps) {
    send(keyDown(SDLK_TAB));
    EXPECT_EQ(focusOf(app), kBrokerHost);
    for (std::size_t i = 1; i < kFieldCount; ++i) {
        send(keyDown(SDLK_TAB, i % 2 ? KMOD_LSHIFT : KMOD_NONE));   // Shift does not reverse
        EXPECT_EQ(focusOf(app), static_cast<FieldId>(i));
    }
    EXPECT_EQ(focusOf(app), kToId);
    send(keyDown(SDLK_TAB));
    EXPECT_EQ(focusOf(app), kBrokerHost);

    // Channel PSK follows Long Name, not the field below it on screen.
    click(app.form.fields[kLongName].rect);
    send(keyDown(SDLK_TAB));
    EXPECT_EQ(focusOf(app), kChannelPsk);
}

TEST_F(Events, EscapeDropsFocusAndFurtherTyping) {
    click(app.form.fields[kPort].rect);
    send(keyDown(SDLK_ESCAPE));
    EXPECT_EQ(focusOf(app), std::nullopt);
    send(textInput("9"));
    send(keyDown(SDLK_BACKSPACE));
    EXPECT_EQ(app.form.fields[kPort].text, "1883");
    send(keyDown(SDLK_ESCAPE));
    EXPECT_EQ(focusOf(app), std::nullopt);
}

TEST_F(Events, BackspaceRemovesOneCharacter) {
    click(app.form.fields[kShortName].rect);
    send(textInput("\xC3\xA9"));
    send(keyDown(SDLK_BACKSPACE));
    EXPECT_EQ(app.form.fields[kShortName].text, "zk52");
    for (int i = 0; i < 10; ++i) send(keyDown(SDLK_BACKSPACE));
    EXPECT_EQ(app.form.fields[kShortName].text, "");
}

TEST_F(Events, ReturnSendsOnlyFromTheMessageLine) {
    app.form.fields[kMessageLine].text = "hello";
    click(app.form.fields[kRootTopic].rect);
    send(keyDown(SDLK_RETURN));
    send(keyDown(SDLK_ESCAPE));
    send(keyDown(SDLK_RETURN));
    click(app.form.fields[kMessageLine].rect);
    send(keyDown(SDLK_KP_ENTER));
    EXPECT_TRUE(logTexts(app.log).empty());

    send(keyDown(SDLK_RETURN));
    EXPECT_EQ(logTexts(app.log), std::vector<std::string>{std::string(kNotConnectedText)});
    EXPECT_EQ(app.form.fields[kMessageLine].text, "hello");
    EXPECT_EQ(focusOf(app), kMessageLine);

    // The Send button takes the same way.
    click(app.form.buttons[kSend].rect);
    EXPECT_EQ(logTexts(app.log).size(), 2u);
}

TEST_F(Events, WheelMovesOneLinePerEventWithinBounds) {
    send(wheelBy(-3));
    EXPECT_EQ(app.log.scroll, 0);
    send(wheelBy(0));
    EXPECT_EQ(app.log.scroll, 0);
    send(wheelBy(7));
    EXPECT_EQ(app.log.scroll, 1);
    for (int i = 0; i < kMaxScroll + 5; ++i) send(wheelBy(1));
    EXPECT_EQ(app.log.scroll, kMaxScroll);
    send(wheelBy(-100));
    EXPECT_EQ(app.log.scroll, kMaxScroll - 1);
}

TEST_F(Events, CtrlLClearsWithEitherCtrlKey) {
    for (std::uint16_t mod : {KMOD_LCTRL, KMOD_RCTRL}) {
        app.log.append("one");
        app.log.append("two");
        send(wheelBy(1));
        send(keyDown(SDLK_l));
        send(keyDown(SDLK_l, KMOD_LSHIFT));
        EXPECT_EQ(logTexts(app.log).size(), 2u);
        send(keyDown(SDLK_l, mod));
        EXPECT_TRUE(logTexts(app.log).empty());
        EXPECT_EQ(app.log.scroll, 0);
    }
    app.log.append("three");
    click(app.form.buttons[kClearLog].rect);
    EXPECT_TRUE(logTexts(app.log).empty());
}

// Saving writes into the working directory; each test gets its own.
class SaveEvents : public Events {
protected:
    void SetUp() override {
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        oldDir = buf;
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
    }
    void TearDown() override { EXPECT_EQ(chdir(oldDir.c_str()), 0); }
    std::string oldDir;
    testing::TempDir dir;
};

TEST_F(SaveEvents, CtrlSAndTheButtonSaveAndReport) {
    app.log.append("first");
    for (std::uint16_t mod : {KMOD_LCTRL, KMOD_RCTRL}) {
        send(keyDown(SDLK_s));
        ASSERT_EQ(logTexts(app.log).size(), 1u) << "s without Ctrl saves nothing";
        send(keyDown(SDLK_s, mod));
        const std::vector<std::string> texts = logTexts(app.log);
        ASSERT_EQ(texts.size(), 2u);
        const std::string prefix(kSavedLogPrefix);
        ASSERT_EQ(texts[1].substr(0, prefix.size()), prefix);
        const std::string name = texts[1].substr(prefix.size());
        const std::string file = testing::readFile(dir.file(name));
        EXPECT_EQ(file.substr(0, 3), "\xEF\xBB\xBF");
        EXPECT_NE(file.find("  first\r\n"), std::string::npos);
        EXPECT_EQ(file.find("Saved log"), std::string::npos) << "the report is not part of the file";
        app.log.clear();
        app.log.append("first");
    }
    click(app.form.buttons[kSaveLog].rect);
    const std::vector<std::string> texts = logTexts(app.log);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1].rfind(std::string(kSavedLogPrefix) + "chatlog-", 0), 0u) << texts[1];
}

TEST_F(SaveEvents, KeyAndButtonReportFailureDifferently) {
    // A working directory that no longer exists refuses new files, even to root.
    const std::string gone = dir.file("gone");
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    send(keyDown(SDLK_s, KMOD_LCTRL));
    click(app.form.buttons[kSaveLog].rect);
    EXPECT_EQ(logTexts(app.log),
              (std::vector<std::string>{std::string(kSaveFailedKeyText), std::string(kSaveFailedButtonText)}));
}

TEST_F(Events, CheckBoxesFlipOnlyOnTheirSquare) {
    for (std::size_t i = 0; i < kBoxCount; ++i) {
        Checkbox& box = app.form.boxes[i];
        const bool before = box.ticked;
        send(clickAt(box.rect.x + 30, box.rect.y + 10));   // the caption
        send(clickAt(box.rect.x + 21, box.rect.y + 10));
        send(clickAt(box.rect.x + 10, box.rect.y - 1));
        EXPECT_EQ(box.ticked, before) << box.label;
        send(clickAt(box.rect.x + 20, box.rect.y + 20));
        EXPECT_EQ(box.ticked, !before) << box.label;
        send(clickAt(box.rect.x, box.rect.y));
        EXPECT_EQ(box.ticked, before) << box.label;
    }
}

TEST_F(Events, ClicksOnDisabledConnectionButtonsDoNothing) {
    click(app.form.buttons[kDisconnect].rect);
    EXPECT_FALSE(app.connected.load());
    EXPECT_FALSE(app.form.buttons[kConnect].disabled);
    EXPECT_TRUE(app.form.buttons[kDisconnect].disabled);

    app.form.buttons[kConnect].disabled = true;
    click(app.form.buttons[kConnect].rect);
    EXPECT_FALSE(app.connected.load());
    EXPECT_FALSE(app.worker.running());
    EXPECT_TRUE(logTexts(app.log).empty());
}

// The form's widgets reach the actions' records in the right places.
TEST_F(Events, ConnectAndSendReadTheirOwnFields) {
    Form& f = app.form;
    ConnectForm cf = connectForm(f);
    const std::pair<const std::string*, FieldId> connectFields[] = {
        {&cf.host, kBrokerHost},      {&cf.port, kPort},         {&cf.user, kUsername},
        {&cf.password, kPassword},    {&cf.rootTopic, kRootTopic}, {&cf.channel, kChannel},
        {&cf.channelPsk, kChannelPsk}, {&cf.caPath, kCaPath},     {&cf.pskIdentity, kPskIdentity},
        {&cf.pskKeyHex, kPskKey}};
    for (const auto& [member, id] : connectFields) EXPECT_EQ(member, &f.fields[id].text) << kFieldTable[id].caption;
    const std::pair<const bool*, BoxId> connectBoxes[] = {
        {&cf.decodeRaw, kDecodeRaw},         {&cf.hideNodeinfo, kHideNodeinfo}, {&cf.hidePosition, kHidePosition},
        {&cf.hideTelemetry, kHideTelemetry}, {&cf.hideTraceroute, kHideTraceroute}, {&cf.useTls, kUseTls},
        {&cf.verifyServer, kVerifyServer},   {&cf.tlsPskMode, kTlsPskMode}};
    for (const auto& [member, id] : connectBoxes) EXPECT_EQ(member, &f.boxes[id].ticked) << kBoxTable[id].caption;

    SendForm sf = sendForm(f);
    EXPECT_EQ(&sf.message, &f.fields[kMessageLine].text);
    EXPECT_EQ(&sf.fromId, &f.fields[kFromId].text);
    EXPECT_EQ(&sf.gatewayHex, &f.fields[kGatewayHex].text);
    EXPECT_EQ(&sf.channel, &f.fields[kChannel].text);
    EXPECT_EQ(&sf.shortName, &f.fields[kShortName].text);
    EXPECT_EQ(&sf.longName, &f.fields[kLongName].text);
    EXPECT_EQ(&sf.rootTopic, &f.fields[kRootTopic].text);
    EXPECT_EQ(&sf.toId, &f.fields[kToId].text);
    EXPECT_EQ(&sf.broadcast, &f.boxes[kBroadcast].ticked);
}

// Where the keyboard focus is, as a control: a field, a check box, a button or nothing.
std::optional<ControlRef> keyFocusOf(const App& app) {
    const std::optional<FieldId> field = focusOf(app);
    if (field) {
        EXPECT_FALSE(app.focusedControl.has_value()) << "a field and a control both focused";
        return ControlRef{ControlKind::field, *field};
    }
    return app.focusedControl;
}

TEST_F(Events, F6WalksEveryDrawnControlInScreenOrderAndShiftF6WalksBack) {
    for (bool pskShown : {false, true}) {
        app.form.boxes[kUseTls].ticked = app.form.boxes[kTlsPskMode].ticked = pskShown;
        std::vector<ControlRef> want;
        for (const ControlRef& c : kScreenOrder) {
            const bool psk = c.kind == ControlKind::field && (c.index == kPskIdentity || c.index == kPskKey);
            if (pskShown || !psk) want.push_back(c);
        }
        send(keyDown(SDLK_ESCAPE));
        std::vector<ControlRef> forward, backward;
        for (std::size_t i = 0; i < want.size() + 1; ++i) {   // one more: round the end to the first
            send(keyDown(SDLK_F6));
            forward.push_back(keyFocusOf(app).value_or(ControlRef{ControlKind::field, 99}));
        }
        EXPECT_EQ(forward.back(), want.front());
        forward.pop_back();
        EXPECT_TRUE(forward == want) << "PSK fields shown: " << pskShown;
        send(keyDown(SDLK_ESCAPE));
        for (std::size_t i = 0; i < want.size(); ++i) {
            send(keyDown(SDLK_F6, KMOD_LSHIFT));
            backward.insert(backward.begin(), keyFocusOf(app).value_or(ControlRef{ControlKind::field, 99}));
        }
        EXPECT_TRUE(backward == want) << "PSK fields shown: " << pskShown;
    }
    // From a field that Tab or a click focused, F6 goes on from there.
    click(app.form.fields[kRootTopic].rect);
    send(keyDown(SDLK_F6));
    EXPECT_EQ(keyFocusOf(app), (ControlRef{ControlKind::button, kConnect}));
    // Tab and Escape keep their effects: Tab from a button goes to the first field.
    send(keyDown(SDLK_TAB));
    EXPECT_EQ(focusOf(app), kBrokerHost);
    send(keyDown(SDLK_F6));
    send(keyDown(SDLK_ESCAPE));
    EXPECT_EQ(keyFocusOf(app), std::nullopt);
}

TEST_F(Events, SpaceAndReturnToggleTheFocusedBoxAndPressTheFocusedButton) {
    auto focusOn = [&](ControlRef target) {
        send(keyDown(SDLK_ESCAPE));
        for (std::size_t i = 0; i < std::size(kScreenOrder) && keyFocusOf(app) != target; ++i) send(keyDown(SDLK_F6));
        ASSERT_EQ(keyFocusOf(app), target);
    };
    focusOn({ControlKind::box, kDecodeRaw});
    for (SDL_Keycode key : {SDLK_SPACE, SDLK_RETURN}) {
        const bool before = app.form.boxes[kDecodeRaw].ticked;
        send(keyDown(key));
        EXPECT_NE(app.form.boxes[kDecodeRaw].ticked, before) << SDL_GetKeyName(key);
    }
    std::vector<std::string> before;
    for (const TextField& f : app.form.fields) before.push_back(f.text);
    send(textInput(" "));   // the space's own text goes nowhere
    for (std::size_t i = 0; i < kFieldCount; ++i) EXPECT_EQ(app.form.fields[i].text, before[i]) << kFieldTable[i].caption;

    focusOn({ControlKind::button, kClearLog});
    for (SDL_Keycode key : {SDLK_SPACE, SDLK_RETURN}) {
        app.log.append("a line");
        send(keyDown(key));
        EXPECT_TRUE(app.log.lines.empty()) << SDL_GetKeyName(key);
    }
    // A disabled button takes the focus but not the press.
    focusOn({ControlKind::button, kDisconnect});
    send(keyDown(SDLK_RETURN));
    EXPECT_TRUE(app.form.buttons[kDisconnect].disabled);
    EXPECT_FALSE(app.connected.load());
    // A click ends the keyboard's focus on a control, as it ends a field's.
    send(clickAt(900, 30));
    EXPECT_EQ(keyFocusOf(app), std::nullopt);
}

TEST_F(Events, LeftAltLettersAreShortcutsAndTypeNothing) {
    click(app.form.fields[kRootTopic].rect);
    SDL_Event altDown = keyDown(SDLK_LALT, KMOD_LALT), altUp = altDown;
    altUp.type = SDL_KEYUP;
    send(altDown);
    send(keyDown(SDLK_d, KMOD_LALT));   // Disconnect is disabled: nothing
    send(textInput("d"));
    send(altUp);
    EXPECT_EQ(app.form.fields[kRootTopic].text, std::string(kDefaultRootTopic));
    EXPECT_FALSE(app.connected.load());
    send(textInput("d"));
    EXPECT_EQ(app.form.fields[kRootTopic].text, std::string(kDefaultRootTopic) + "d");
    // A window that loses the focus while Left Alt is down never hears it released.
    send(altDown);
    SDL_Event lost{};
    lost.type = SDL_WINDOWEVENT;
    lost.window.event = SDL_WINDOWEVENT_FOCUS_LOST;
    send(lost);
    send(textInput("e"));
    EXPECT_EQ(app.form.fields[kRootTopic].text, std::string(kDefaultRootTopic) + "de");
}

// SDL's event queue needs the video subsystem; the dummy driver needs no display.
class QueuedEvents : public Events {
protected:
    void SetUp() override {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
    }
    void TearDown() override { SDL_Quit(); }
    void push(SDL_Event e) { ASSERT_EQ(SDL_PushEvent(&e), 1) << SDL_GetError(); }
};

TEST_F(QueuedEvents, QuitEndsTheDrainingAtOnce) {
    click(app.form.fields[kMessageLine].rect);
    push(textInput("a"));
    push(keyDown(SDLK_TAB));
    SDL_Event quit{};
    quit.type = SDL_QUIT;
    push(quit);
    push(textInput("b"));
    drainEvents(app);
    EXPECT_TRUE(app.quitRequested);
    EXPECT_EQ(app.form.fields[kMessageLine].text, "a");
    EXPECT_EQ(focusOf(app), kCaPath);
    SDL_Event left{};
    ASSERT_EQ(SDL_PollEvent(&left), 1) << "the event behind the quit stays queued";
    EXPECT_EQ(left.type, SDL_TEXTINPUT);
    EXPECT_STREQ(left.text.text, "b");
}

TEST_F(QueuedEvents, DrainingHandlesEveryQueuedEvent) {
    click(app.form.fields[kToId].rect);
    for (const char* t : {"1", "2", "3"}) push(textInput(t));
    push(wheelBy(1));
    drainEvents(app);
    EXPECT_FALSE(app.quitRequested);
    EXPECT_EQ(app.form.fields[kToId].text, "123");
    EXPECT_EQ(app.log.scroll, 1);
}

TEST_F(Events, FrameInputsFollowTheLogAndTheCaret) {
    FrameInputs shown = frameInputs(app);
    EXPECT_EQ(frameInputs(app), shown);
    now = 500;
    EXPECT_EQ(frameInputs(app), shown) << "no caret without focus";

    click(app.form.fields[kToId].rect);
    now = 0;
    shown = frameInputs(app);
    now = 499;
    EXPECT_EQ(frameInputs(app), shown);
    now = 500;
    EXPECT_NE(frameInputs(app), shown) << "the caret went off";
    shown = frameInputs(app);
    now = 1000;
    EXPECT_NE(frameInputs(app), shown) << "the caret came back";
    shown = frameInputs(app);

    app.log.append("a line");
    EXPECT_NE(frameInputs(app), shown);
    shown = frameInputs(app);
    send(wheelBy(1));
    EXPECT_NE(frameInputs(app), shown);
    shown = frameInputs(app);
    app.log.clear();
    EXPECT_NE(frameInputs(app), shown);
    shown = frameInputs(app);
    app.log.append("a line");   // same count and scroll as before the clear, yet a new line
    EXPECT_NE(frameInputs(app), shown);
}

// Whether any stored line's text satisfies `match`.
bool logHas(const LogView& log, const std::function<bool(const std::string&)>& match) {
    for (const std::string& t : logTexts(log)) {
        if (match(t)) return true;
    }
    return false;
}

// A real worker against a local broker, driven through the form as a user would.
TEST(AppWorker, ConnectSendAndQuitWhileConnected) {
    std::unique_ptr<testing::Mosquitto> broker = testing::Mosquitto::start();
    ASSERT_TRUE(broker);
    App app{kNode, [] { return std::uint64_t{0}; }};
    app.form.fields[kBrokerHost].text = "127.0.0.1";
    app.form.fields[kPort].text = broker->portText();
    const SDL_Point connect = centre(app.form.buttons[kConnect].rect);
    EXPECT_TRUE(handleEvent(app, clickAt(connect.x, connect.y)));
    EXPECT_TRUE(app.connected.load());
    EXPECT_TRUE(app.form.buttons[kConnect].disabled);
    EXPECT_FALSE(app.form.buttons[kDisconnect].disabled);
    ASSERT_TRUE(testing::waitUntil(
        [&] { return logHas(app.log, [](const std::string& t) { return t == "Connected to broker."; }); }, 30s))
        << "no login";

    const SDL_Point line = centre(app.form.fields[kMessageLine].rect);
    handleEvent(app, clickAt(line.x, line.y));
    handleEvent(app, textInput("hello mesh"));
    handleEvent(app, keyDown(SDLK_RETURN));
    EXPECT_EQ(app.form.fields[kMessageLine].text, "");
    EXPECT_EQ(app.focusedField, kMessageLine);
    EXPECT_TRUE(testing::waitUntil(
        [&] {
            return logHas(app.log, [](const std::string& t) {
                return t.rfind("sent -> msh/EU_868/2/json/mqtt/!433d7d0c :: ", 0) == 0 &&
                       t.find("hello mesh") != std::string::npos;
            });
        },
        30s))
        << "the message was not published";

    // Quitting while connected: the worker is stopped and joined; the buttons are left alone.
    shutDownApp(app);
    EXPECT_FALSE(app.worker.running());
    EXPECT_EQ(logTexts(app.log).back(), "Disconnected.");
    EXPECT_TRUE(app.connected.load());
    EXPECT_TRUE(app.form.buttons[kConnect].disabled);
}

TEST(FramePacing, FastFramesAreStretchedToSixteenMilliseconds) {
    EXPECT_EQ(frameWaitMs(0), 16u);
    EXPECT_EQ(frameWaitMs(1), 15u);
    EXPECT_EQ(frameWaitMs(14), 2u);
    EXPECT_EQ(frameWaitMs(15), 0u);
    EXPECT_EQ(frameWaitMs(16), 0u);
    EXPECT_EQ(frameWaitMs(1000), 0u);
}

}  // namespace
}  // namespace vchat
