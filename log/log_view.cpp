#include "log/log_view.h"

#include <algorithm>
#include <utility>

#include "log/platform_time.h"

namespace vchat {

std::string formatStamp(std::time_t when) {
    return formatLocalTime(when, "%d.%m.%Y, %H:%M:%S");
}

std::string makeLogLine(std::string_view stamp, std::string_view text, std::size_t maxText) {
    // The cut counts bytes and may split a UTF-8 sequence; the view renders whatever is left.
    std::string_view kept = text.substr(0, std::min(text.size(), maxText));
    std::string line;
    line.reserve(stamp.size() + 2 + kept.size());
    line.append(stamp);
    line.append("  ");
    line.append(kept);
    return line;
}

void LogView::append(std::string_view text) {
    appendAt(text, std::time(nullptr));
}

void LogView::appendAt(std::string_view text, std::time_t when) {
    // Everything that costs time happens before the lock, so a drawing pass or the other thread
    // waits only for a push and a pop.
    std::string line = makeLogLine(formatStamp(when), text);
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(LogLine{nextId++, std::move(line)});
    if (lines.size() > kMaxLogLines) lines.pop_front();
}

void LogView::clear() {
    std::deque<LogLine> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Swapping gives the storage back; nextId keeps counting so identities are never reused.
        dropped.swap(lines);
        scroll = 0;
    }
    // Up to 2000 lines of 8 kB are freed here, outside the lock.
}

void LogView::wheel(std::int32_t y) {
    std::lock_guard<std::mutex> lock(mutex);
    if (y > 0 && scroll < kMaxScroll) ++scroll;
    else if (y < 0 && scroll > 0) --scroll;
}

}  // namespace vchat
