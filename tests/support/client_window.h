// A fresh X server, stopped with the object, and the real program on it driven as a person would:
// started in a folder of its own with the font beside it, clicks at window coordinates, typing and
// keys through xdotool, and the log read back from the file Ctrl+S saves.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/form.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace vchat::testing {

class Xvfb {
public:
    // Other tests and programs start X servers on this machine too, so the server picks a free
    // display number itself (-displayfd) and names it once it accepts clients. -noreset: without it
    // the server resets whenever its last client leaves (our own probes do), and a client starting
    // during a reset can end up with a window nobody can find.
    bool start(const std::string& screen = "1600x900x24") {
        const std::string file = dir_.file("display");   // the server writes the number and a line feed
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const bool started = fd >= 0 && child_.start({"Xvfb", "-displayfd", std::to_string(fd), "-screen", "0",
                                                      screen, "-nolisten", "tcp", "-noreset"},
                                                     "", {}, dir_.file("xvfb.log"), fd);
        if (fd >= 0) close(fd);
        std::string number;
        waitUntil([&] { return (number = readFile(file)).find('\n') != std::string::npos || !child_.running(); },
                  std::chrono::seconds(20));
        display_ = number.size() > 1 && number.back() == '\n' ? ":" + number.substr(0, number.size() - 1) : "";
        return started && !display_.empty();
    }
    // Politely, so the server removes its lock file and socket.
    ~Xvfb() { child_.stop(SIGTERM); }
    const std::string& display() const { return display_; }
    std::string env() const { return "DISPLAY=" + display_; }
    // What a desktop announces on its root window: the area its panels leave (_NET_WORKAREA) and
    // its resources (Xft.dpi). Set before a client starts, so that it reads them.
    bool setWorkArea(const SDL_Rect& r) const {
        return setRootProperty("_NET_WORKAREA", "32c", std::to_string(r.x) + ", " + std::to_string(r.y) + ", " +
                                                           std::to_string(r.w) + ", " + std::to_string(r.h));
    }
    bool setXftDpi(int dpi) const { return setRootProperty("RESOURCE_MANAGER", "8s", "Xft.dpi:\t" + std::to_string(dpi) + "\n"); }
    // `format` as xprop takes it: 8s a string, 32c a list of numbers.
    bool setRootProperty(const std::string& name, const std::string& format, const std::string& value) const {
        return runProgram({"xprop", "-root", "-f", name, format, "-set", name, value}, {env()}) == 0;
    }

private:
    TempDir dir_;
    Child child_;
    std::string display_;
};

using Point = SDL_Point;

// Where a person clicks: the middle of a widget, from the form's own tables (check boxes are
// 20 x 20 squares).
inline Point centreOf(const SDL_Rect& r) { return {r.x + r.w / 2, r.y + r.h / 2}; }
inline Point centreOf(FieldId f) { return centreOf(kFieldTable[f].rect); }
inline Point centreOf(ButtonId b) { return centreOf(kButtonTable[b].rect); }
inline Point centreOf(BoxId b) { return {kBoxTable[b].x + 10, kBoxTable[b].y + 10}; }

// The logs saved in `dir`.
inline std::vector<std::string> savedLogFiles(const std::string& dir) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (startsWith(entry.path().filename().string(), "chatlog-")) files.push_back(entry.path().string());
    }
    return files;
}

// Where a hung client stands, for a failure message (when gdb is there).
inline std::string stacksOf(pid_t pid) {
    std::string out;
    runCommand("command -v gdb >/dev/null && gdb -p " + std::to_string(pid) + " -batch -ex 'thread apply all bt 20' "
               "2>/dev/null | grep -E '^#|^Thread' | head -n 120 || echo '(no gdb for stacks)'", &out);
    return out;
}

// The texts of a saved log file (stamps removed), or nothing when the file is malformed. Lines
// are separated by CR LF; a text may itself hold line feeds (and, in decrypted binary, CR LF),
// so a line ends only where CR LF is followed by the next stamp or the end of the file.
inline std::optional<std::vector<std::string>> parseSavedLog(const std::string& bytes) {
    constexpr std::string_view kStampShape = "##.##.####, ##:##:##  ";
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") != 0) return std::nullopt;
    auto isStampAt = [&](std::size_t p) { return hasShape(std::string_view(bytes).substr(p, kStampShape.size()), kStampShape); };
    std::vector<std::string> texts;
    for (std::size_t pos = 3; pos < bytes.size();) {
        if (!isStampAt(pos)) return std::nullopt;
        std::size_t end = bytes.find("\r\n", pos + kStampShape.size());
        while (end != std::string::npos && end + 2 != bytes.size() && !isStampAt(end + 2)) end = bytes.find("\r\n", end + 2);
        if (end == std::string::npos) return std::nullopt;
        texts.push_back(bytes.substr(pos + kStampShape.size(), end - pos - kStampShape.size()));
        pos = end + 2;
    }
    return texts;
}

