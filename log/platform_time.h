// Local time of an instant: the one call in log/ whose name and argument order differ between the
// platforms (localtime_r on POSIX, localtime_s on Windows). Both are thread-safe, which matters
// because the worker thread stamps lines while the main thread does.
#pragma once

#include <ctime>

namespace vchat {

// Fills `out` with `when` in the local time zone; false if the instant cannot be converted.
bool toLocalTime(std::time_t when, std::tm& out);

}  // namespace vchat
