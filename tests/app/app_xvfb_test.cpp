// The real program on a virtual X display: its window is mapped once, matches the layout at sampled
// pixels and idles cheaply, it connects when the user types a broker in, and SIGTERM ends it with
// status 0 after the worker has said goodbye to the broker. Skipped only where Xvfb is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/form.h"
#include "app/widgets.h"
#include "tests/support/client_window.h"
#include "tests/support/fake_broker.h"
#include "tests/support/mosquitto.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using testing::clientBinary;
using testing::onPath;
using testing::readFile;
using testing::TempDir;

constexpr SDL_Color kLogBackgroundRgb{10, 15, 36, 255};
constexpr SDL_Color kLogBorderRgb{39, 48, 96, 255};

// A screenshot of the whole screen as RGB rows.
struct Screenshot {
    int width = 0;
    int height = 0;
    std::string rgb;
    SDL_Color at(int x, int y) const {
        const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
        return SDL_Color{static_cast<Uint8>(rgb[i]), static_cast<Uint8>(rgb[i + 1]), static_cast<Uint8>(rgb[i + 2]), 255};
    }
};

bool sameRgbAt(const Screenshot& s, int x, int y, SDL_Color c) {
    if (x < 0 || y < 0 || x >= s.width || y >= s.height) return false;
    const SDL_Color got = s.at(x, y);
    return got.r == c.r && got.g == c.g && got.b == c.b;
}

// Reads a binary PPM (P6, maximum 255).
std::optional<Screenshot> parsePpm(const std::string& data) {
    std::size_t pos = 0;
    auto token = [&]() -> std::string {
        for (;;) {
            while (pos < data.size() && std::isspace(static_cast<unsigned char>(data[pos]))) ++pos;
            if (pos < data.size() && data[pos] == '#') {
                while (pos < data.size() && data[pos] != '\n') ++pos;
                continue;
            }
            break;
        }
        const std::size_t start = pos;
        while (pos < data.size() && !std::isspace(static_cast<unsigned char>(data[pos]))) ++pos;
        return data.substr(start, pos - start);
    };
    if (token() != "P6") return std::nullopt;
    Screenshot s;
    s.width = std::atoi(token().c_str());
    s.height = std::atoi(token().c_str());
    if (token() != "255" || s.width <= 0 || s.height <= 0) return std::nullopt;
    ++pos;   // the single white-space byte before the pixels
    const std::size_t size = static_cast<std::size_t>(s.width) * s.height * 3;
    if (data.size() < pos + size) return std::nullopt;
    s.rgb = data.substr(pos, size);
    return s;
}

class XvfbClient : public ::testing::Test {
protected:
    void SetUp() override {
        if (!onPath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps installs it)";
        ASSERT_TRUE(onPath("xdotool")) << "xdotool is missing (scripts/install-deps installs it)";
        ASSERT_TRUE(onPath("import")) << "imagemagick is missing (scripts/install-deps installs it)";
        ASSERT_TRUE(onPath("xev")) << "x11-utils is missing (scripts/install-deps installs it)";
        ASSERT_EQ(access(clientBinary().c_str(), X_OK), 0) << "build veldra-chat first";
        ASSERT_TRUE(x.start()) << "could not start Xvfb";
    }

    void startClient() {
        client.start();
        ASSERT_FALSE(HasFatalFailure());
        std::string geometry;
        ASSERT_EQ(client.xdotool({"getwindowgeometry", "--shell", client.window()}, &geometry), 0);
        ASSERT_NE(geometry.find("X="), std::string::npos) << geometry;
        ASSERT_EQ(std::sscanf(geometry.substr(geometry.find("X=")).c_str(), "X=%d\nY=%d", &originX, &originY), 2)
            << geometry;
        // The first frame is on screen once the window corner shows the background.
        ASSERT_TRUE(testing::waitUntil(
            [&] {
                shot = screenshot();
                return shot && sameRgbAt(*shot, originX, originY, kPalette.background);
            },
            60s))
            << "the window never showed its background";
    }

    // Types 127.0.0.1 and `port` into the form and presses Connect.
    void connectTo(const std::string& port) {
        client.setField(testing::centreOf(kBrokerHost), 40, "127.0.0.1");
        client.setField(testing::centreOf(kPort), 10, port);
        client.key("Escape");
        client.click(testing::centreOf(kConnect));
    }

    std::optional<Screenshot> screenshot() const {
        const std::string path = logs.file("screen.ppm");
        if (testing::runCommand("import -display " + x.display() + " -window root -depth 8 ppm:" + path) != 0) {
            return std::nullopt;
        }
        return parsePpm(readFile(path));
    }

    SDL_Color windowPixel(int px, int py) const { return shot->at(originX + px, originY + py); }
    void expectColour(int px, int py, SDL_Color want, const char* what) const {
        const SDL_Color got = windowPixel(px, py);
        EXPECT_TRUE(got.r == want.r && got.g == want.g && got.b == want.b)
            << what << " at " << px << "," << py << ": (" << int(got.r) << "," << int(got.g) << "," << int(got.b)
            << ") instead of (" << int(want.r) << "," << int(want.g) << "," << int(want.b) << ")";
    }

