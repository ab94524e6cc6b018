#include "tests/support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "tests/support/test_support.h"

namespace vchat::testing {

bool Child::start(const Launch& launch) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string& x : launch.env) replaced = replaced || x.substr(0, x.find('=') + 1) == entry.substr(0, entry.find('=') + 1);
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), launch.env.begin(), launch.env.end());
    std::vector<char*> args;
    std::vector<char*> envp;
    for (const std::string& a : launch.argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    const std::string out = launch.output.empty() ? "/dev/null" : launch.output;
    status_.reset();
    pid_ = fork();
    if (pid_ != 0) return pid_ > 0;
    if (!launch.dir.empty() && chdir(launch.dir.c_str()) != 0) _exit(126);
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = open("/dev/null", O_RDONLY);
    if (fd < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    for (int i = 3; i < 1024; ++i) {
        if (i != launch.keepFd) close(i);
    }
    setpgid(0, 0);   // a terminal's Ctrl+C on the test must not reach the children directly
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0 && !status_) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r != 0 || std::chrono::steady_clock::now() >= end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

void Child::signal(int sig) {
    if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

std::optional<int> Child::stop(int sig, std::chrono::milliseconds grace) {
    signal(sig);
    if (!wait(grace)) signal(SIGKILL);
    return wait(std::chrono::seconds(10));
}

bool Child::holdsOpen(const std::string& path) const {
    const std::string fdDir = "/proc/" + std::to_string(pid_) + "/fd";
    DIR* d = opendir(fdDir.c_str());
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        char target[4096];
        const ssize_t n = readlink((fdDir + "/" + e->d_name).c_str(), target, sizeof target);
        found = found || (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path);
    }
    closedir(d);
    return found;
}

double Child::cpuSeconds() const { return cpuSecondsFromStat("/proc/" + std::to_string(pid_) + "/stat"); }

double cpuSecondsFromStat(const std::string& statPath) {
    const std::string stat = readFile(statPath);
    // The fields after the command name, which is in parentheses and may hold blanks.
    const std::size_t close = stat.rfind(')');
    long utime = 0, stime = 0;
    if (close == std::string::npos ||
        std::sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime,
                    &stime) != 2) {
        return -1;
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int runProgram(const Launch& launch, std::string* output, std::chrono::milliseconds timeout) {
    TempDir dir;
    Launch l = launch;
    l.output = dir.file("out");
    Child child;
    if (!child.start(l)) return -1;
    const std::optional<int> status = child.wait(timeout);
    child.stop(SIGKILL);
    if (output) *output = readFile(l.output);
    return status ? *status : -1;
}

int runCommand(const std::string& command, std::string* output) {
    return runProgram({{"/bin/sh", "-c", command}}, output);
}

bool onPath(const std::string& program) { return runCommand("command -v " + program) == 0; }

}  // namespace vchat::testing
