// The gateway simulator as a child process, the records it writes of what it sent, and the log line
// the client shows for each, computed here from the records (not with the client's code).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/test_support.h"
#include "tests/support/text.h"

namespace vchat::e2e {

inline std::string simulatorBinary() { return std::string(VCHAT_BINARY_DIR) + "/tools/gateway-sim/gateway-sim"; }

struct SentRecord {
    bool envelope = false;
    std::uint64_t seq = 0;
    std::string kind;
    std::string topic;
    std::string payload;     // JSON only
    std::string label;       // envelopes only
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    std::string plaintext;
};

// The complete records of a --print-sent file (a line still being written is left out).
inline std::vector<SentRecord> readSentRecords(const std::string& path) {
    const std::string bytes = testing::readFile(path);
    std::vector<SentRecord> records;
    std::size_t start = 0;
    for (std::size_t nl; (nl = bytes.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::vector<std::string> f;
        for (std::size_t from = start, tab; from <= nl; from = tab + 1) {
            tab = std::min(bytes.find('\t', from), nl);
            f.push_back(bytes.substr(from, tab - from));
        }
        SentRecord r;
        if (f.size() == 5 && f[0] == "json") {
            r.payload = f[4];
        } else if (f.size() == 9 && f[0] == "env") {
            r.envelope = true;
            r.label = f[4];
            r.first = std::stoull(f[5]);
            r.second = std::stoull(f[6]);
            r.plaintext = testing::fromHex(f[7]);
        } else {
            ADD_FAILURE() << "unreadable simulator record: " << bytes.substr(start, nl - start);
            continue;
        }
        r.seq = std::stoull(f[1]);
        r.kind = f[2];
        r.topic = f[3];
        records.push_back(r);
    }
    return records;
}

// The one log line the client shows for a sent message (Decode RAW on, the right channel key). An
// envelope shows the readable text of its decrypted payload: from the first run of nine printable
// bytes to the end, or all of it when there is no such run.
inline std::string expectedLine(const SentRecord& r) {
    if (!r.envelope) return "msg " + r.topic + "\n" + r.payload;
    std::string text = r.plaintext;
    for (std::size_t i = 0, run = 0; i < text.size(); ++i) {
        run = (text[i] >= 0x20 && text[i] <= 0x7E) ? run + 1 : 0;
        if (run == 9) {
            text = text.substr(i - 8);
            break;
        }
    }
    return "[" + r.label + "] (" + std::to_string(r.first) + "/" + std::to_string(r.second) + ") " + text;
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
    std::string output() const { return testing::readFile(dir_.file("sim.out")); }
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
        return testing::waitUntil([&] { return output().find(text) != std::string::npos; }, timeout);
    }
    // Waits until `count` messages have been sent and recorded.
    bool waitSent(std::size_t count, std::chrono::milliseconds timeout) const {
        return waitForOutput("sent " + std::to_string(count) + " messages", timeout);
    }

private:
    testing::TempDir dir_;
    testing::Child process_;
};

}  // namespace vchat::e2e
