// Driving the real program as a person would: a fresh Xvfb display, the client started in a
// directory of its own, clicks at the form's coordinates, typing and keys through xdotool, and the
// log read back from the file Ctrl+S saves. Also the gateway simulator as a child process, and the
// log lines expected for what it sent, computed here from its records (not with the client's code).
//
// Every process started here is killed and reaped when its owner goes. POSIX only.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/process_support.h"
#include "tests/support/test_support.h"

namespace vchat::e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vchat::testing::clientBinary;
using vchat::testing::onPath;
using vchat::testing::TempDir;

inline std::string simulatorBinary() {
    return std::string(VCHAT_BINARY_DIR) + "/tools/gateway-sim/gateway-sim";
}
inline constexpr const char* kFontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

// ---- The form, as laid out on screen (window coordinates of each widget's centre) -------------

struct Point {
    int x;
    int y;
};

namespace at {
// Text fields are 280 x 32; the message line is 980 x 32.
inline constexpr Point kBrokerHost{160, 62};
inline constexpr Point kPort{160, 122};
inline constexpr Point kRootTopic{160, 302};
inline constexpr Point kFromId{470, 62};
inline constexpr Point kGatewayHex{470, 122};
inline constexpr Point kChannel{470, 182};
inline constexpr Point kChannelPsk{470, 242};
inline constexpr Point kCaPath{780, 182};
inline constexpr Point kPskIdentity{780, 242};
inline constexpr Point kPskKey{780, 302};
inline constexpr Point kMessageLine{770, 661};
// Check boxes: the middle of each 20 x 20 square.
inline constexpr Point kUseTls{650, 61};
inline constexpr Point kTlsPskMode{650, 121};
inline constexpr Point kDecodeRaw{650, 361};
inline constexpr Point kHideNodeinfo{30, 420};
inline constexpr Point kHidePosition{240, 420};
inline constexpr Point kHideTelemetry{450, 420};
inline constexpr Point kHideTraceroute{660, 420};
// Buttons.
inline constexpr Point kConnect{80, 359};
inline constexpr Point kDisconnect{240, 359};
inline constexpr Point kSend{1345, 661};
}  // namespace at

// ---- Child processes ----------------------------------------------------------------------------

inline std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& x : extra) replaced = replaced || x.substr(0, x.find('=')) == name;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

// A process killed with SIGKILL and reaped when the object goes, unless it has ended already.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { kill(); }

    // Standard output and error go to `outPath` (or /dev/null); `keepFd` stays open in the child.
    bool start(const std::vector<std::string>& argv, const std::string& dir,
               const std::vector<std::string>& extraEnv, const std::string& outPath, int keepFd = -1) {
        const std::vector<std::string> env = environmentWith(extraEnv);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        const std::string out = outPath.empty() ? "/dev/null" : outPath;
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0) _exit(126);
            dup2(fd, 1);
            dup2(fd, 2);
            const int in = open("/dev/null", O_RDONLY);
            if (in >= 0) dup2(in, 0);
            for (int i = 3; i < 1024; ++i) {
                if (i != keepFd) close(i);
            }
            setpgid(0, 0);   // a terminal's Ctrl+C on the test must not reach the children directly
            execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        status_.reset();
        return true;
    }

    pid_t pid() const { return pid_; }

    // The exit status once the process has ended within `timeout` (128 + signal when a signal
    // ended it), or nothing while it still runs.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        if (status_ || pid_ <= 0) return status_;
        status_ = vchat::testing::waitForExit(pid_, timeout);
        return status_;
    }
    bool running() { return pid_ > 0 && !wait(0ms); }
    void signal(int sig) {
        if (pid_ > 0 && !status_) ::kill(pid_, sig);
    }
    void kill() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            wait(10s);
        }
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs a program to its end (at most `timeout`), capturing its standard output.
inline int runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                      std::string* output = nullptr, std::chrono::milliseconds timeout = 20s) {
    TempDir dir;
    const std::string outPath = dir.file("out");
    Child child;
    if (!child.start(argv, "", extraEnv, outPath)) return -1;
    const std::optional<int> status = child.wait(timeout);
    if (output) *output = vchat::testing::readFile(outPath);
    return status ? *status : -1;
}

// ---- A fresh X server ---------------------------------------------------------------------------

