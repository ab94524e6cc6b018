// The real program on virtual X screens of other sizes and scales: the window takes the size and
// place the desktop leaves for it, and clicks at the scaled places connect, and send, while a
// message received is shown. Skipped only where Xvfb is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/form.h"
#include "app/scale.h"
#include "tests/support/client_window.h"
#include "tests/support/mosquitto.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using testing::Point;

struct Desktop {
    const char* what;
    std::string screen;
    std::optional<SDL_Rect> workArea;   // none: the whole screen
    std::optional<int> xftDpi;
    SDL_Rect window;                    // where the client area must be
    Scale scale;
};

const Desktop k1366{"1366x768, 40 px task bar", "1366x768x24", SDL_Rect{0, 0, 1366, 728}, std::nullopt,
                    {0, 32, 1366, 664}, Scale{1366, 1440}};
const Desktop k1280{"1280x720, 40 px task bar at the top", "1280x720x24", SDL_Rect{0, 40, 1280, 680}, std::nullopt,
                    {0, 69, 1280, 622}, Scale{1280, 1440}};
const Desktop k4k{"3840x2160 at 200 %", "3840x2160x24", std::nullopt, 192, {480, 380, 2880, 1400}, Scale{2, 1}};

class ScaledWindow : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::onPath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps installs it)";
        ASSERT_TRUE(testing::onPath("xdotool") && testing::onPath("xprop")) << "xdotool and x11-utils are needed";
        ASSERT_EQ(access(testing::clientBinary().c_str(), X_OK), 0) << "build veldra-chat first";
    }
    // An X server with the desktop's announcements and the client on it.
    void startOn(const Desktop& d) {
        ASSERT_TRUE(x.start(d.screen)) << "could not start Xvfb";
        ASSERT_TRUE(!d.workArea || x.setWorkArea(*d.workArea));
        ASSERT_TRUE(!d.xftDpi || x.setXftDpi(*d.xftDpi));
        client.start();
        scale = d.scale;
    }
    SDL_Rect geometry() {
        std::string out;
        SDL_Rect r{-1, -1, -1, -1};
        EXPECT_EQ(client.xdotool({"getwindowgeometry", "--shell", client.window()}, &out), 0);
        const std::size_t at = out.find("X=");
        EXPECT_NE(at, std::string::npos) << out;
        if (at != std::string::npos) std::sscanf(out.c_str() + at, "X=%d\nY=%d\nWIDTH=%d\nHEIGHT=%d", &r.x, &r.y, &r.w, &r.h);
        return r;
    }
    Point at(Point layout) const { return Point{scale.edge(layout.x), scale.edge(layout.y)}; }

    testing::Xvfb x;
    testing::ClientWindow client{x};
    Scale scale;
};

class EachDesktop : public ScaledWindow, public ::testing::WithParamInterface<Desktop> {};

TEST_P(EachDesktop, TheWindowTakesTheSizeAndPlaceTheDesktopLeaves) {
    startOn(GetParam());
    ASSERT_FALSE(HasFatalFailure());
    const SDL_Rect got = geometry(), want = GetParam().window;
    EXPECT_TRUE(SDL_RectEquals(&got, &want)) << GetParam().what << ": " << got.x << "," << got.y << " " << got.w
                                             << "x" << got.h;
    EXPECT_EQ(client.output(), "") << "nothing is said when the window fits";
    EXPECT_EQ(client.quit(60s), std::optional<int>(0)) << client.output();
}

INSTANTIATE_TEST_SUITE_P(Screens, EachDesktop, ::testing::Values(k1366, k1280, k4k));

// Connect, a message received and Send, all by clicks on the window drawn below 1/1; then, at 2/1,
// an idle window that is connected costs little.
TEST_F(ScaledWindow, ClicksAtTheScaledPlacesConnectShowAMessageAndSend) {
    std::unique_ptr<testing::Mosquitto> broker = testing::Mosquitto::start();
    ASSERT_TRUE(broker);
    const std::string port = broker->portText();
    testing::TempDir dir;
    testing::Child sub;
    ASSERT_TRUE(sub.start({"mosquitto_sub", "-h", "127.0.0.1", "-p", port, "-t", "#", "-v"}, "", {}, dir.file("sub.out")));
    startOn(k1366);
    ASSERT_FALSE(HasFatalFailure());

    client.setField(at(testing::centreOf(kBrokerHost)), 40, "127.0.0.1");
    client.setField(at(testing::centreOf(kPort)), 10, port);
    client.key("Escape");
    client.click(at(testing::centreOf(kConnect)));
    ASSERT_TRUE(broker->waitForLog("New client connected from 127.0.0.1", 2, 60s)) << broker->log();
    ASSERT_TRUE(broker->waitForLog("msh/EU_868/2/json/#", 1, 30s)) << "no subscription\n" << broker->log();

    const std::string heard = "heard at the scaled window";
    ASSERT_EQ(testing::runProgram({"mosquitto_pub", "-h", "127.0.0.1", "-p", port, "-t",
                                   "msh/EU_868/2/json/LongFast/!a1b2c3d4",
                                   "-m", "{\"from\":1,\"type\":\"text\",\"payload\":{\"text\":\"" + heard + "\"}}"}),
              0);
    client.setField(at(testing::centreOf(kMessageLine)), 0, "sent from the scaled window");
    client.click(at(testing::centreOf(kSend)));
    EXPECT_TRUE(testing::waitForText(dir.file("sub.out"), "sent from the scaled window", 1, 30s))
        << testing::readFile(dir.file("sub.out"));
    const std::vector<std::string> lines = client.saveLog();
    bool shown = false;
    for (const std::string& line : lines) shown = shown || line.find(heard) != std::string::npos;
    EXPECT_TRUE(shown) << "the received message is not in the log";
    EXPECT_EQ(client.quit(60s), std::optional<int>(0)) << client.output();
}

TEST_F(ScaledWindow, AtTwiceTheSizeAConnectedIdleWindowCostsLittle) {
    std::unique_ptr<testing::Mosquitto> broker = testing::Mosquitto::start();
    ASSERT_TRUE(broker);
    startOn(k4k);
    ASSERT_FALSE(HasFatalFailure());
    client.setField(at(testing::centreOf(kBrokerHost)), 40, "127.0.0.1");
    client.setField(at(testing::centreOf(kPort)), 10, broker->portText());
    client.key("Escape");
    client.click(at(testing::centreOf(kConnect)));
    ASSERT_TRUE(broker->waitForLog("msh/EU_868/2/json/#", 1, 60s)) << broker->log();

    std::this_thread::sleep_for(1s);
    const std::string stat = "/proc/" + std::to_string(client.process().pid()) + "/stat";
    const double before = testing::cpuSecondsFromStat(stat);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(5s);
    const double used = testing::cpuSecondsFromStat(stat) - before;
    const double percent = 100.0 * used / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("idle CPU of the connected client at 2/1: %.1f%% of one core\n", percent);
    EXPECT_LT(percent, 15.0);
    EXPECT_EQ(client.quit(60s), std::optional<int>(0)) << client.output();
}

}  // namespace
}  // namespace vchat
