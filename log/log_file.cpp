#include "log/log_file.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "log/platform_time.h"

namespace vchat {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool writeBytes(std::FILE* file, std::string_view bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

}  // namespace

std::string logFileName(std::time_t when) {
    return formatLocalTime(when, "chatlog-%Y-%m-%d_%H-%M-%S.txt");
}

bool writeLogFile(const std::string& path, const LogView& log) {
    FilePtr file(std::fopen(path.c_str(), "wb"));
    if (!file) return false;

    bool ok = writeBytes(file.get(), kLogFileBom);
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        for (const LogLine& line : log.lines) {
            if (!ok) break;
            ok = writeBytes(file.get(), line.text) && writeBytes(file.get(), kLogLineEnd);
        }
    }
    // Buffered bytes reach the device only in the flush inside fclose: a full disk often shows
    // up there and nowhere else.
    return std::fclose(file.release()) == 0 && ok;
}

SaveResult saveLog(LogView& log) {
    SaveResult result;
    std::string name = logFileName(std::time(nullptr));
    if (name.empty() || !writeLogFile(name, log)) return result;
    result.ok = true;
    result.fileName = std::move(name);
    return result;
}

}  // namespace vchat
