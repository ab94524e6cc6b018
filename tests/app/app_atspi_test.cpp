// The real program as a screen reader sees it: tests/app/atspi_probe.py runs in a D-Bus session of
// its own with the accessibility bus, starts the client on Xvfb with a broker beside it, and checks
// the tree, the events of typing, ticking and focus, spoken new lines, invalid UTF-8 from the
// network and the request latency. Skipped only where a tool it needs is not installed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/client_window.h"
#include "tests/support/mosquitto.h"
#include "tests/support/test_support.h"

namespace vchat {
namespace {

using namespace std::chrono_literals;
using testing::onPath;

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kBusLauncher = "/usr/libexec/at-spi-bus-launcher";

std::string probePath() { return std::string(VCHAT_SOURCE_DIR) + "/tests/app/atspi_probe.py"; }

// The probe's lines that begin with `prefix`, without it.
std::vector<std::string> linesStarting(const std::string& output, const std::string& prefix) {
    std::vector<std::string> found;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line.substr(prefix.size()));
    }
    return found;
}

class AtspiClient : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "dbus-run-session", "xdotool", "mosquitto", "mosquitto_pub"}) {
            if (!onPath(tool)) GTEST_SKIP() << tool << " is not installed (scripts/install-deps installs it)";
        }
        if (access(kBusLauncher, X_OK) != 0) GTEST_SKIP() << "at-spi2-core is not installed";
        if (testing::runProgram({kPython, "-c", "import gi; gi.require_version('Atspi', '2.0')"}) != 0) {
            GTEST_SKIP() << "python3-gi and gir1.2-atspi-2.0 are not installed";
        }
        ASSERT_EQ(access(testing::clientBinary().c_str(), X_OK), 0) << "build veldra-chat first";
        ASSERT_TRUE(x.start()) << "could not start Xvfb";
        ASSERT_EQ(symlink(testing::kFontPath, dir.file("DejaVuSansMono.ttf").c_str()), 0);
    }

    // Runs the probe to its end; its output, with every check it names passed.
    std::string runProbe(const std::string& port, const std::vector<std::string>& checks, const std::string& mode = "") {
        std::vector<std::string> argv{"dbus-run-session", "--", kPython, probePath(), testing::clientBinary(),
                                      dir.path(), x.display(), port};
        if (!mode.empty()) argv.push_back(mode);
        // A runtime folder of its own: the accessibility bus's socket lives there, and a session
        // started beside this one (another test) would otherwise take over the same path.
        const std::string runtime = dir.file("runtime");
        EXPECT_EQ(mkdir(runtime.c_str(), 0700), 0);
        std::string out;
        const int status = testing::runProgram(argv, {"XDG_RUNTIME_DIR=" + runtime}, &out, 240s);
        const std::vector<std::string> passed = linesStarting(out, "ok ");
        for (const std::string& c : checks) {
            EXPECT_TRUE(testing::contains(passed, c)) << "check not passed: " << c;
        }
        EXPECT_EQ(status, 0) << out << "\nclient output:\n" << testing::readFile(dir.file("client.out"));
        for (const std::string& m : linesStarting(out, "measure ")) std::printf("%s\n", m.c_str());
        return out;
    }

    testing::Xvfb x;
    testing::TempDir dir;
};

TEST_F(AtspiClient, TreeEventsSpokenLinesAndLatency) {
    std::unique_ptr<testing::Mosquitto> broker = testing::Mosquitto::start();
    ASSERT_TRUE(broker);
    runProbe(broker->portText(),
             {"application on the bus", "frame", "roles and names", "notice and notification", "password masked",
              "states", "button action", "focus event", "typed text inserted", "field text", "password typing masked",
              "checked by key", "press action", "status line spoken", "status line spoken once",
              "requests answered quickly", "idle CPU with a reader", "message spoken", "sender spoken, not the JSON",
              "position not spoken", "invalid UTF-8 spoken cleaned", "client alive after invalid UTF-8", "log lines",
              "speaking off said", "silent while off", "speaking on said", "quit"});
}

TEST_F(AtspiClient, NoAtBridgeKeepsTheClientOffTheBus) {
    runProbe("1", {"window without the bridge", "off the bus", "quit"}, "no-bridge");
}

// Orca 43 itself: the focused field and a new chat line are among what it says.
TEST_F(AtspiClient, OrcaSpeaksTheFocusedFieldAndANewChatLine) {
    if (!onPath("orca")) GTEST_SKIP() << "orca is not installed (scripts/install-deps installs it)";
    std::unique_ptr<testing::Mosquitto> broker = testing::Mosquitto::start();
    ASSERT_TRUE(broker);
    runProbe(broker->portText(),
             {"orca started", "orca speaks the focused field", "orca speaks the status line",
              "orca speaks the chat line", "quit"},
             "orca");
}

}  // namespace
}  // namespace vchat