class Xvfb {
public:
    // Lets the server pick a free display number and waits until it accepts clients.
    bool start() {
        int fds[2];
        if (pipe(fds) != 0) return false;
        const bool started = child_.start({"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-screen",
                                           "0", "1600x900x24", "-nolisten", "tcp", "-noreset"},
                                          "", {}, dir_.file("xvfb.log"), fds[1]);
        close(fds[1]);
        std::string number;
        const auto end = Clock::now() + 20s;
        while (started && Clock::now() < end) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char c = 0;
                if (read(fds[0], &c, 1) != 1 || c == '\n') break;
                number.push_back(c);
            }
        }
        close(fds[0]);
        if (number.empty()) return false;
        display_ = ":" + number;
        return true;
    }
    const std::string& display() const { return display_; }
    std::string env() const { return "DISPLAY=" + display_; }

private:
    TempDir dir_;
    Child child_;
    std::string display_;
};

// ---- The saved log ------------------------------------------------------------------------------

// True when `text` has the shape of `shape`, in which '#' stands for any decimal digit.
inline bool hasShape(std::string_view text, std::string_view shape) {
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == '#' ? (text[i] >= '0' && text[i] <= '9') : text[i] == shape[i];
        if (!ok) return false;
    }
    return true;
}

inline bool allDigits(std::string_view text) {
    return !text.empty() && hasShape(text, std::string(text.size(), '#'));
}

// The texts of a saved log file (stamps removed), or nothing when the file is malformed. Lines
// are separated by CR LF; a text may itself hold line feeds (and, in decrypted binary, CR LF),
// so a line ends only where CR LF is followed by the next stamp or the end of the file.
inline std::optional<std::vector<std::string>> parseSavedLog(const std::string& bytes) {
    constexpr std::string_view kStampShape = "##.##.####, ##:##:##  ";
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") != 0) return std::nullopt;
    std::vector<std::string> texts;
    std::size_t pos = 3;
    auto isStampAt = [&](std::size_t p) {
        return p + kStampShape.size() <= bytes.size() &&
               hasShape(std::string_view(bytes).substr(p, kStampShape.size()), kStampShape);
    };
    while (pos < bytes.size()) {
        if (!isStampAt(pos)) return std::nullopt;
        std::size_t end = pos + kStampShape.size();
        for (;;) {
            end = bytes.find("\r\n", end);
            if (end == std::string::npos) return std::nullopt;
            if (end + 2 == bytes.size() || isStampAt(end + 2)) break;
            end += 2;
        }
        texts.push_back(bytes.substr(pos + kStampShape.size(), end - pos - kStampShape.size()));
        pos = end + 2;
    }
    return texts;
}

inline bool isSaveReport(const std::string& text) {
    return hasShape(text, "Saved log ? chatlog-####-##-##_##-##-##.txt");
}

// The lines without the reports of our own saves.
inline std::vector<std::string> withoutSaveReports(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines) {
        if (!isSaveReport(l)) out.push_back(l);
    }
    return out;
}

inline bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

inline bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// Lines that report a received message.
inline bool isMessageLine(const std::string& text) {
    return startsWith(text, "msg ") || startsWith(text, "[") || startsWith(text, "RAW ");
}

inline std::vector<std::string> messageLines(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines) {
        if (isMessageLine(l)) out.push_back(l);
    }
    return out;
}

// ---- The client ---------------------------------------------------------------------------------

class Client {
public:
    explicit Client(const Xvfb& x) : x_(x) {}
    ~Client() { process_.kill(); }

    const std::string& dir() const { return dir_.path(); }
    Child& process() { return process_; }

    // Starts the program with the font in its working directory and waits for its window.
    void start() {
        std::filesystem::copy_file(kFontPath, dir_.file("DejaVuSansMono.ttf"));
        std::vector<std::string> env = {x_.env()};
#if defined(__SANITIZE_ADDRESS__)
        // At exit the leak checker reports blocks of the display libraries (D-Bus, GL drivers that
        // are unloaded by then, so no suppression can name them). The program's own code is
        // leak-checked by the unit tests; here only its behaviour is under test.
        const char* asan = std::getenv("ASAN_OPTIONS");
        env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
#endif
        ASSERT_TRUE(process_.start({clientBinary()}, dir_.path(), env, dir_.file("client.out")));
        const auto end = Clock::now() + 30s;
        while (window_.empty() && Clock::now() < end && process_.running()) {
            std::string out;
            if (xdotool({"search", "--name", "^Veldra MQTT Chat$"}, &out) == 0 && !out.empty()) {
                window_ = out.substr(0, out.find('\n'));
            } else {
                std::this_thread::sleep_for(100ms);
            }
        }
        ASSERT_FALSE(window_.empty()) << "no window; client output:\n"
                                      << vchat::testing::readFile(dir_.file("client.out"));
        // The first frames may still be on their way; a click before them would be lost.
        std::this_thread::sleep_for(300ms);
    }