inline bool isSaveReport(const std::string& text) { return hasShape(text, "Saved log ? chatlog-####-##-##_##-##-##.txt"); }

// The lines without the reports of our own saves.
inline std::vector<std::string> withoutSaveReports(std::vector<std::string> lines) {
    lines.erase(std::remove_if(lines.begin(), lines.end(), isSaveReport), lines.end());
    return lines;
}

class ClientWindow {
public:
    explicit ClientWindow(const Xvfb& x) : x_(x) {}

    const std::string& dir() const { return dir_.path(); }
    std::string output() const { return readFile(dir_.file("client.out")); }
    Child& process() { return process_; }
    const std::string& window() const { return window_; }

    // Starts the program and waits until its window is on the screen.
    void start() {
        ASSERT_EQ(symlink(kFontPath, dir_.file("DejaVuSansMono.ttf").c_str()), 0);
        // In sanitizer builds the X11, GL and D-Bus libraries' own allocations at exit would count as
        // leaks of the client (some are unloaded by then, so no suppression can name them); its own
        // code is leak-checked where it runs without a display.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string asanOptions = std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0";
        // A UTF-8 locale, as on a desktop: X turns typed characters beyond Latin-1 into text only then.
        ASSERT_TRUE(process_.start({clientBinary()}, dir_.path(), {x_.env(), asanOptions, "LC_ALL=C.UTF-8"},
                                   dir_.file("client.out")));
        // The window is found once it is mapped.
        std::string out;
        auto mapped = [&] { return xdotool({"search", "--onlyvisible", "--name", "^Veldra MQTT Chat$"}, &out) == 0 && !out.empty(); };
        waitUntil([&] { return mapped() || !process_.running(); }, std::chrono::seconds(60));
        window_ = out.substr(0, out.find('\n'));
        ASSERT_FALSE(window_.empty()) << "no window; client output:\n" << output() << "\nclient stacks:\n" << stacksOf(process_.pid());
        // The first frames may still be on their way; a click before them would be lost.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    int xdotool(std::vector<std::string> args, std::string* out = nullptr) const {
        args.insert(args.begin(), "xdotool");
        return runProgram(args, {x_.env()}, out, std::chrono::seconds(20));
    }
    void click(Point p) {
        ASSERT_EQ(xdotool({"mousemove", "--window", window_, std::to_string(p.x), std::to_string(p.y), "click", "1"}), 0);
    }
    void type(const std::string& text) { ASSERT_EQ(xdotool({"type", "--delay", "12", "--", text}), 0); }
    void key(const std::string& keys) { ASSERT_EQ(xdotool({"key", "--delay", "12", keys}), 0); }
    // Clicks the field, erases `erase` bytes with Backspace and types `text`.
    void setField(Point field, int erase, const std::string& text) {
        click(field);
        if (erase > 0) {
            ASSERT_EQ(xdotool({"key", "--delay", "4", "--repeat", std::to_string(erase), "BackSpace"}), 0);
        }
        if (!text.empty()) type(text);
    }

    // Presses Ctrl+S and returns the texts of the file it saved; `latency` is the time from the
    // key press to the file's appearance.
    std::vector<std::string> saveLog(std::chrono::milliseconds* latency = nullptr) {
        // Earlier saves (each whole once read) go first: the file that appears is this one, even
        // under the name of one saved in the same second.
        for (const std::string& old : savedLogFiles(dir())) std::filesystem::remove(old);
        const auto start = std::chrono::steady_clock::now();
        key("ctrl+s");
        std::vector<std::string> saved;
        waitUntil([&] { return !(saved = savedLogFiles(dir())).empty(); }, std::chrono::seconds(20));
        if (latency) *latency = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (saved.empty()) {
            ADD_FAILURE() << "Ctrl+S saved nothing";
            return {};
        }
        // The client writes the file in pieces (its stdio buffer at a time) and closes it at the
        // end: only a file it no longer holds open is whole, however long a loaded machine keeps
        // it between two pieces.
        EXPECT_TRUE(waitUntil([&] { return !holdsOpen(process_.pid(), saved[0]); }, std::chrono::seconds(20)))
            << "the client kept " << saved[0] << " open";
        std::optional<std::vector<std::string>> lines = parseSavedLog(readFile(saved[0]));
        EXPECT_TRUE(lines.has_value()) << "malformed log file " << saved[0];
        return lines.value_or(std::vector<std::string>{});
    }
    // Ends the program as the window system does when its window is closed (SDL turns the signal
    // into the same quit event) and returns the exit status.
    std::optional<int> quit(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        process_.signal(SIGTERM);
        return process_.wait(timeout);
    }

private:
    const Xvfb& x_;
    TempDir dir_;
    Child process_;
    std::string window_;
};

}  // namespace vchat::testing
