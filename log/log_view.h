// The one store of chat lines, shared by the main thread and the worker thread.
//
// Every line is "<stamp>  <text>" with the stamp in "%d.%m.%Y, %H:%M:%S" local time and the text cut to
// kMaxLogText bytes. At most kMaxLogLines lines are kept; the oldest goes first. Each line carries an
// identity that is never reused in the life of the store (not even after clear), so a view can cache
// per-line work and know when a line has left the store.
//
// Locking: `mutex` guards `lines`, `scroll` and `nextId`. It is always the innermost lock: no other lock
// is taken while it is held.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace vchat {

inline constexpr std::size_t kMaxLogLines = 2000;
inline constexpr std::size_t kMaxLogText = 8000;
inline constexpr int kMaxScroll = 10000;

// Window pixels, x to the right and y downwards.
struct Rect {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t w = 0;
    std::int32_t h = 0;
};

// The log area's margins and border in window pixels: these at the scale 1/1, scaled with the window.
struct LogInsets {
    std::int32_t left = 6;           // of the text
    std::int32_t top = 4;            // no line starts above rect.y + this
    std::int32_t bottom = 4;         // no line starts at or below rect.y + rect.h - this
    std::int32_t wrapMargin = 12;    // wrap width is rect.w minus this
    std::int32_t fallbackExtra = 2;  // an unrenderable line fits as font height + this
    std::int32_t border = 1;         // the outline's thickness
    bool operator==(const LogInsets& o) const {
        return left == o.left && top == o.top && bottom == o.bottom && wrapMargin == o.wrapMargin &&
               fallbackExtra == o.fallbackExtra && border == o.border;
    }
};

struct LogLine {
    std::uint64_t id = 0;   // unique for the life of the store
    std::string text;       // stamp, two spaces, message text
};

struct LogView {
    Rect rect;                       // written once before any other thread exists
    LogInsets insets;                // the same
    std::deque<LogLine> lines;       // oldest first
    std::int32_t scroll = 0;         // lines back from the newest, 0..kMaxScroll
    std::uint64_t nextId = 1;
    mutable std::mutex mutex;

    // Adds one line stamped with the current local time. Callable from any thread.
    void append(std::string_view text);
    // Same, with a caller-given time (tests).
    void appendAt(std::string_view text, std::time_t when);
    // Removes every line and sets scroll to 0.
    void clear();
    // One mouse-wheel event: y > 0 scrolls back one line, y < 0 forward one line, 0 does nothing.
    void wheel(std::int32_t y);
};

// "%d.%m.%Y, %H:%M:%S" of `when` in local time (20 bytes).
std::string formatStamp(std::time_t when);
// The stored form of a line: stamp, two spaces, text cut to `maxText` bytes.
std::string makeLogLine(std::string_view stamp, std::string_view text, std::size_t maxText = kMaxLogText);

}  // namespace vchat
