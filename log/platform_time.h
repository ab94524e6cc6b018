// Local time of an instant: the one call in log/ whose name and argument order differ between the
// platforms (localtime_r on POSIX, localtime_s on Windows). Both are thread-safe, which matters
// because the worker thread stamps lines while the main thread does.
#pragma once

#include <ctime>
#include <string>

namespace vchat {

// Fills `out` with `when` in the local time zone; false if the instant cannot be converted.
bool toLocalTime(std::time_t when, std::tm& out);

// `when` in the local time zone written with strftime's `format` (at most 63 bytes of output);
// empty if the instant cannot be converted.
inline std::string formatLocalTime(std::time_t when, const char* format) {
    std::tm local{};
    if (!toLocalTime(when, local)) return std::string();
    char buffer[64];
    return std::string(buffer, std::strftime(buffer, sizeof buffer, format, &local));
}

}  // namespace vchat
