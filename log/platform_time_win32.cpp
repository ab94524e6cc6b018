#include "log/platform_time.h"

namespace vchat {

bool toLocalTime(std::time_t when, std::tm& out) {
    // Arguments the other way round, and an error number instead of a pointer.
    return localtime_s(&out, &when) == 0;
}

}  // namespace vchat