    int xdotool(std::vector<std::string> args, std::string* out = nullptr) const {
        args.insert(args.begin(), "/usr/bin/xdotool");
        return runProgram(args, {x_.env()}, out);
    }

    void click(Point p) {
        ASSERT_EQ(xdotool({"mousemove", "--window", window_, std::to_string(p.x), std::to_string(p.y),
                           "click", "1"}),
                  0);
    }
    void type(const std::string& text) {
        ASSERT_EQ(xdotool({"type", "--delay", "12", "--", text}), 0);
    }
    void key(const std::string& keys) { ASSERT_EQ(xdotool({"key", "--delay", "12", keys}), 0); }
    // Clicks the field, erases `erase` bytes with Backspace and types `text`.
    void setField(Point field, int erase, const std::string& text) {
        click(field);
        if (erase > 0) {
            ASSERT_EQ(xdotool({"key", "--delay", "4", "--repeat", std::to_string(erase), "BackSpace"}), 0);
        }
        if (!text.empty()) type(text);
    }

    // Connects to 127.0.0.1:port with everything else left at the defaults unless the caller
    // changed it before.
    void setBroker(int port) {
        setField(at::kBrokerHost, 20, "127.0.0.1");
        setField(at::kPort, 8, std::to_string(port));
    }

    // Presses Ctrl+S and returns the texts of the file it saved; `latency` is the time from the
    // key press to the file's appearance.
    std::vector<std::string> saveLog(std::chrono::milliseconds* latency = nullptr) {
        const Stamp before = newestLogFile();
        const auto start = Clock::now();
        key("ctrl+s");
        Stamp now = before;
        const auto end = start + 20s;
        while (Clock::now() < end) {
            now = newestLogFile();
            if (now.path != before.path || now.mtimeNs != before.mtimeNs) break;
            std::this_thread::sleep_for(5ms);
        }
        if (latency) *latency = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        EXPECT_FALSE(now.path == before.path && now.mtimeNs == before.mtimeNs) << "Ctrl+S saved nothing";
        if (now.path.empty()) return {};
        // The file is written after it is emptied: read until two reads agree.
        std::string bytes = vchat::testing::readFile(now.path);
        for (int i = 0; i < 50; ++i) {
            std::this_thread::sleep_for(20ms);
            std::string again = vchat::testing::readFile(now.path);
            if (again == bytes && !bytes.empty()) break;
            bytes = std::move(again);
        }
        std::optional<std::vector<std::string>> lines = parseSavedLog(bytes);
        EXPECT_TRUE(lines.has_value()) << "malformed log file " << now.path;
        return lines ? *lines : std::vector<std::string>{};
    }

    // Saves until `done` holds for the saved lines (or the time-out passes); returns the last lines.
    template <class Pred>
    std::vector<std::string> saveUntil(Pred done, std::chrono::milliseconds timeout,
                                       std::chrono::milliseconds pause = 400ms) {
        const auto end = Clock::now() + timeout;
        std::vector<std::string> lines = saveLog();
        while (!done(lines) && Clock::now() < end) {
            std::this_thread::sleep_for(pause);
            lines = saveLog();
        }
        return lines;
    }

    // Ends the program as the window system does when its window is closed (SDL turns the signal
    // into the same quit event) and returns the exit status.
    std::optional<int> quit() {
        process_.signal(SIGTERM);
        return process_.wait(30s);
    }

private:
    struct Stamp {
        std::string path;
        std::int64_t mtimeNs = 0;
    };
    Stamp newestLogFile() const {
        Stamp best;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
            const std::string name = entry.path().filename().string();
            if (!startsWith(name, "chatlog-")) continue;
            struct stat st {};
            if (stat(entry.path().c_str(), &st) != 0) continue;
            const std::int64_t ns = std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
            if (best.path.empty() || ns > best.mtimeNs) best = {entry.path().string(), ns};
        }
        return best;
    }

    const Xvfb& x_;
    TempDir dir_;
    Child process_;
    std::string window_;
};

