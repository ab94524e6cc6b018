// What every end-to-end test starts from: the tools it drives, a fresh X server, the client on it,
// and the steps of connecting it to a local broker.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/gateway_sim_run.h"
#include "tests/support/client_window.h"
#include "tests/support/mosquitto.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb.h"

namespace vchat::e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::centreOf;
using testing::Child;
using testing::ClientWindow;
using testing::contains;
using testing::hasShape;
using testing::Mosquitto;
using testing::onPath;
using testing::parseSavedLog;
using testing::Point;
using testing::runProgram;
using testing::startsWith;
using testing::TempDir;
using testing::withoutSaveReports;
using testing::Xvfb;

// Fails the test early, with a clear message, when the tools the tests drive are missing.
inline void requireTools() {
    for (const char* tool : {"Xvfb", "xdotool", "mosquitto"}) {
        ASSERT_TRUE(onPath(tool)) << tool << " is not installed (scripts/install-deps installs it)";
    }
    for (const std::string& file : {testing::clientBinary(), simulatorBinary(), std::string(testing::kFontPath)}) {
        ASSERT_TRUE(std::filesystem::exists(file)) << file << " is missing (build it, or install fonts-dejavu-core)";
    }
}

// The broker has answered `count` subscriptions of clients of ours (their ids start with "korvane-").
inline bool waitForClientSubscriptions(const Mosquitto& broker, int count, std::chrono::milliseconds timeout) {
    return broker.waitForLog("Sending SUBACK to korvane-", count, timeout);
}

// Saves until `line` shows (or the time-out passes), then returns the saved lines.
inline std::vector<std::string> saveUntilShown(ClientWindow& client, const std::string& line,
                                               std::chrono::milliseconds timeout = 30s) {
    const auto end = Clock::now() + timeout;
    std::vector<std::string> lines = client.saveLog();
    while (!contains(lines, line) && Clock::now() < end) {
        std::this_thread::sleep_for(400ms);
        lines = client.saveLog();
    }
    return lines;
}

// What the log shows from Connect to the subscriptions under the form's root topic.
inline std::vector<std::string> connectLines(bool tls, bool decodeRaw) {
    std::vector<std::string> lines = {"Connecting...", tls ? "TCP/TLS connected." : "TCP connected.",
                                      "Connected to broker.", "Subscribed: msh/EU_868/2/json/#"};
    if (decodeRaw) lines.push_back("Subscribed: msh/EU_868/2/e/#");
    return lines;
}

// Lines that report a received message.
inline std::vector<std::string> messageLines(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines) {
        if (startsWith(l, "msg ") || startsWith(l, "[") || startsWith(l, "RAW ")) out.push_back(l);
    }
    return out;
}

class E2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        requireTools();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(x_.start()) << "Xvfb did not start";
    }

    // Starts the client with 127.0.0.1:port typed in and everything else at the defaults.
    ClientWindow& startClient(int port) {
        client_ = std::make_unique<ClientWindow>(x_);
        client_->start();
        client_->setField(centreOf(kBrokerHost), 20, "127.0.0.1");
        client_->setField(centreOf(kPort), 8, std::to_string(port));
        return *client_;
    }

    // Ticks Decode RAW when asked, presses Connect and waits until the broker has answered the
    // client's subscriptions (its ids start with "korvane-"), `subscriptions` in all so far.
    bool connect(const Mosquitto& broker, bool decodeRaw, int subscriptions, std::chrono::milliseconds timeout = 20s) {
        if (decodeRaw) client_->click(centreOf(kDecodeRaw));
        client_->click(centreOf(kConnect));
        return waitForClientSubscriptions(broker, subscriptions, timeout);
    }

    std::vector<std::string> logAfter(const std::string& line, std::chrono::milliseconds timeout = 30s) {
        return saveUntilShown(*client_, line, timeout);
    }

    Xvfb x_;
    std::unique_ptr<ClientWindow> client_;
};

}  // namespace vchat::e2e
