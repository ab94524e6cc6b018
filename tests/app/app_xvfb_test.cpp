// The real program on a virtual X display: its window matches the layout at sampled pixels, it
// idles cheaply, it connects when the user types a broker in, and SIGTERM ends it with status 0
// after the worker has said goodbye to the broker. Skipped only where Xvfb is not installed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <glob.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/form.h"
#include "app/widgets.h"
#include "tests/mqtt/fake_broker.h"
#include "tests/support/process_support.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::clientBinary;
using testing::onPath;
using testing::readFile;
using testing::TempDir;

constexpr const char* kSystemFont = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
constexpr SDL_Color kLogBackgroundRgb{10, 15, 36, 255};
constexpr SDL_Color kLogBorderRgb{39, 48, 96, 255};

// Standard output of a shell command, or nothing when it fails.
std::optional<std::string> commandOutput(const std::string& command) {
    std::FILE* p = popen(command.c_str(), "r");
    if (!p) return std::nullopt;
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int status = pclose(p);
    if (status != 0) return std::nullopt;
    return out;
}

// Where a hung client stands, for the failure message (when gdb is there).
std::string stacksOf(pid_t pid) {
    if (!onPath("gdb")) return "(no gdb for stacks)";
    return commandOutput("gdb -p " + std::to_string(pid) +
                         " -batch -ex 'thread apply all bt 20' 2>/dev/null | grep -E '^#|^Thread' | head -n 120")
        .value_or("(gdb failed)");
}

