// The recorder's output lines: the client's saved-log lines ("text") or one JSON object per line
// ("jsonl"). Pure; nothing here fails.
//
// jsonl: {"time":"2024-05-01T12:34:56.789Z","kind":"json","topic":"...","text":"..."}, kind one of
// json, envelope, raw, status, topic only on lines for received traffic. Texts are bytes, not always
// UTF-8 (decrypted payloads, raw bytes): a text that is valid UTF-8 is written as a JSON string and
// reads back byte for byte. Otherwise "text" holds it with every byte that starts no valid UTF-8
// sequence replaced by U+FFFD, and "bytes" holds the exact bytes in standard Base64 (the same for a
// topic, as "topic_bytes"). So: take "bytes" when it is there, else "text".
#pragma once

#include <chrono>
#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

#include "mqtt/mqtt_worker.h"
#include "tools/record/record_options.h"

namespace vchat::record {

using WallClock = std::chrono::system_clock;

// "json", "envelope", "raw" or "status".
std::string_view kindName(LineKind kind);

bool isValidUtf8(std::string_view bytes);
// A JSON string literal, quotes included; invalid UTF-8 as described above.
std::string jsonString(std::string_view bytes);
// ISO 8601 in UTC with milliseconds, e.g. "2024-05-01T12:34:56.789Z".
std::string isoUtcMillis(WallClock::time_point when);

// The text for a terminal: every control byte but LF and TAB (0x00 to 0x1F, 0x7F) and the C1
// controls (U+0080 to U+009F, C2 80 to C2 9F in UTF-8, or such a byte standing alone) become "\xHH",
// one per byte, so a publisher cannot move the cursor, retitle the window or overwrite a line.
// Everything else, valid UTF-8 included, stays as it is.
std::string escapeControls(std::string_view bytes);

class LineFormatter {
public:
    // `escapeControls`: text lines go to a terminal (see escapeControls); jsonl escapes anyway.
    LineFormatter(OutputFormat format, bool noCut, bool escapeControls = false)
        : format_(format), noCut_(noCut), escapeControls_(escapeControls) {}
    // One whole output line, line end included.
    std::string format(const WorkerLine& line, WallClock::time_point when);
    // Bytes a new, empty output file starts with (the byte order mark for text).
    std::string_view fileStart() const;

private:
    OutputFormat format_;
    bool noCut_;
    bool escapeControls_;
    std::time_t stampSecond_ = -1;   // the local-time stamp is built once per second
    std::string stamp_;
};

}  // namespace vchat::record
