// When the recorder tries the broker again: 1 s after the first failure, doubling up to 60 s, each
// wait drawn within ±25 % of that so many recorders do not return in step, and back to 1 s once a
// connection has stayed up a minute. Pure; nothing here fails.
#pragma once

#include <cstdint>
#include <random>

namespace vchat::record {

inline constexpr std::int64_t kFirstRetryMs = 1000;
inline constexpr std::int64_t kLongestRetryMs = 60000;
inline constexpr double kRetryJitter = 0.25;
inline constexpr std::int64_t kStableConnectionMs = 60000;

class ReconnectBackoff {
public:
    explicit ReconnectBackoff(std::uint32_t seed) : rng_(seed) {}

    // The wait before the next try, in milliseconds; each call doubles the next one's middle.
    std::int64_t nextDelayMs();
    // A connection that was up `ms` milliseconds: a minute or more starts the schedule over.
    void connectedFor(std::int64_t ms);

private:
    std::int64_t baseMs_ = kFirstRetryMs;
    std::mt19937 rng_;
};

}  // namespace vchat::record
