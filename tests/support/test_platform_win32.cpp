#include "tests/support/test_platform.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <system_error>

namespace vchat::testing {

std::string makeTempDir() {
    // No mkdtemp here: create_directory fails on a name that exists, so a random name that it
    // creates is ours alone.
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device seed;
    std::mt19937_64 random(seed());
    const char* digits = "0123456789abcdef";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = "vchat-test-";
        for (int i = 0; i < 12; ++i) name += digits[random() % 16];
        std::error_code error;
        if (std::filesystem::create_directory(base / name, error)) return (base / name).generic_string();
    }
    throw std::runtime_error("cannot create a temporary directory");
}

void setEnvVar(const char* name, const char* value) {
    _putenv_s(name, value);
}

void useUtcAsLocalTime() {
    // The C runtime reads TZ as "name, hours west of UTC": "UTC0".
    _putenv_s("TZ", "UTC0");
    _tzset();
}

}  // namespace vchat::testing
