// What every end-to-end test starts from: the tools it drives, a fresh X server, the client on it,
// the steps of connecting it to a local broker, and the gateway simulator as a child process with
// the records it writes of what it sent and the log line the client shows for each, computed here
// from the records (not with the client's code).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/client_window.h"
#include "tests/support/mosquitto.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace vchat::e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using namespace vchat::testing;

inline std::string simulatorBinary() { return std::string(VCHAT_BINARY_DIR) + "/tools/gateway-sim/gateway-sim"; }

struct SentRecord {
    bool envelope = false;
    std::string kind;
    std::string expected;   // the one log line the client shows for it
};

// The line the client shows for an envelope (Decode RAW on, the right channel key): the readable
// text of its decrypted payload, from the first run of nine printable bytes to the end, or all of
// it when there is no such run.
inline std::string envelopeLine(const std::string& label, const std::string& first, const std::string& second,
                                const std::string& text) {
    const auto run = std::search_n(text.begin(), text.end(), 9, true, [](char c, bool) { return c >= 0x20 && c <= 0x7E; });
    return "[" + label + "] (" + first + "/" + second + ") " + (run == text.end() ? text : std::string(run, text.end()));
}

// The complete records of a --print-sent file (a line still being written is left out): the
// fields are kind, sequence number, topic and then the JSON payload, or the label, the two packet
// numbers and the hex plaintext of an envelope.
inline std::vector<SentRecord> readSentRecords(const std::string& path) {
    const std::string bytes = readFile(path);
    std::vector<SentRecord> records;
    std::size_t start = 0;
    for (std::size_t nl; (nl = bytes.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::vector<std::string> f;
        for (std::size_t from = start, tab; from <= nl; from = tab + 1) {
            tab = std::min(bytes.find('\t', from), nl);
            f.push_back(bytes.substr(from, tab - from));
        }
        if (f.size() == 5 && f[0] == "json") {
            records.push_back({false, f[2], "msg " + f[3] + "\n" + f[4]});
        } else if (f.size() == 9 && f[0] == "env") {
            records.push_back({true, f[2], envelopeLine(f[4], f[5], f[6], fromHex(f[7]))});
        } else {
            ADD_FAILURE() << "unreadable simulator record: " << bytes.substr(start, nl - start);
        }
    }
    return records;
}

class Simulator {
public:
    // Starts gateway-sim against 127.0.0.1:port with `args` added; it writes its records to a file.
    void start(int port, const std::vector<std::string>& args) {
        std::vector<std::string> argv = {simulatorBinary(), "--port", std::to_string(port), "--print-sent",
                                         dir_.file("sent.tsv")};
        argv.insert(argv.end(), args.begin(), args.end());
        ASSERT_TRUE(process_.start(argv, dir_.path(), {}, dir_.file("sim.out")));
    }
    std::vector<SentRecord> sent() const { return readSentRecords(dir_.file("sent.tsv")); }
    // Standard output and error together: what clients sent, and progress.
    std::string output() const { return readFile(dir_.file("sim.out")); }
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
        return waitForText(dir_.file("sim.out"), text, 1, timeout);
    }
    // Waits until `count` messages have been sent and recorded.
    bool waitSent(std::size_t count, std::chrono::milliseconds timeout) const {
        return waitForOutput("sent " + std::to_string(count) + " messages", timeout);
    }

private:
    TempDir dir_;
    Child process_;
};

// Fails the test early, with a clear message, when a program or file it needs is missing; by
// default what the tests that drive the client need.
inline void requireTools(const std::vector<std::string>& programs = {"Xvfb", "xdotool", "mosquitto"},
                         const std::vector<std::string>& files = {clientBinary(), simulatorBinary(), kFontPath}) {
    for (const std::string& p : programs) {
        ASSERT_TRUE(onPath(p)) << p << " is not installed (scripts/install-deps installs it)";
    }
    for (const std::string& f : files) {
        ASSERT_TRUE(std::filesystem::exists(f)) << f << " is missing (build it, or install fonts-dejavu-core)";
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
