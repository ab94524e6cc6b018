// veldra-record when its output fails: a file system that fills up (every line once, whole, in
// order; the dropped ones counted), /dev/full, a standard output whose reader goes away or stops
// reading while 160 MB arrive; a terminal as standard output; and the system service's unit,
// verified and run by hand.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <sstream>

#include "tests/e2e/recording.h"

namespace vchat::e2e {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;   // memory and speed are the sanitizer's, not the recorder's
#else
constexpr bool kSanitized = false;
#endif

const std::string kTopic = "msh/EU/2/json/LongFast/!01020304";
const std::string kDropReport = "lines dropped: ";

// `count` numbered JSON messages of about `size` bytes: a file for mosquitto_pub -l (one message a
// line) and the lines the recorder shows for them.
std::vector<std::string> writeFlood(const std::string& path, int count, std::size_t size) {
    std::string lines;
    std::vector<std::string> expected;
    for (int i = 0; i < count; ++i) {
        const std::string payload = "{\"n\":" + std::to_string(i) + ",\"pad\":\"" + std::string(size, 'p') + "\"}";
        lines += payload + "\n";
        expected.push_back("msg " + kTopic + "\n" + payload);
    }
    writeFile(path, lines);
    return expected;
}

void publishLines(const Mosquitto& broker, const std::string& path) {
    ASSERT_EQ(runCommand("mosquitto_pub -h 127.0.0.1 -p " + broker.portText() + " -t '" + kTopic + "' -l < " + path), 0);
}

// Nothing waits in either direction on any loopback TCP socket of the broker's port: every byte
// the broker sent has been read by its clients (from /proc/net/tcp, its queues in hex).
bool brokerSocketsDrained(int port) {
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, ":%04X", port);
    std::istringstream table(readFile("/proc/net/tcp"));
    std::string line;
    std::getline(table, line);   // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const bool ours = local.find(portHex) != std::string::npos || remote.find(portHex) != std::string::npos;
        if (ours && queues != "00000000:00000000") return false;
    }
    return true;
}

int occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
    return n;
}

// The numbers of the flood messages among `texts`, and the sum of the drop reports' counts.
struct Tally {
    std::vector<int> numbers;
    std::uint64_t dropped = 0;
    int reports = 0;
    std::string lastReason;
    std::vector<std::string> reasons;   // of every report, in order
    std::size_t beforeFirstReport = 0;   // flood messages ahead of the first report
};
Tally tally(const std::vector<std::string>& texts) {
    Tally t;
    for (const std::string& text : texts) {
        if (startsWith(text, kDropReport)) {   // "lines dropped: N (why)"
            if (t.reports++ == 0) t.beforeFirstReport = t.numbers.size();
            std::size_t digits = 0;
            t.dropped += std::stoull(text.substr(kDropReport.size()), &digits);
            t.lastReason = text.substr(kDropReport.size() + digits);
            t.reasons.push_back(t.lastReason);
        } else if (startsWith(text, "msg " + kTopic + "\n{\"n\":")) {
            t.numbers.push_back(std::stoi(text.substr(kTopic.size() + 10)));
        }
    }
    return t;
}

bool strictlyRising(const std::vector<int>& numbers) {
    return std::adjacent_find(numbers.begin(), numbers.end(), std::greater_equal<int>()) == numbers.end();
}

// A small tmpfs mounted on a fresh folder for the test's life (root only).
struct SmallTmpfs {
    TempDir dir;
    bool mounted = runCommand("mount -t tmpfs -o size=512k veldra-test " + dir.path() + " 2>/dev/null") == 0;
    ~SmallTmpfs() {
        if (mounted) runCommand("umount -l " + dir.path());
    }
};

