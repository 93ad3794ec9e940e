// Durations of whole seconds and nanoseconds, converted exactly from float seconds, and deadlines.
#pragma once

#include "common/error.hpp"

#include <chrono>
#include <cstdint>

namespace orvik::runtime {

struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;  // below 1'000'000'000

  bool is_zero() const { return secs == 0 && nanos == 0; }
  friend bool operator==(const Duration&, const Duration&) = default;

  // Rounds the exact binary value to the nearest nanosecond, a tie going to the even count.
  // -0.0 is zero; anything below zero, NaN, an infinity, or 2^64 seconds or more is refused.
  static Result<Duration> from_secs_f64(double seconds);

  // The longest span a steady-clock duration can hold, for the few callers that need one.
  std::chrono::nanoseconds saturating_nanos() const;
};

// How far ahead a deadline goes when now + duration cannot be represented (about 30 years).
inline constexpr std::chrono::seconds kFarDeadline{946080000};

// now + d, or now + kFarDeadline when that sum does not fit the clock.
std::chrono::steady_clock::time_point deadline_after(
    Duration d, std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

}  // namespace orvik::runtime
