#include "tests/support/test_platform.h"

#include <stdlib.h>

#include <ctime>

namespace vchat::testing {

void setEnvVar(const char* name, const char* value) {
    setenv(name, value, 1);
}

void useUtcAsLocalTime() {
    setenv("TZ", "UTC", 1);
    tzset();
}

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace vchat::testing