TEST_F(Recorder, AFullFileSystemLosesNoLineAndTearsNoneWhileLinesWaitOrAreCounted) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    SmallTmpfs fs;
    if (!fs.mounted) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    // One keeps every line in memory, one may keep only 64 KiB of them.
    Recording kept(*broker, {"--root", "msh/EU"}, {}, fs.dir.file("kept.txt"));
    Recording bounded(*broker, {"--root", "msh/EU", "--format", "jsonl", "--max-waiting", "64K"}, {},
                      fs.dir.file("bounded.jsonl"));
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 2, 20s));
    ASSERT_TRUE(waitForText(kept.path(), "Subscribed", 1, 10s));
    ASSERT_TRUE(waitForText(bounded.path(), "Subscribed", 1, 10s));

    // Each file has room left in its last page only: the first line past it is cut short.
    const std::string filler = fs.dir.file("filler");
    runCommand("dd if=/dev/zero of=" + filler + " bs=4096 2>/dev/null");
    TempDir dir;
    const std::vector<std::string> expected = writeFlood(dir.file("flood"), 300, 1000);
    publishLines(*broker, dir.file("flood"));
    for (Recording* r : {&kept, &bounded}) {
        EXPECT_TRUE(waitForText(r->errorsPath(), "No space left on device", 1, 20s)) << r->errors();
    }
    // Every message reaches both while the disk is full: a fixed second was too short on a loaded
    // machine, and lines arriving after space returned were dropped and reported a second time.
    EXPECT_TRUE(broker->waitForLog("Sending PUBLISH to", 2 * static_cast<int>(expected.size()), 60s));
    // Sent is not yet read: on a loaded machine the last messages still sat in the sockets when
    // space came back, and the bounded queue dropped them in a second episode.
    EXPECT_TRUE(waitUntil([&] { return brokerSocketsDrained(broker->port()); }, 30s));
    std::this_thread::sleep_for(300ms);   // from the socket into the recorders' queues
    std::filesystem::remove(filler);

    EXPECT_TRUE(waitUntil([&] { return messageLines(kept.texts()) == expected; }, 30s)) << readFile(kept.path()).size();
    Tally b;
    EXPECT_TRUE(waitUntil([&] {
        b = tally(bounded.jsonTexts());
        return b.numbers.size() + b.dropped == expected.size();
    }, 30s)) << b.numbers.size() << " recorded, " << b.dropped << " dropped";
    EXPECT_TRUE(strictlyRising(b.numbers));
    EXPECT_GT(b.dropped, 0u);
    // One report for the episode. The flood may also outrun the writer before the disk is found
    // full (the queue holds 64 KiB of it): those drops are reported on their own, as lagging.
    int episodeReports = 0;
    for (const std::string& why : b.reasons) {
        const bool full = why.find("No space left on device") != std::string::npos;
        episodeReports += full ? 1 : 0;
        EXPECT_TRUE(full || why.find("the output did not keep up") != std::string::npos) << why;
    }
    EXPECT_EQ(episodeReports, 1) << b.reports << " reports, the first after " << b.beforeFirstReport << " messages";
    EXPECT_NE(b.lastReason.find("No space left on device"), std::string::npos) << b.lastReason;
    EXPECT_EQ(tally(kept.texts()).reports, 0);
    for (Recording* r : {&kept, &bounded}) {
        EXPECT_EQ(occurrences(r->errors(), "cannot write to " + r->path() + ": No space left on device"), 1) << r->errors();
        EXPECT_EQ(occurrences(r->errors(), "writing to " + r->path() + " resumed"), 1) << r->errors();
        EXPECT_TRUE(r->process().running());
    }
}

TEST_F(Recorder, DevFullIsOneEpisodeAndEveryLineItNeverTookIsCountedAtTheEnd) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    Recording full(*broker, {"--root", "msh/EU"}, {}, "/dev/full");
    Recording file(*broker, {"--root", "msh/EU"});   // says the same lines where they can be written
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 2, 20s));
    for (int i = 0; i < 3; ++i) publish(*broker, kTopic, "{\"n\":" + std::to_string(i) + "}");
    ASSERT_TRUE(waitUntil([&] { return messageLines(file.texts()).size() == 3; }, 20s));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(full.process().running());
    EXPECT_EQ(full.process().stop(SIGTERM, 5s), std::optional<int>(1));
    EXPECT_EQ(file.process().stop(SIGTERM, 5s), std::optional<int>(0));

    const std::string errors = full.errors();
    EXPECT_EQ(occurrences(errors, "cannot write to /dev/full: No space left on device"), 1) << errors;
    EXPECT_NE(errors.find("lines never written: " + std::to_string(file.texts().size()) + "\n"), std::string::npos)
        << errors << "\nagainst " << file.texts().size() << " lines";
}

// The recorder with its standard output on a pipe the test reads, standard error into a file.
class PipedRecording {
public:
    PipedRecording(const Mosquitto& broker, const std::vector<std::string>& args) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);   // the write end is the child's
        fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        reader_ = fds[0];
        const std::string fd = std::to_string(fds[1]);
        std::vector<std::string> argv = {"/bin/bash", "-c", "exec \"$0\" \"$@\" >&" + fd + " " + fd + ">&-",
                                         recorderBinary(), "--host", "127.0.0.1", "--port", broker.portText()};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_TRUE(process_.start(argv, "", {}, errorsPath(), fds[1]));
        ::close(fds[1]);
    }
    ~PipedRecording() { closeReader(); }
    int reader() const { return reader_; }
    void closeReader() {
        if (reader_ >= 0) ::close(reader_);
        reader_ = -1;
    }
    Child& process() { return process_; }
    std::string errorsPath() const { return dir_.file("stderr"); }

private:
    TempDir dir_;
    Child process_;
    int reader_ = -1;
};

