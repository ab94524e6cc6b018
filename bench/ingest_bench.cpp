// Broker ingest rate: one publisher floods a local mosquitto while a receiver and mosquitto_sub are
// both subscribed; compares how long each takes from its first to its last message.
//
// Usage: ingest_bench [messages]   (default 100000). Needs mosquitto and mosquitto_sub on PATH.
// Receivers: the worker in this process (time to its last publishesHandled step), then veldra-record
// writing text lines to a file (time to the file's last byte: its size is polled, and the size of
// every line is known). Each runs twice: JSON messages with Decode RAW off, then encrypted envelopes
// with Decode RAW on. Exit status 1 when a message is missing or a step fails.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log_view.h"
#include "mesh/channel_crypto.h"
#include "mesh/receive.h"
#include "mqtt/broker_connection.h"
#include "mqtt/mqtt_worker.h"
#include "mqtt/packet_codec.h"
#include "mqtt/packet_stream.h"
#include "tests/mqtt/mesh_envelope.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// Runs argv with stdout and stderr to the given files. Returns the child's pid.
pid_t spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return done();
}

int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

off_t fileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Stamp, two blanks, text, CR LF.
constexpr std::size_t kTextLineOverhead = 20 + 2 + 2;

struct RunResult {
    bool ok = false;
    std::uint64_t workerCount = 0;
    std::size_t subCount = 0;
    double workerSec = 0;
    double subSec = 0;
    double publishSec = 0;
};