    TempDir logs;
    testing::Xvfb x;
    testing::ClientWindow client{x};
    int originX = 0;
    int originY = 0;
    std::optional<Screenshot> shot;
};

TEST_F(XvfbClient, WindowIsMappedOnceMatchesTheLayoutAndIdlesCheaply) {
    // xev reports every window the server maps; a root property change shows it is listening.
    testing::Child xev;
    ASSERT_TRUE(xev.start({"stdbuf", "-oL", "xev", "-root", "-event", "substructure", "-event", "property"}, "",
                          {x.env()}, logs.file("xev.out")));
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            x.setRootProperty("_VCHAT_PROBE", "8s", "1");
            return readFile(logs.file("xev.out")).find("PropertyNotify") != std::string::npos;
        },
        20s));
    startClient();
    ASSERT_FALSE(HasFailure());
    // A window shown before its renderer exists is replaced by it: it flashes up, and whoever
    // found it first holds a window that is gone.
    std::this_thread::sleep_for(500ms);
    xev.stop(SIGTERM);
    std::vector<std::string> mapped;
    const std::string events = readFile(logs.file("xev.out"));
    for (std::size_t at = events.find("MapNotify"); at != std::string::npos; at = events.find("MapNotify", at + 1)) {
        const std::size_t window = events.find(", window 0x", events.find("event 0x", at));
        mapped.push_back(std::to_string(std::stoul(events.substr(window + 9), nullptr, 16)));
    }
    EXPECT_EQ(mapped, std::vector<std::string>{client.window()}) << events;

    expectColour(0, 0, kPalette.background, "window corner");
    expectColour(1439, 699, kPalette.background, "window far corner");
    for (const SDL_Rect& p : kPanels) {
        expectColour(p.x, p.y, kPalette.border, "panel corner");
        expectColour(p.x + p.w - 1, p.y + p.h / 2, kPalette.border, "panel right edge");
        expectColour(p.x + 1, p.y + 1, kPalette.panel, "panel fill");
    }
    const SDL_Rect connect = kButtonTable[kConnect].rect;
    const SDL_Rect disconnect = kButtonTable[kDisconnect].rect;
    expectColour(connect.x + 2, connect.y + 2, kPalette.accent, "Connect, enabled");
    expectColour(disconnect.x + 2, disconnect.y + 2, kPalette.buttonDisabled, "Disconnect, disabled");
    const BoxRow verify = kBoxTable[kVerifyServer];
    expectColour(verify.x + 8, verify.y + 8, kPalette.accent, "Verify Server's tick");
    const BoxRow useTls = kBoxTable[kUseTls];
    expectColour(useTls.x + 8, useTls.y + 8, kCheckboxFill, "Use TLS, not ticked");
    const SDL_Rect port = kFieldTable[kPort].rect;
    expectColour(port.x + 2, port.y + 2, kFieldFill, "Port field");
    expectColour(kLogRect.x, kLogRect.y, kLogBorderRgb, "log border");
    expectColour(kLogRect.x + 3, kLogRect.y + kLogRect.h - 3, kLogBackgroundRgb, "log background");
    const SDL_Rect pskIdentity = kFieldTable[kPskIdentity].rect;
    expectColour(pskIdentity.x + 2, pskIdentity.y + 2, kPalette.panel, "hidden TLS PSK Identity");

    // Idle: nothing focused, nothing arriving. A loop that redraws without pause uses a whole core.
    std::this_thread::sleep_for(1s);
    const double before = testing::cpuSecondsFromStat("/proc/" + std::to_string(client.process().pid()) + "/stat");
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(5s);
    const double used = testing::cpuSecondsFromStat("/proc/" + std::to_string(client.process().pid()) + "/stat") - before;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double percent = 100.0 * used / seconds;
    std::printf("idle CPU of the client: %.1f%% of one core\n", percent);
    EXPECT_LT(percent, 15.0);

    EXPECT_EQ(client.quit(60s), std::optional<int>(0)) << client.output();
}

