// The few calls the tests make that differ between POSIX and Windows, one source file per platform.
#pragma once

#include <string>

namespace vchat::testing {

// Creates a new, empty directory under the system's temporary folder ($TMPDIR or /tmp on POSIX)
// and returns its path; throws std::runtime_error when it cannot.
std::string makeTempDir();

// Sets an environment variable of this process, replacing any value.
void setEnvVar(const char* name, const char* value);

// Makes this process's local time UTC, so that stamps and file names of a fixed instant are known.
void useUtcAsLocalTime();

}  // namespace vchat::testing