// ---- The simulator and what it sent -------------------------------------------------------------

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

inline std::string fromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        parts.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) return parts;
        start = tab + 1;
    }
}

// The complete records of a --print-sent file (a line still being written is left out).
inline std::vector<SentRecord> readSentRecords(const std::string& path) {
    const std::string bytes = vchat::testing::readFile(path);
    std::vector<SentRecord> records;
    std::size_t start = 0;
    for (std::size_t nl; (nl = bytes.find('\n', start)) != std::string::npos; start = nl + 1) {
        const std::vector<std::string> f = splitTabs(bytes.substr(start, nl - start));
        SentRecord r;
        if (f.size() == 5 && f[0] == "json") {
            r.payload = f[4];
        } else if (f.size() == 9 && f[0] == "env") {
            r.envelope = true;
            r.label = f[4];
            r.first = std::stoull(f[5]);
            r.second = std::stoull(f[6]);
            r.plaintext = fromHex(f[7]);
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

// The readable text of a decrypted channel payload: from the first run of nine printable bytes to
// the end, or all of it when there is no such run.
inline std::string readableText(const std::string& plaintext) {
    std::size_t run = 0;
    for (std::size_t i = 0; i < plaintext.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(plaintext[i]);
        run = (b >= 0x20 && b <= 0x7E) ? run + 1 : 0;
        if (run == 9) return plaintext.substr(i - 8);
    }
    return plaintext;
}

// The one log line the client shows for a sent message (Decode RAW on, the right channel key).
inline std::string expectedLine(const SentRecord& r) {
    if (!r.envelope) return "msg " + r.topic + "\n" + r.payload;
    return "[" + r.label + "] (" + std::to_string(r.first) + "/" + std::to_string(r.second) + ") " +
           readableText(r.plaintext);
}

class Simulator {
public:
    ~Simulator() { process_.kill(); }

    // Starts gateway-sim against 127.0.0.1:port with `args` added; it writes its records to a file.
    void start(int port, const std::vector<std::string>& args) {
        std::vector<std::string> argv = {simulatorBinary(), "--port", std::to_string(port), "--print-sent",
                                         dir_.file("sent.tsv")};
        argv.insert(argv.end(), args.begin(), args.end());
        ASSERT_TRUE(process_.start(argv, dir_.path(), {}, dir_.file("sim.out")));
    }
    std::vector<SentRecord> sent() const { return readSentRecords(dir_.file("sent.tsv")); }
    // Standard output and error together: what clients sent, and progress.
    std::string output() const { return vchat::testing::readFile(dir_.file("sim.out")); }
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
        return vchat::testing::waitUntil(
            [&] { return output().find(text) != std::string::npos; }, timeout);
    }
    // Waits until `count` messages have been sent and recorded.
    bool waitSent(std::size_t count, std::chrono::milliseconds timeout) const {
        return waitForOutput("sent " + std::to_string(count) + " messages", timeout);
    }
    Child& process() { return process_; }

private:
    TempDir dir_;
    Child process_;
};

// The broker has answered `count` subscriptions of the client (its ids start with "korvane-").
inline bool waitForClientSubscriptions(const vchat::testing::Mosquitto& broker, int count,
                                       std::chrono::milliseconds timeout) {
    return vchat::testing::waitUntil(
        [&] {
            const std::string log = vchat::testing::readFile(broker.logPath());
            int seen = 0;
            for (std::size_t p = 0; (p = log.find("Sending SUBACK to korvane-", p)) != std::string::npos; ++p) {
                ++seen;
            }
            return seen >= count;
        },
        timeout);
}

// Fails the test early, with a clear message, when the tools the tests drive are missing.
inline void requireTools() {
    for (const char* tool : {"Xvfb", "xdotool", "mosquitto"}) {
        ASSERT_TRUE(onPath(tool)) << tool << " is not installed (scripts/install-deps installs it)";
    }
    ASSERT_TRUE(std::filesystem::exists(clientBinary())) << clientBinary() << " is not built";
    ASSERT_TRUE(std::filesystem::exists(simulatorBinary())) << simulatorBinary() << " is not built";
    ASSERT_TRUE(std::filesystem::exists(kFontPath)) << kFontPath << " is missing (fonts-dejavu-core)";
}

}  // namespace vchat::e2e
