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

}  // namespace vchat::testing
