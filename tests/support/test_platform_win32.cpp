#include "tests/support/test_platform.h"

#include <windows.h>

#include <cstdlib>
#include <ctime>

namespace vchat::testing {

void setEnvVar(const char* name, const char* value) {
    _putenv_s(name, value);
}

void useUtcAsLocalTime() {
    // The C runtime reads TZ as "name, hours west of UTC": "UTC0".
    _putenv_s("TZ", "UTC0");
    _tzset();
}

double threadCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    const auto ticks = [](const FILETIME& f) {   // 100 ns each
        return static_cast<double>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e4;
}

}  // namespace vchat::testing