// A broker that takes the connection and the CONNECT and then says nothing: Disconnect must not
// freeze the window, and quitting afterwards is prompt.
TEST_F(XvfbClient, DisconnectDuringASilentLoginLeavesTheWindowResponsive) {
    testing::FakeBroker broker;
    startClient();
    ASSERT_FALSE(HasFailure());
    connectTo(broker.port());
    ASSERT_TRUE(broker.accept(30s));
    ASSERT_FALSE(broker.readPacket(30s).empty()) << "no CONNECT";

    client.click(testing::centreOf(kDisconnect));
    const auto clicked = std::chrono::steady_clock::now();
    client.key("ctrl+s");
    ASSERT_TRUE(testing::waitUntil([&] { return testing::savedLogFiles(client.dir()).size() == 1; }, 10s));
    const auto answered = std::chrono::steady_clock::now() - clicked;
    std::printf("Ctrl+S answered %lld ms after Disconnect during a silent login\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(answered).count()));
    EXPECT_LT(answered, 1s);
    EXPECT_TRUE(broker.waitClientClosed(2s));

    const auto quit = std::chrono::steady_clock::now();
    EXPECT_EQ(client.quit(60s), std::optional<int>(0)) << client.output();
    EXPECT_LT(std::chrono::steady_clock::now() - quit, 1s);
}

TEST_F(XvfbClient, TypedBrokerConnectsAndSigtermStopsTheConnectionFirst) {
    std::unique_ptr<testing::Mosquitto> broker = testing::Mosquitto::start();
    ASSERT_TRUE(broker);
    startClient();
    ASSERT_FALSE(HasFailure());

    connectTo(broker->portText());
    ASSERT_TRUE(broker->waitForLog("New client connected from 127.0.0.1", 1, 60s)) << broker->log();

    // Connected: the two buttons have swapped, and the log shows lines.
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            shot = screenshot();
            const SDL_Rect connect = kButtonTable[kConnect].rect;
            return shot && sameRgbAt(*shot, originX + connect.x + 2, originY + connect.y + 2,
                                              kPalette.buttonDisabled);
        },
        30s));
    const SDL_Rect disconnect = kButtonTable[kDisconnect].rect;
    expectColour(disconnect.x + 2, disconnect.y + 2, kPalette.accent, "Disconnect, enabled");
    bool text = false;
    for (int y = kLogRect.y + 4; y < kLogRect.y + 40 && !text; ++y) {
        for (int x = kLogRect.x + 6; x < kLogRect.x + 300 && !text; ++x) {
            const SDL_Color c = windowPixel(x, y);
            text = !(c.r == kLogBackgroundRgb.r && c.g == kLogBackgroundRgb.g && c.b == kLogBackgroundRgb.b);
        }
    }
    EXPECT_TRUE(text) << "the log shows nothing after Connect";

    EXPECT_EQ(client.quit(60s), std::optional<int>(0)) << client.output();
    // A worker stopped in order sends DISCONNECT; a process that just died would only drop the socket.
    EXPECT_TRUE(broker->waitForLog(" disconnected.", 1, 10s)) << broker->log();
    EXPECT_TRUE(broker->waitForLog("Received DISCONNECT from", 1, 0s)) << broker->log();
}

// F6 presses from one control to another, passing over the hidden TLS-PSK fields.
int f6Presses(ControlRef from, ControlRef to) {
    int position = 0, start = -1, end = -1;
    for (const ControlRef& c : kScreenOrder) {
        if (c.kind == ControlKind::field && (c.index == kPskIdentity || c.index == kPskKey)) continue;
        if (c == from) start = position;
        if (c == to) end = position;
        ++position;
    }
    return end - start;
}

TEST_F(XvfbClient, WithKeysOnlyTheFormIsFilledAndConnectSendAndDisconnectArePressed) {
    std::unique_ptr<testing::Mosquitto> broker = testing::Mosquitto::start();
    ASSERT_TRUE(broker);
    testing::Child sub;
    ASSERT_TRUE(sub.start({"mosquitto_sub", "-h", "127.0.0.1", "-p", broker->portText(), "-t", "#", "-v"}, "", {},
                          logs.file("sub.out")));
    startClient();
    ASSERT_FALSE(HasFailure());
    auto press = [&](const std::string& key, int times) {
        for (int i = 0; i < times; ++i) client.key(key);
    };
    const ControlRef port{ControlKind::field, kPort}, decodeRaw{ControlKind::box, kDecodeRaw},
        connect{ControlKind::button, kConnect}, line{ControlKind::field, kMessageLine};
    client.key("Tab");
    press("BackSpace", 40);
    client.type("127.0.0.1");
    client.key("Tab");
    press("BackSpace", 10);
    client.type(broker->portText());
    press("F6", f6Presses(port, decodeRaw));
    client.key("space");
    press("shift+F6", f6Presses(connect, decodeRaw));
    client.key("Return");
    ASSERT_TRUE(broker->waitForLog("msh/EU_868/2/json/#", 1, 60s)) << "not connected\n" << broker->log();
    EXPECT_TRUE(broker->waitForLog("msh/EU_868/2/e/#", 1, 10s)) << "Decode RAW was not ticked\n" << broker->log();

    press("F6", f6Presses(connect, line));
    client.type("typed without a mouse");
    client.key("Return");
    EXPECT_TRUE(testing::waitForText(logs.file("sub.out"), "typed without a mouse", 1, 30s)) << readFile(logs.file("sub.out"));
    client.key("alt+d");
    EXPECT_TRUE(broker->waitForLog("Received DISCONNECT from", 1, 30s)) << broker->log();
    EXPECT_EQ(client.quit(60s), std::optional<int>(0)) << client.output();
}

}  // namespace
}  // namespace vchat
