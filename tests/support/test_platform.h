// The few calls the tests make that differ between POSIX and Windows, one source file per platform.
#pragma once

namespace vchat::testing {

// Sets an environment variable of this process, replacing any value.
void setEnvVar(const char* name, const char* value);

// Makes this process's local time UTC, so that stamps and file names of a fixed instant are known.
void useUtcAsLocalTime();

// CPU time the calling thread has used, in milliseconds: work measured apart from what other
// programs on a loaded machine take from it.
double threadCpuMs();

}  // namespace vchat::testing
