#include "tools/record/backoff.h"

#include <algorithm>
#include <cmath>

namespace vchat::record {

std::int64_t ReconnectBackoff::nextDelayMs() {
    std::uniform_real_distribution<double> factor(1.0 - kRetryJitter, 1.0 + kRetryJitter);
    const std::int64_t delay = std::llround(static_cast<double>(baseMs_) * factor(rng_));
    baseMs_ = std::min(baseMs_ * 2, kLongestRetryMs);
    return delay;
}

void ReconnectBackoff::connectedFor(std::int64_t ms) {
    if (ms >= kStableConnectionMs) baseMs_ = kFirstRetryMs;
}

}  // namespace vchat::record
