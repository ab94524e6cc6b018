// Helpers shared by the tests on every platform: temporary directories, waiting, files, hex test
// inputs, a text message to send, digit-shape checks and line lists. Loopback sockets are in
// loopback.h.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "mesh/ascii.h"
#include "mesh/outgoing_text.h"
#include "tests/support/test_platform.h"

namespace vchat::testing {

// DejaVu Sans Mono of fonts-dejavu-core, as this test program sees it (drive Z: under wine).
inline constexpr const char* kFontPath = VCHAT_TEST_FONT_DIR "/DejaVuSansMono.ttf";

// A fresh directory under the system's temporary folder ($TMPDIR or /tmp on POSIX), removed with
// everything in it when the object dies.
class TempDir {
public:
    TempDir() {
        // create_directory fails on a name that exists, so a random name that it creates is ours alone.
        std::mt19937_64 random{std::random_device{}()};
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const auto dir = std::filesystem::temp_directory_path() / ("vchat-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(dir)) path_ = dir.generic_string();
        }
        if (path_.empty()) throw std::runtime_error("cannot create a temporary directory");
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Polls `done` until it holds or the time-out passes; returns its last answer.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Waits until `text` stands at least `count` times in the file at `path` (a child's output or log).
inline bool waitForText(const std::string& path, const std::string& text, int count, std::chrono::milliseconds timeout) {
    return waitUntil([&] {
        const std::string all = readFile(path);
        int seen = 0;
        for (std::size_t p = all.find(text); p != std::string::npos && seen < count; p = all.find(text, p + 1)) ++seen;
        return seen >= count;
    }, timeout);
}

// "0a0b" -> the two bytes 0a 0b. Test inputs only: expects an even count of hex digits.
inline std::string fromHex(std::string_view hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(hexDigitValue(hex[i]) << 4 | hexDigitValue(hex[i + 1])));
    }
    return out;
}

// "Hi" from node 1128103180 to everyone on channel 0 through gateway 433D7D0C: a message the
// send rules accept.
inline OutgoingText textHi() { return {"Hi", 1128103180, -1, "433D7D0C", 0, "", ""}; }

// True when `text` has the shape of `shape`, in which '#' stands for any decimal digit.
inline bool hasShape(std::string_view text, std::string_view shape) {
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '#' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
}

inline bool allDigits(std::string_view text) {
    return !text.empty() && hasShape(text, std::string(text.size(), '#'));
}

// "korvane-" and 20 lowercase hexadecimal digits.
inline bool isClientId(const std::string& id) {
    return id.size() == 28 && id.compare(0, 8, "korvane-") == 0 &&
           id.find_first_not_of("0123456789abcdef", 8) == std::string::npos;
}

inline bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

inline bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace vchat::testing
