#include "tests/support/client_window.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <thread>

#include "tests/support/text.h"

namespace vchat::testing {

namespace {

constexpr std::string_view kStampShape = "##.##.####, ##:##:##  ";

struct Stamp {
    std::string path;
    std::int64_t mtimeNs = 0;
    bool operator==(const Stamp& o) const { return path == o.path && mtimeNs == o.mtimeNs; }
};

Stamp newestLogFile(const std::string& dir) {
    Stamp best;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        struct stat st {};
        if (!startsWith(entry.path().filename().string(), "chatlog-") || stat(entry.path().c_str(), &st) != 0) continue;
        const std::int64_t ns = std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
        if (best.path.empty() || ns > best.mtimeNs) best = {entry.path().string(), ns};
    }
    return best;
}

// Where a hung client stands, for a failure message (when gdb is there).
std::string stacksOf(pid_t pid) {
    std::string out = "(no gdb for stacks)";
    if (onPath("gdb")) {
        runCommand("gdb -p " + std::to_string(pid) +
                       " -batch -ex 'thread apply all bt 20' 2>/dev/null | grep -E '^#|^Thread' | head -n 120",
                   &out);
    }
    return out;
}

}  // namespace

std::optional<std::vector<std::string>> parseSavedLog(const std::string& bytes) {
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") != 0) return std::nullopt;
    auto isStampAt = [&](std::size_t p) {
        return p + kStampShape.size() <= bytes.size() && hasShape(std::string_view(bytes).substr(p, kStampShape.size()), kStampShape);
    };
    std::vector<std::string> texts;
    for (std::size_t pos = 3; pos < bytes.size();) {
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

bool isSaveReport(const std::string& text) { return hasShape(text, "Saved log ? chatlog-####-##-##_##-##-##.txt"); }

std::vector<std::string> withoutSaveReports(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines) {
        if (!isSaveReport(l)) out.push_back(l);
    }
    return out;
}

void ClientWindow::start() {
    ASSERT_EQ(symlink(kFontPath, dir_.file("DejaVuSansMono.ttf").c_str()), 0);
    // In sanitizer builds the X11, GL and D-Bus libraries' own allocations at exit would count as
    // leaks of the client (some are unloaded by then, so no suppression can name them); its own
    // code is leak-checked where it runs without a display.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions = std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0";
    ASSERT_TRUE(process_.start({{clientBinary()}, dir_.path(), {x_.env(), asanOptions}, dir_.file("client.out")}));
    // The window is found once it is mapped.
    std::string out;
    waitUntil(
        [&] {
            return (xdotool({"search", "--onlyvisible", "--name", "^Veldra MQTT Chat$"}, &out) == 0 && !out.empty()) ||
                   !process_.running();
        },
        std::chrono::seconds(60));
    window_ = out.substr(0, out.find('\n'));
    ASSERT_FALSE(window_.empty()) << "no window; client output:\n" << output() << "\nclient stacks:\n" << stacksOf(process_.pid());
    // The first frames may still be on their way; a click before them would be lost.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

int ClientWindow::xdotool(std::vector<std::string> args, std::string* out) const {
    args.insert(args.begin(), "xdotool");
    return runProgram({args, "", {x_.env()}}, out, std::chrono::seconds(20));
}

void ClientWindow::click(Point p) {
    ASSERT_EQ(xdotool({"mousemove", "--window", window_, std::to_string(p.x), std::to_string(p.y), "click", "1"}), 0);
}

void ClientWindow::type(const std::string& text) { ASSERT_EQ(xdotool({"type", "--delay", "12", "--", text}), 0); }

void ClientWindow::key(const std::string& keys) { ASSERT_EQ(xdotool({"key", "--delay", "12", keys}), 0); }

void ClientWindow::setField(Point field, int erase, const std::string& text) {
    click(field);
    if (erase > 0) {
        ASSERT_EQ(xdotool({"key", "--delay", "4", "--repeat", std::to_string(erase), "BackSpace"}), 0);
    }
    if (!text.empty()) type(text);
}

std::vector<std::string> ClientWindow::saveLog(std::chrono::milliseconds* latency) {
    const Stamp before = newestLogFile(dir());
    const auto start = std::chrono::steady_clock::now();
    key("ctrl+s");
    Stamp now = before;
    while (now == before && std::chrono::steady_clock::now() < start + std::chrono::seconds(20)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        now = newestLogFile(dir());
    }
    if (latency) *latency = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_FALSE(now == before) << "Ctrl+S saved nothing";
    if (now.path.empty()) return {};
    // The file is written after it is emptied: read until two reads agree.
    std::string bytes = readFile(now.path);
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::string again = readFile(now.path);
        if (again == bytes && !bytes.empty()) break;
        bytes = std::move(again);
    }
    std::optional<std::vector<std::string>> lines = parseSavedLog(bytes);
    EXPECT_TRUE(lines.has_value()) << "malformed log file " << now.path;
    return lines ? *lines : std::vector<std::string>{};
}

}  // namespace vchat::testing
