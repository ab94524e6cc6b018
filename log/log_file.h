// Writing the log store to a dated text file in the current directory.
//
// The file is UTF-8 with a byte order mark: EF BB BF, then every stored line, oldest first, each
// followed by CR LF. Error convention: a bool result (or the `ok` field); nothing throws. Every
// write and the close are checked, so a full disk or a failing device is a failure, never a save.
// After a failed write a partly written file may remain under the name.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "log/log_view.h"

namespace vchat {

struct SaveResult {
    bool ok = false;
    std::string fileName;   // without a directory; set only when ok
};

// "chatlog-%Y-%m-%d_%H-%M-%S.txt" of `when` in local time.
std::string logFileName(std::time_t when);

// The file starts with the byte order mark and every line ends with CR LF.
inline constexpr std::string_view kLogFileBom = "\xEF\xBB\xBF";
inline constexpr std::string_view kLogLineEnd = "\r\n";

// Creates or empties `path` and writes the log into it, holding the log's lock while the lines are
// written. True only if the file was opened, every byte was written and the close succeeded.
bool writeLogFile(const std::string& path, const LogView& log);

// Texts the caller appends to the log after a save (the button and Ctrl+S differ on failure).
inline constexpr std::string_view kSavedLogPrefix = "Saved log ? ";
inline constexpr std::string_view kSaveFailedButtonText = "Failed to save log (no write permission?)";
inline constexpr std::string_view kSaveFailedKeyText = "Failed to save log";

// writeLogFile to logFileName(now) in the current directory. Appends nothing to the log: the caller
// reports the result, after the file is closed, so the report is not part of the file.
SaveResult saveLog(LogView& log);

}  // namespace vchat
