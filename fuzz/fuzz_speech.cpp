// Lines from the network through what a screen reader is handed: the speaking policy (its JSON
// reading, coalescing and bounds), the log's text index and the UTF-8 cleaning. Each NUL-separated
// piece of the input is one log line; the clock advances a little per line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/access_tree.h"
#include "app/log_text_index.h"
#include "app/speech_policy.h"
#include "log/log_view.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    vchat::LogView log;
    vchat::access::LogTextIndex index;
    vchat::access::SpeechQueue speech;
    std::uint64_t now = 0;
    for (std::size_t start = 0; start <= input.size();) {
        std::size_t end = input.find('\0', start);
        if (end == std::string_view::npos) end = input.size();
        log.appendAt(input.substr(start, end - start), 0);
        const vchat::access::LogTextChange change = index.sync(log);
        for (const std::string& line : change.newLines) speech.add(line, true);
        now += 700;
        if (std::optional<std::string> said = speech.due(now)) {
            const std::string clean = vchat::access::cleanUtf8(*said);
            if (vchat::access::cleanUtf8(clean) != clean) __builtin_trap();   // cleaning is final
            if (said->size() > vchat::access::kMaxUtterance) __builtin_trap();   // bounded whatever arrives
        }
        // Every line the index holds reads back whole, from any offset.
        const std::size_t count = index.characterCount();
        const vchat::access::LogTextIndex::Span span = index.lineAt(count / 2);
        if (span.start > span.end || span.end > count) __builtin_trap();
        if (index.text(span.start, span.end) != span.text) __builtin_trap();
        start = end + 1;
    }
    return 0;
}
