// Running programs in a test: where the client binary is, whether a tool is installed, waiting for
// a child's exit, and a child process that dies with its owner. POSIX only.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace vchat::testing {

inline std::string clientBinary() { return std::string(VCHAT_BINARY_DIR) + "/app/veldra-chat"; }

inline bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline bool onPath(const std::string& program) {
    return runCommand("command -v " + program + " >/dev/null 2>&1") == 0;
}

// Reaps `pid` once it has ended within `timeout`: its exit status (128 + signal number when a
// signal ended it), or nothing while it still runs or when it is not our child.
inline std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 || std::chrono::steady_clock::now() >= end) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A child process that is killed (SIGKILL) and reaped if the test ends before it does.
class ChildProcess {
public:
    // Runs `argv` in `dir` with `env` ("NAME=value") added to this process's environment; standard
    // output and error go to `outputPath`.
    ChildProcess(const std::vector<std::string>& argv, const std::string& dir, const std::vector<std::string>& env,
                 const std::string& outputPath) {
        pid_ = fork();
        if (pid_ != 0) return;
        if (chdir(dir.c_str()) != 0) _exit(126);
        int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0) _exit(126);
        dup2(out, 1);
        dup2(out, 2);
        close(out);
        int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) dup2(devNull, 0);
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    ~ChildProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }

    // The exit status once the process has ended within `timeout` (128 + signal number when a
    // signal ended it), or nothing while it still runs.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        if (!status_) status_ = waitForExit(pid_, timeout);
        return status_;
    }
    bool running() { return !wait(std::chrono::milliseconds(0)); }
    void signal(int sig) {
        if (pid_ > 0 && !status_) ::kill(pid_, sig);
    }

    // True while the process holds `path` open (it holds its font open for its whole run).
    bool holdsOpen(const std::string& path) const {
        const std::string fdDir = "/proc/" + std::to_string(pid_) + "/fd";
        DIR* d = opendir(fdDir.c_str());
        if (!d) return false;
        bool found = false;
        while (dirent* e = readdir(d)) {
            char target[4096];
            const std::string link = fdDir + "/" + e->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path) found = true;
        }
        closedir(d);
        return found;
    }

    // User plus system CPU time consumed so far, in clock ticks (from /proc).
    long cpuTicks() const {
        const std::string path = "/proc/" + std::to_string(pid_) + "/stat";
        std::FILE* f = std::fopen(path.c_str(), "r");
        if (!f) return -1;
        char buf[2048];
        const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = '\0';
        // Fields after the command name, which is in parentheses and may hold blanks.
        const char* p = std::strrchr(buf, ')');
        if (!p) return -1;
        long utime = 0, stime = 0;
        if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime) != 2) return -1;
        return utime + stime;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace vchat::testing
