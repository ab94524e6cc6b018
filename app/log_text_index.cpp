#include "app/log_text_index.h"

#include <algorithm>
#include <mutex>

#include "app/access_tree.h"

namespace vchat::access {

namespace {

std::string textLineOf(const std::string& stored) {
    std::string clean = cleanUtf8(stored);
    std::replace_if(clean.begin(), clean.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    clean.push_back('\n');
    return clean;
}

}  // namespace

LogTextChange LogTextIndex::sync(const LogView& log) {
    LogTextChange change;
    std::uint64_t oldestKept = 0;
    bool empty = false;
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        empty = log.lines.empty();
        if (!empty) oldestKept = log.lines.front().id;
        // Only the new lines are copied; they are at the back, in order.
        std::size_t firstNew = log.lines.size();
        while (firstNew > 0 && log.lines[firstNew - 1].id > lastId_) --firstNew;
        for (std::size_t i = firstNew; i < log.lines.size(); ++i) change.newLines.push_back(log.lines[i].text);
        if (!log.lines.empty()) lastId_ = std::max(lastId_, log.lines.back().id);
    }
    // Lines that left (from the front, or all of them after a clear) go first.
    while (!lines_.empty() && (empty || lines_.front().id < oldestKept)) {
        change.removedChars += lines_.front().chars;
        base_ += lines_.front().chars;
        total_ -= lines_.front().chars;
        lines_.pop_front();
    }
    change.insertedAt = total_;
    // Ids of new lines are above every kept one, but a line may have come and gone in between.
    std::uint64_t id = lastId_ - change.newLines.size();
    for (const std::string& stored : change.newLines) {
        Line line;
        line.id = ++id;
        line.text = textLineOf(stored);
        line.chars = access::characterCount(line.text);
        line.start = base_ + total_;
        total_ += line.chars;
        change.insertedChars += line.chars;
        change.insertedText += line.text;
        lines_.push_back(std::move(line));
    }
    return change;
}

std::size_t LogTextIndex::lineIndexOf(std::size_t offset) const {
    const std::size_t absolute = base_ + std::min(offset, total_ == 0 ? 0 : total_ - 1);
    auto after = std::upper_bound(lines_.begin(), lines_.end(), absolute,
                                  [](std::size_t value, const Line& line) { return value < line.start; });
    return after == lines_.begin() ? 0 : static_cast<std::size_t>(after - lines_.begin()) - 1;
}

std::string LogTextIndex::text(std::size_t start, std::size_t end) const {
    end = std::min(end, total_);
    std::string out;
    if (start >= end) return out;
    for (std::size_t i = lineIndexOf(start); i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        const std::size_t lineStart = line.start - base_;
        if (lineStart >= end) break;
        const std::size_t from = start > lineStart ? start - lineStart : 0;
        const std::size_t to = std::min(line.chars, end - lineStart);
        const std::size_t a = byteOffsetOf(line.text, from);
        out.append(line.text, a, byteOffsetOf(line.text, to) - a);
    }
    return out;
}

LogTextIndex::Span LogTextIndex::lineAt(std::size_t offset) const {
    if (lines_.empty()) return {};
    const Line& line = lines_[lineIndexOf(offset)];
    return Span{line.start - base_, line.start - base_ + line.chars, line.text};
}

}  // namespace vchat::access