// Xvfb on a display number no other server uses, stopped with the object. Other tests and
// programs start X servers on this machine too, some from display 0 upwards, so a number counts as
// free only without a lock file, a socket file and an abstract socket (which clients would try
// first), and the display counts as ours only once its lock file names our server.
class VirtualDisplay {
public:
    static std::unique_ptr<VirtualDisplay> start(const std::string& logDir) {
        const int first = 100 + static_cast<int>(getpid() % 400);
        for (int n = first; n < first + 50; ++n) {
            if (inUse(n)) continue;
            std::unique_ptr<VirtualDisplay> display(new VirtualDisplay(n, logDir));
            if (display->pid_ < 0) return nullptr;
            // A server that lost a race for the number exits at once.
            testing::waitUntil([&] { return display->owned() || display->exited(); }, 20s);
            if (display->owned() && display->answers()) return display;
        }
        return nullptr;
    }
    // Politely, so the server removes its lock file and socket.
    ~VirtualDisplay() {
        if (pid_ < 0 || exited()) return;
        ::kill(pid_, SIGTERM);
        if (!testing::waitUntil([&] { return exited(); }, 10s)) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;
    std::string name() const { return ":" + std::to_string(number_); }
    std::string env() const { return "DISPLAY=" + name(); }

private:
    VirtualDisplay(int n, const std::string& logDir) : number_(n) {
        const std::string log = logDir + "/xvfb-" + std::to_string(n) + ".log";
        const std::string display = name();
        pid_ = fork();
        if (pid_ == 0) {
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
            }
            // -noreset: without it the server resets whenever its last client leaves (our own probes
            // do), and a client starting during a reset can end up with a window nobody can find.
            execlp("Xvfb", "Xvfb", display.c_str(), "-screen", "0", "1600x900x24", "-nolisten", "tcp", "-noreset",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    static std::string socketPath(int n) { return "/tmp/.X11-unix/X" + std::to_string(n); }
    static std::string lockPath(int n) { return "/tmp/.X" + std::to_string(n) + "-lock"; }
    static bool inUse(int n) {
        if (testing::fileExists(socketPath(n)) || testing::fileExists(lockPath(n))) return true;
        const std::string sockets = readFile("/proc/net/unix");
        const std::string abstract = " @" + socketPath(n) + "\n";
        return sockets.find(abstract) != std::string::npos;
    }
    bool owned() const {
        return testing::fileExists(socketPath(number_)) && std::atoi(readFile(lockPath(number_)).c_str()) == pid_;
    }
    bool exited() {
        if (reaped_) return true;
        int status = 0;
        reaped_ = waitpid(pid_, &status, WNOHANG) == pid_;
        return reaped_;
    }
    // The socket can exist a moment before the server answers.
    bool answers() const {
        return testing::waitUntil(
            [&] { return testing::runCommand("DISPLAY=" + name() + " xdotool getdisplaygeometry >/dev/null 2>&1") == 0; },
            20s);
    }

    int number_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

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
        ASSERT_TRUE(testing::fileExists(clientBinary())) << "build veldra-chat first";
        display = VirtualDisplay::start(logs.path());
        ASSERT_TRUE(display) << "could not start Xvfb";
        ASSERT_EQ(symlink(kSystemFont, work.file("DejaVuSansMono.ttf").c_str()), 0);
    }

    void startClient() {
        // In sanitizer builds the X11, GL and D-Bus libraries' own allocations at exit would count as
        // leaks of the client; its leaks are checked where it runs without a display.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string asanOptions = std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0";
        client = std::make_unique<ChildProcess>(std::vector<std::string>{clientBinary()}, work.path(),
                                                std::vector<std::string>{display->env(), asanOptions},
                                                logs.file("client.log"));
        ASSERT_TRUE(client->started());
        // The window is found once it is mapped and has a place on the screen.
        std::optional<std::string> geometry;
        ASSERT_TRUE(testing::waitUntil(
            [&] {
                geometry = commandOutput(xdotool("search --onlyvisible --name '^Veldra MQTT Chat$' "
                                                 "getwindowgeometry --shell"));
                return (geometry && geometry->find("X=") != std::string::npos) || !client->running();
            },
            60s))
            << "no window: " << readFile(logs.file("client.log")) << "\nwindows on " << display->name() << ":\n"
            << commandOutput(xdotool("search --name '.*' getwindowname %@")).value_or("(xdotool failed)")
            << "\nX servers:\n" << commandOutput("ps -eo pid,args | grep '[X]vfb'").value_or("")
            << "\nclient stacks:\n" << stacksOf(client->pid());
        ASSERT_TRUE(client->running()) << readFile(logs.file("client.log"));
        ASSERT_EQ(std::sscanf(geometry->substr(geometry->find("X=")).c_str(), "X=%d\nY=%d", &originX, &originY), 2)
            << *geometry;
        // The first frame is on screen once the window corner shows the background.
        ASSERT_TRUE(testing::waitUntil(
            [&] {
                shot = screenshot();
                return shot && sameRgbAt(*shot, originX, originY, kPalette.background);
            },
            60s))
            << "the window never showed its background";
    }

    std::string xdotool(const std::string& args) const {
        return "DISPLAY=" + display->name() + " xdotool " + args + " 2>/dev/null";
    }
    std::optional<Screenshot> screenshot() const {
        const std::string path = logs.file("screen.ppm");
        if (testing::runCommand("import -display " + display->name() + " -window root -depth 8 ppm:" + path +
                                " >/dev/null 2>&1") != 0) {
            return std::nullopt;
        }
        return parsePpm(readFile(path));
    }
    // Window coordinates to the screen, then a click.
    void clickAt(int x, int y) {
        ASSERT_EQ(testing::runCommand(xdotool("mousemove --sync " + std::to_string(originX + x) + " " +
                                              std::to_string(originY + y) + " click 1")),
                  0);
    }
    void keys(const std::string& args) { ASSERT_EQ(testing::runCommand(xdotool(args)), 0); }

    SDL_Color windowPixel(int x, int y) const { return shot->at(originX + x, originY + y); }
    void expectColour(int x, int y, SDL_Color want, const char* what) const {
        const SDL_Color got = windowPixel(x, y);
        EXPECT_TRUE(got.r == want.r && got.g == want.g && got.b == want.b)
            << what << " at " << x << "," << y << ": (" << int(got.r) << "," << int(got.g) << "," << int(got.b)
            << ") instead of (" << int(want.r) << "," << int(want.g) << "," << int(want.b) << ")";
    }

    TempDir logs;
    TempDir work;
    std::unique_ptr<VirtualDisplay> display;
    std::unique_ptr<ChildProcess> client;
    int originX = 0;
    int originY = 0;
    std::optional<Screenshot> shot;
};

TEST_F(XvfbClient, WindowMatchesTheLayoutAndIdlesCheaply) {
    startClient();
    ASSERT_FALSE(HasFailure());
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
    const long before = client->cpuTicks();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(5s);
    const long used = client->cpuTicks() - before;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double percent = 100.0 * used / sysconf(_SC_CLK_TCK) / seconds;
    std::printf("idle CPU of the client: %.1f%% of one core\n", percent);
    EXPECT_LT(percent, 15.0);

    client->signal(SIGTERM);
    EXPECT_EQ(client->wait(60s), std::optional<int>(0)) << readFile(logs.file("client.log"));
}

// How many saved logs the working folder holds.
std::size_t savedLogs(const std::string& dir) {
    glob_t found{};
    const std::size_t n = ::glob((dir + "/chatlog-*.txt").c_str(), 0, nullptr, &found) == 0 ? found.gl_pathc : 0;
    ::globfree(&found);
    return n;
}

// A broker that takes the connection and the CONNECT and then says nothing: Disconnect must not
// freeze the window, and quitting afterwards is prompt.
TEST_F(XvfbClient, DisconnectDuringASilentLoginLeavesTheWindowResponsive) {
    testing::FakeBroker broker;
    startClient();
    ASSERT_FALSE(HasFailure());
    const SDL_Rect host = kFieldTable[kBrokerHost].rect;
    const SDL_Rect port = kFieldTable[kPort].rect;
    clickAt(host.x + 10, host.y + 10);
    keys("key --delay 5 --repeat 40 BackSpace");
    keys("type --delay 5 127.0.0.1");
    clickAt(port.x + 10, port.y + 10);
    keys("key --delay 5 --repeat 10 BackSpace");
    keys("type --delay 5 " + broker.port());
    keys("key Escape");
    const SDL_Rect connect = kButtonTable[kConnect].rect;
    clickAt(connect.x + 10, connect.y + 10);
    ASSERT_TRUE(broker.accept(30s));
    ASSERT_FALSE(broker.readPacket(30s).empty()) << "no CONNECT";

    const SDL_Rect disconnect = kButtonTable[kDisconnect].rect;
    clickAt(disconnect.x + 10, disconnect.y + 10);
    const auto clicked = std::chrono::steady_clock::now();
    keys("key ctrl+s");
    ASSERT_TRUE(testing::waitUntil([&] { return savedLogs(work.path()) == 1; }, 10s));
    const auto answered = std::chrono::steady_clock::now() - clicked;
    std::printf("Ctrl+S answered %lld ms after Disconnect during a silent login\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(answered).count()));
    EXPECT_LT(answered, 1s);
    EXPECT_TRUE(broker.waitClientClosed(2s));

    const auto quit = std::chrono::steady_clock::now();
    client->signal(SIGTERM);
    EXPECT_EQ(client->wait(60s), std::optional<int>(0)) << readFile(logs.file("client.log"));
    EXPECT_LT(std::chrono::steady_clock::now() - quit, 1s);
}

TEST_F(XvfbClient, TypedBrokerConnectsAndSigtermStopsTheConnectionFirst) {
    std::unique_ptr<testing::Mosquitto> broker = testing::Mosquitto::start();
    ASSERT_TRUE(broker);
    startClient();
    ASSERT_FALSE(HasFailure());

    const SDL_Rect host = kFieldTable[kBrokerHost].rect;
    const SDL_Rect port = kFieldTable[kPort].rect;
    clickAt(host.x + 10, host.y + 10);
    keys("key --delay 5 --repeat 40 BackSpace");
    keys("type --delay 5 127.0.0.1");
    clickAt(port.x + 10, port.y + 10);
    keys("key --delay 5 --repeat 10 BackSpace");
    keys("type --delay 5 " + broker->portText());
    const SDL_Rect connect = kButtonTable[kConnect].rect;
    clickAt(connect.x + 10, connect.y + 10);

    ASSERT_TRUE(testing::waitUntil(
        [&] { return readFile(broker->logPath()).find("New client connected from 127.0.0.1") != std::string::npos; },
        60s))
        << readFile(broker->logPath());

    // Connected: the two buttons have swapped, and the log shows lines.
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            shot = screenshot();
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

    client->signal(SIGTERM);
    EXPECT_EQ(client->wait(60s), std::optional<int>(0)) << readFile(logs.file("client.log"));
    // A worker stopped in order sends DISCONNECT; a process that just died would only drop the socket.
    EXPECT_TRUE(testing::waitUntil(
        [&] { return readFile(broker->logPath()).find(" disconnected.") != std::string::npos; }, 10s))
        << readFile(broker->logPath());
    EXPECT_NE(readFile(broker->logPath()).find("Received DISCONNECT from"), std::string::npos)
        << readFile(broker->logPath());
}

}  // namespace
}  // namespace vchat