RunResult runOnce(const std::string& dir, int port, const std::string& brokerLog, const std::string& root,
                  bool envelopes, bool recorder, int messages) {
    RunResult result;
    const std::string filter = root + (envelopes ? "/2/e/#" : "/2/json/#");
    const std::string topic = root + (envelopes ? "/2/e/LongFast/!aabbccdd" : "/2/json/LongFast/!aabbccdd");

    const std::string subOut = dir + "/sub-" + root + ".txt";
    const pid_t sub = spawn({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-t", filter, "-C",
                             std::to_string(messages), "-F", "%U"},
                            subOut, dir + "/sub-err.txt");

    vchat::LogView log;
    vchat::MqttWorker worker;
    vchat::MqttConfig config;
    config.host = "127.0.0.1";
    config.port = std::to_string(port);
    config.rootTopic = root;
    config.decodeRaw = envelopes;
    config.channelPsk = "AQ==";
    const std::string recording = dir + "/recording-" + root + ".txt";
    pid_t recorderPid = -1;
    if (recorder) {
        std::vector<std::string> argv = {std::string(VCHAT_BINARY_DIR) + "/tools/record/veldra-record", "--host",
                                         "127.0.0.1", "--port", config.port, "--root", root, "--channel-psk",
                                         config.channelPsk, "--output", recording};
        if (envelopes) argv.push_back("--decode-raw");
        recorderPid = spawn(argv, dir + "/recorder.out", dir + "/recorder.err");
    } else {
        worker.start(config, &log);
    }
    auto stopReceivers = [&] {
        worker.stop();
        if (recorderPid > 0) {
            kill(recorderPid, SIGTERM);
            waitpid(recorderPid, nullptr, 0);
            recorderPid = -1;
        }
    };

    // Both subscribers must be in place before the first message goes out.
    const std::string subscribedLine = " 0 " + filter + "\n";
    if (!waitFor([&] { return countOf(readAll(brokerLog), subscribedLine) >= 2; }, 15s)) {
        std::fprintf(stderr, "subscriptions did not arrive\n");
        stopReceivers();
        kill(sub, SIGTERM);
        waitpid(sub, nullptr, 0);
        return result;
    }

    std::vector<std::string> payloads;
    for (int i = 0; i < 16; ++i) {
        if (envelopes) {
            const std::string plain = std::string("\x08\x01\x12\x10", 4) + "bench message " + std::to_string(i % 10) + "!";
            payloads.push_back(vchat::testing::meshEnvelope(
                "LongFast", 0x11223344u, 1000u + static_cast<unsigned>(i),
                vchat::testing::encryptForChannel(std::string(1, '\x01'), 0x11223344u, 1000u + static_cast<unsigned>(i), plain)));
        } else {
            payloads.push_back(R"({"from":2864434397,"to":4294967295,"channel":0,"type":"text","id":)" +
                               std::to_string(100000 + i) + R"(,"payload":{"text":"bench message"}})");
        }
    }
    std::string all;
    for (int i = 0; i < messages; ++i) all += vchat::buildPublish(topic, payloads[static_cast<std::size_t>(i) % payloads.size()]);

    // The recording's size once every message is in it, and the line each payload gives.
    vchat::MqttConfig shown = config;
    shown.channelKey = vchat::decodeBase64(config.channelPsk);
    std::vector<std::string> shownLines;
    off_t expectedBytes = 0;
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        std::string line;
        vchat::publishLine(topic, payloads[i], shown, line);
        shownLines.push_back(line);
    }
    for (int i = 0; i < messages; ++i) {
        expectedBytes +=
            static_cast<off_t>(shownLines[static_cast<std::size_t>(i) % shownLines.size()].size() + kTextLineOverhead);
    }
    // The status lines are written before the first message comes: wait until the size settles.
    off_t baseBytes = fileSize(recording);
    if (recorder) {
        waitFor([&] {
            const off_t before = fileSize(recording);
            std::this_thread::sleep_for(100ms);
            baseBytes = fileSize(recording);
            return baseBytes > 0 && baseBytes == before;
        }, 5s);
        expectedBytes += baseBytes;
    }

    const int fd = vchat::tcpConnect("127.0.0.1", std::to_string(port));
    vchat::BrokerConnection pub;
    pub.sock.reset(fd);
    vchat::setBlocking(fd, true);
    std::string clientId;
    vchat::PacketStream stream;
    vchat::MqttPacket connack;
    const std::uint64_t base = worker.publishesHandled();
    if (fd < 0 || !vchat::makeClientId(clientId) ||
        !vchat::sendRaw(pub, vchat::buildConnect(clientId, "", "", "3.1.1", 60)) ||
        vchat::readPacket(pub, stream, connack, 5000) != vchat::IoStatus::Ok) {
        std::fprintf(stderr, "publisher could not log in\n");
        stopReceivers();
        kill(sub, SIGTERM);
        waitpid(sub, nullptr, 0);
        return result;
    }

    // The publisher writes from its own thread; this thread watches the worker's count.
    const auto publishStart = Clock::now();
    Clock::time_point publishEnd;
    std::thread publisher([&] {
        constexpr std::size_t kBatch = 64 * 1024;
        for (std::size_t at = 0; at < all.size(); at += kBatch) vchat::sendRaw(pub, all.substr(at, kBatch));
        publishEnd = Clock::now();
    });
    Clock::time_point first;
    Clock::time_point last;
    bool seenFirst = false;
    const auto deadline = Clock::now() + 300s;
    while (Clock::now() < deadline) {
        const off_t size = recorder ? fileSize(recording) : 0;
        const bool any = recorder ? size > baseBytes : worker.publishesHandled() > base;
        const bool all = recorder ? size >= expectedBytes
                                  : worker.publishesHandled() - base >= static_cast<std::uint64_t>(messages);
        const auto now = Clock::now();
        if (!seenFirst && any) {
            first = now;
            seenFirst = true;
        }
        if (all) {
            last = now;
            break;
        }
        std::this_thread::sleep_for(1ms);
    }
    publisher.join();
    result.publishSec = std::chrono::duration<double>(publishEnd - publishStart).count();
    result.workerSec = std::chrono::duration<double>(last - first).count();
    if (recorder) {
        // Counted by the lines themselves: each payload's line as often as it was sent.
        const std::string text = readAll(recording);
        for (const std::string& line : shownLines) {
            result.workerCount += static_cast<std::uint64_t>(countOf(text, "  " + line + "\r\n"));
        }
    } else {
        result.workerCount = worker.publishesHandled() - base;
    }

    // mosquitto_sub ends by itself after its count; a few seconds' grace for the last lines.
    int status = 0;
    if (!waitFor([&] { return waitpid(sub, &status, WNOHANG) == sub; }, 60s)) {
        kill(sub, SIGTERM);
        waitpid(sub, &status, 0);
    }
    vchat::sendRaw(pub, vchat::buildDisconnect());
    vchat::closeConnection(pub);
    stopReceivers();

    std::istringstream lines(readAll(subOut));
    std::string line;
    std::string firstStamp;
    std::string lastStamp;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        if (firstStamp.empty()) firstStamp = line;
        lastStamp = line;
        ++result.subCount;
    }
    if (!firstStamp.empty()) result.subSec = std::stod(lastStamp) - std::stod(firstStamp);
    result.ok = result.workerCount == static_cast<std::uint64_t>(messages) &&
                result.subCount == static_cast<std::size_t>(messages);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 100000;
    char dirTemplate[] = "/tmp/vchat-ingest-XXXXXX";
    if (!mkdtemp(dirTemplate)) return 1;
    const std::string dir = dirTemplate;
    const int port = freePort();
    const std::string conf = dir + "/mosquitto.conf";
    const std::string brokerLog = dir + "/mosquitto.log";
    {
        std::ofstream c(conf);
        // Subscribe lines only (the benchmark waits for them); no per-message logging.
        // No queue limits, so a subscriber that falls behind is never dropped from.
        c << "per_listener_settings false\npersistence false\nlog_dest stderr\nlog_type subscribe\n"
             "listener "
          << port << " 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\nmax_queued_bytes 0\n";
    }
    const pid_t broker = spawn({"mosquitto", "-c", conf}, dir + "/mosquitto.out", brokerLog);
    const auto brokerUp = [port] {
        const int fd = vchat::tcpConnect("127.0.0.1", std::to_string(port));
        if (fd >= 0) close(fd);
        return fd >= 0;
    };
    if (!waitFor(brokerUp, 10s)) {
        std::fprintf(stderr, "mosquitto did not start\n");
        return 1;
    }

    bool allOk = true;
    const struct {
        const char* name;
        const char* root;
        bool envelopes;
        bool recorder;
    } runs[] = {{"worker, JSON, Decode RAW off", "benchjson", false, false},
                {"worker, encrypted envelopes, Decode RAW on", "benchenv", true, false},
                {"veldra-record to a file, JSON", "recjson", false, true},
                {"veldra-record to a file, encrypted envelopes, --decode-raw", "recenv", true, true}};
    std::printf("%d messages per run\n", messages);
    for (const auto& run : runs) {
        const RunResult r = runOnce(dir, port, brokerLog, run.root, run.envelopes, run.recorder, messages);
        const char* side = run.recorder ? "recorder" : "worker";
        std::printf("%s:\n", run.name);
        std::printf("  publisher wrote all in   %.3f s\n", r.publishSec);
        std::printf("  %-13s  %6llu received, first to last %.3f s, %.0f msg/s\n", side,
                    static_cast<unsigned long long>(r.workerCount), r.workerSec,
                    r.workerSec > 0 ? static_cast<double>(r.workerCount) / r.workerSec : 0.0);
        std::printf("  mosquitto_sub  %6zu received, first to last %.3f s, %.0f msg/s\n", r.subCount, r.subSec,
                    r.subSec > 0 ? static_cast<double>(r.subCount) / r.subSec : 0.0);
        std::printf("  ratio %s / mosquitto_sub: %.2f %s\n", side, r.subSec > 0 ? r.workerSec / r.subSec : 0.0,
                    r.ok ? "" : "(MESSAGES MISSING)");
        allOk = allOk && r.ok;
    }
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    std::string cleanup = "rm -rf '" + dir + "'";
    if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    return allOk ? 0 : 1;
}
