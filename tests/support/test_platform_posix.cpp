#include "tests/support/test_platform.h"

#include <stdlib.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>

namespace vchat::testing {

std::string makeTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vchat-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void setEnvVar(const char* name, const char* value) {
    setenv(name, value, 1);
}

void useUtcAsLocalTime() {
    setenv("TZ", "UTC", 1);
    tzset();
}

}  // namespace vchat::testing
