// The real program on an Xvfb display, driven as a person would: started in a folder of its own
// with the font beside it, clicks at window coordinates, typing and keys through xdotool, and the
// log read back from the file Ctrl+S saves.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb.h"

namespace vchat::testing {

inline constexpr const char* kFontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

struct Point {
    int x;
    int y;
};

// The texts of a saved log file (stamps removed), or nothing when the file is malformed. Lines
// are separated by CR LF; a text may itself hold line feeds (and, in decrypted binary, CR LF),
// so a line ends only where CR LF is followed by the next stamp or the end of the file.
std::optional<std::vector<std::string>> parseSavedLog(const std::string& bytes);
bool isSaveReport(const std::string& text);
// The lines without the reports of our own saves.
std::vector<std::string> withoutSaveReports(const std::vector<std::string>& lines);

class ClientWindow {
public:
    explicit ClientWindow(const Xvfb& x) : x_(x) {}

    const std::string& dir() const { return dir_.path(); }
    std::string output() const { return readFile(dir_.file("client.out")); }
    Child& process() { return process_; }
    const std::string& window() const { return window_; }

    // Starts the program and waits until its window is on the screen.
    void start();
    int xdotool(std::vector<std::string> args, std::string* out = nullptr) const;
    void click(Point p);
    void type(const std::string& text);
    void key(const std::string& keys);
    // Clicks the field, erases `erase` bytes with Backspace and types `text`.
    void setField(Point field, int erase, const std::string& text);

    // Presses Ctrl+S and returns the texts of the file it saved; `latency` is the time from the
    // key press to the file's appearance.
    std::vector<std::string> saveLog(std::chrono::milliseconds* latency = nullptr);
    // Saves until `done` holds for the saved lines (or the time-out passes); returns the last lines.
    template <class Pred>
    std::vector<std::string> saveUntil(Pred done, std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        std::vector<std::string> lines = saveLog();
        while (!done(lines) && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            lines = saveLog();
        }
        return lines;
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