// What the descriptor gives until its writers close it, or nothing comes for waitMs (20 s: the
// pipe's end; 0: what is there now).
std::string readToEnd(int fd, int waitMs = 20000) {
    std::string out;
    char buffer[65536];
    pollfd p{fd, POLLIN, 0};
    for (ssize_t n = 1; n > 0 && poll(&p, 1, waitMs) == 1;) {
        n = ::read(fd, buffer, sizeof buffer);
        out.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    return out;
}

TEST_F(Recorder, AStandardOutputClosedWhileConnectedEndsItWithinASecondSilently) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    PipedRecording rec(*broker, {"--root", "msh/EU"});
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 1, 20s));
    // Read through the last line of the connection (the broker logs the subscription before the
    // recorder hears back), so that the only line still to come is the goodbye.
    std::string shown;
    pollfd p{rec.reader(), POLLIN, 0};
    for (char c = 0; shown.find("Subscribed: msh/EU/2/json/#\r\n") == std::string::npos && poll(&p, 1, 20000) == 1 &&
                     ::read(rec.reader(), &c, 1) == 1;)
        shown += c;
    EXPECT_NE(shown.find("Connecting..."), std::string::npos) << shown;
    rec.closeReader();

    const auto closed = Clock::now();
    const std::optional<int> status = rec.process().wait(1s);
    EXPECT_LT(Clock::now() - closed, 1s);
    EXPECT_TRUE(broker->waitForLog("Received DISCONNECT from korvane-", 1, 5s));
    // "Disconnected." found no reader: counted, and nothing about the pipe.
    EXPECT_EQ(status, std::optional<int>(1));
    EXPECT_EQ(readFile(rec.errorsPath()), "veldra-record: lines never written: 1\n");
}

std::int64_t statusField(pid_t pid, const std::string& name) {
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find(name + ":");
    return at == std::string::npos ? -1 : std::stoll(status.substr(at + name.size() + 1)) * 1024;
}

TEST_F(Recorder, AReaderThatStopsWhile160MBArriveCostsAtMost128MBAndTheDroppedAreCounted) {
    // No queue limit in the broker: whatever goes missing went missing in the recorder.
    auto broker = Mosquitto::start("allow_anonymous true\nmax_queued_messages 0\nmax_queued_bytes 0\n");
    ASSERT_TRUE(broker);
    std::vector<std::string> args = {"--root", "msh/EU", "--format", "jsonl"};
    if (kSanitized) args.insert(args.end(), {"--max-waiting", "8M"});
    PipedRecording rec(*broker, args);
    TempDir dir;
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 1, 20s));

    const int count = kSanitized ? 3000 : 20000;   // of 8000 bytes: 160 MB (24 MB sanitized)
    const std::vector<std::string> sent = writeFlood(dir.file("flood"), count, 7980);
    publishLines(*broker, dir.file("flood"));
    ASSERT_TRUE(waitForText(rec.errorsPath(), "the reader has taken nothing for 5 s", 1, 60s));
    // Every message has reached the recorder once it stops working.
    const std::string stat = "/proc/" + std::to_string(rec.process().pid()) + "/stat";
    double cpu = cpuSecondsFromStat(stat);
    for (const auto deadline = Clock::now() + 120s; Clock::now() < deadline;) {
        std::this_thread::sleep_for(500ms);
        const double now = cpuSecondsFromStat(stat);
        if (now == cpu) break;
        cpu = now;
    }
    const std::int64_t peak = statusField(rec.process().pid(), "VmHWM");
    if (!kSanitized) {
        EXPECT_LE(peak, 128 << 20);
    }

    // Reading resumes, and SIGTERM makes the recorder write what waits and end.
    rec.process().signal(SIGTERM);
    const std::string out = readToEnd(rec.reader());
    EXPECT_EQ(rec.process().wait(5s), std::optional<int>(0));   // every drop was reported

    int bad = 0;
    std::vector<std::string> texts;
    for (const JsonObject& o : readJsonl(out, &bad)) texts.push_back(exactBytes(o, "text"));
    EXPECT_EQ(bad, 0);
    const Tally t = tally(texts);
    EXPECT_TRUE(strictlyRising(t.numbers));
    std::printf("peak resident memory %.1f MiB; %zu messages recorded, %llu dropped\n",
                static_cast<double>(peak) / (1 << 20), t.numbers.size(), static_cast<unsigned long long>(t.dropped));
    EXPECT_EQ(t.reports, 1);
    EXPECT_EQ(t.dropped + t.numbers.size(), sent.size());
    // The report came first when reading resumed: before it only what the pipe held (64 KiB).
    EXPECT_LE(t.beforeFirstReport, 10u);
    EXPECT_NE(t.lastReason.find("the reader has taken nothing"), std::string::npos) << t.lastReason;
    EXPECT_EQ(occurrences(readFile(rec.errorsPath()), "writing to standard output resumed"), 1);
}

