#include "log/platform_time.h"

namespace vchat {

bool toLocalTime(std::time_t when, std::tm& out) {
    return localtime_r(&when, &out) != nullptr;
}

}  // namespace vchat
