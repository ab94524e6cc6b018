// The one wait of the transport: readiness, time-out, and a stop signal that wins over both.
#include "mqtt/sockets.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace vchat {
namespace {

bool ready(int fd, WaitFor direction, int ms, const StopSignal* stop = nullptr) {
    return waitSocket(fd, direction, deadlineIn(ms), stop) == WaitResult::Ready;
}

TEST(WaitSocket, ReportsReadinessAndTimeout) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    EXPECT_EQ(waitSocket(fds[0], WaitFor::Read, deadlineIn(50), nullptr), WaitResult::TimedOut);
    EXPECT_TRUE(ready(fds[0], WaitFor::Write, 50));
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_TRUE(ready(fds[0], WaitFor::Read, 1000));
    close(fds[0]);
    close(fds[1]);
    // A descriptor far above FD_SETSIZE is fine for poll.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 2048 && limit.rlim_max >= 2048) {
        limit.rlim_cur = 2048;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    int high = dup2(1, 2000);
    if (high == 2000) {
        EXPECT_TRUE(ready(high, WaitFor::Write, 50));
        close(high);
    }
}

TEST(WaitSocket, StopFromAnotherThreadEndsALongWaitAndWinsOverReadiness) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    StopSignal stop;
    const auto t0 = SteadyClock::now();
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop.raise();
    });
    EXPECT_EQ(waitSocket(fds[0], WaitFor::Read, deadlineIn(10000), &stop), WaitResult::Stopped);
    raiser.join();
    EXPECT_LT(SteadyClock::now() - t0, std::chrono::seconds(1));
    // Still raised: a writable socket does not hide it.
    EXPECT_EQ(waitSocket(fds[0], WaitFor::Write, deadlineIn(1000), &stop), WaitResult::Stopped);
    stop.reset();
    EXPECT_TRUE(ready(fds[0], WaitFor::Write, 50, &stop));
    close(fds[0]);
    close(fds[1]);
}

// A wake signal ends a wait as a stop does, but gives way to a raised stop and to a socket that is
// ready: a reader woken while bytes keep coming still reads them.
TEST(WaitSocket, WakeEndsAWaitButGivesWayToStopAndReadiness) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    StopSignal stop;
    StopSignal wake;
    const auto t0 = SteadyClock::now();
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        wake.raise();
    });
    EXPECT_EQ(waitSocket(fds[0], WaitFor::Read, deadlineIn(10000), &stop, &wake), WaitResult::Woken);
    raiser.join();
    EXPECT_LT(SteadyClock::now() - t0, std::chrono::seconds(1));
    EXPECT_EQ(waitSocket(fds[0], WaitFor::Read, deadlineIn(1000), &stop, &wake), WaitResult::Woken);
    EXPECT_EQ(waitSocket(fds[0], WaitFor::Write, deadlineIn(1000), &stop, &wake), WaitResult::Ready);
    stop.raise();
    EXPECT_EQ(waitSocket(fds[0], WaitFor::Write, deadlineIn(1000), &stop, &wake), WaitResult::Stopped);
    stop.reset();
    wake.reset();
    EXPECT_EQ(waitSocket(fds[0], WaitFor::Read, deadlineIn(50), &stop, &wake), WaitResult::TimedOut);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
}  // namespace vchat