// A pseudo-terminal, raw so the recorder's bytes arrive unchanged; `shown` reads what it received.
struct Terminal {
    int master = -1, side = -1;
    std::string shown;
    Terminal() {
        termios raw{};
        if (openpty(&master, &side, nullptr, nullptr, nullptr) != 0 || tcgetattr(side, &raw) != 0) return;
        cfmakeraw(&raw);
        tcsetattr(side, TCSANOW, &raw);
    }
    ~Terminal() { ::close(side), ::close(master); }
    const std::string& read() { return shown += readToEnd(master, 0); }
};

TEST_F(Recorder, OnATerminalAPublishersControlBytesAreShownEscapedAndAFileGetsThemAsTheyCame) {
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    Terminal terminal;
    ASSERT_GE(terminal.side, 0);
    Child onTerminal;   // standard output and error on the terminal
    ASSERT_TRUE(onTerminal.start({recorderBinary(), "--host", "127.0.0.1", "--port", broker->portText(), "--root", "msh/EU"},
                                 "", {}, ttyname(terminal.side)));
    Recording inFile(*broker, {"--root", "msh/EU"});
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 2, 20s));
    // A new window title, a cleared screen, and a line overwritten from its start.
    const std::string payload = "{\"t\":\"\x1b]0;owned\x07\x1b[2J\rforged\"}";
    publish(*broker, kTopic, payload);
    const std::string escaped = "msg " + kTopic + "\n{\"t\":\"\\x1b]0;owned\\x07\\x1b[2J\\x0dforged\"}\r\n";
    EXPECT_TRUE(waitUntil([&] { return terminal.read().find(escaped) != std::string::npos; }, 20s)) << terminal.shown;
    EXPECT_EQ(terminal.shown.find('\x1b'), std::string::npos);
    EXPECT_TRUE(waitUntil([&] { return contains(inFile.texts(), "msg " + kTopic + "\n" + payload); }, 20s));
}

TEST_F(Recorder, TheServiceUnitVerifiesAndItsCommandLineRecordsWithTheExampleOptions) {
    ASSERT_TRUE(onPath("systemd-analyze")) << "systemd-analyze is not installed (scripts/install-deps installs it)";
    const std::string packaging = std::string(VCHAT_SOURCE_DIR) + "/packaging/";
    TempDir dir;
    // The unit for instance x with the test's build as the program, its credentials and logs
    // folder in the test's folder.
    const std::string toTest = "sed 's|/usr/bin/veldra-record|" + recorderBinary() + "|; s|%d|" + dir.file("credentials") +
                               "|g; s|/var/log/veldra-record|" + dir.path() + "|; s|%i|x|g' ";
    ASSERT_EQ(runCommand(toTest + packaging + "veldra-record@.service >" + dir.file("veldra-record@x.service")), 0);
    std::string verify;
    EXPECT_EQ(runCommand("systemd-analyze verify --man=no " + dir.file("veldra-record@x.service") + " 2>&1", &verify), 0)
        << verify;
    // A bad option is final: the unit names the very status the recorder gives for one.
    std::string prevented;
    runCommand("sed -n 's/^RestartPreventExitStatus=//p' " + dir.file("veldra-record@x.service"), &prevented);
    EXPECT_EQ(prevented, std::to_string(runProgram({recorderBinary(), "--no-such-option"})) + "\n");

    std::filesystem::create_directories(dir.file("credentials"));
    std::filesystem::copy_file(packaging + "veldra-record.conf", dir.file("credentials/config"));
    writeFile(dir.file("credentials/password"), "\n");
    auto broker = Mosquitto::start();
    ASSERT_TRUE(broker);
    Child rec;   // its ExecStart by hand, pointed at the test's broker instead of the example's
    ASSERT_TRUE(rec.start({"/bin/bash", "-c", "exec $(sed -n 's/^ExecStart=//p' " + dir.file("veldra-record@x.service") +
                                                  ") --host 127.0.0.1 --port " + broker->portText()},
                          dir.path(), {}, dir.file("stderr")));
    ASSERT_TRUE(waitForClientSubscriptions(*broker, 2, 20s)) << readFile(dir.file("stderr"));   // decode-raw: two
    const std::string topic = "msh/EU_868/2/json/LongFast/!01020304";
    publish(*broker, topic, "{\"n\":1}");
    EXPECT_TRUE(waitUntil([&] {
        const auto lines = parseSavedLog(readFile(dir.file("x.txt")));
        return lines && contains(*lines, "msg " + topic + "\n{\"n\":1}");
    }, 20s)) << readFile(dir.file("x.txt")) << readFile(dir.file("stderr"));
}

}  // namespace
}  // namespace vchat::e2e
