#include "tests/support/test_platform.h"

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

}  // namespace vchat::testing
