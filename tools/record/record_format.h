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

class LineFormatter {
public:
    LineFormatter(OutputFormat format, bool noCut) : format_(format), noCut_(noCut) {}
    // One whole output line, line end included.
    std::string format(const WorkerLine& line, WallClock::time_point when);
    // Bytes a new, empty output file starts with (the byte order mark for text).
    std::string_view fileStart() const;

private:
    OutputFormat format_;
    bool noCut_;
    std::time_t stampSecond_ = -1;   // the local-time stamp is built once per second
    std::string stamp_;
};

}  // namespace vchat::record
