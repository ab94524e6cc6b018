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
using testing::ClientWindow;
using testing::contains;
using testing::Mosquitto;
using testing::centreOf;
using testing::Point;
using testing::withoutSaveReports;

class E2eTest : public ::testing::Test {
protected:
    // Fails early, with a clear message, when the tools the tests drive are missing.
    void SetUp() override {
        for (const char* tool : {"Xvfb", "xdotool", "mosquitto"}) {
            ASSERT_TRUE(testing::onPath(tool)) << tool << " is not installed (scripts/install-deps installs it)";
        }
        for (const std::string& file : {testing::clientBinary(), simulatorBinary(), std::string(testing::kFontPath)}) {
            ASSERT_TRUE(std::filesystem::exists(file)) << file << " is missing (build it, or install fonts-dejavu-core)";
        }
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
        return broker.waitForLog("Sending SUBACK to korvane-", subscriptions, timeout);
    }

    // Saves until `line` shows, then returns the saved lines.
    std::vector<std::string> logAfter(const std::string& line, std::chrono::milliseconds timeout = 30s) {
        const auto end = Clock::now() + timeout;
        std::vector<std::string> lines = client_->saveLog();
        while (!contains(lines, line) && Clock::now() < end) {
            std::this_thread::sleep_for(400ms);
            lines = client_->saveLog();
        }
        return lines;
    }

    testing::Xvfb x_;
    std::unique_ptr<ClientWindow> client_;
};

}  // namespace vchat::e2e
