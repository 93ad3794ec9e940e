// Exact float-seconds conversion and deadline arithmetic.
#include "runtime/duration.hpp"

#include <bit>
#include <cmath>
#include <limits>

namespace orvik::runtime {

namespace {
constexpr std::uint64_t kNanosPerSec = 1'000'000'000;
using u128 = unsigned __int128;
}  // namespace

Result<Duration> Duration::from_secs_f64(double seconds) {
  if (seconds < 0.0) return fail("cannot convert float seconds to Duration: value is negative");
  if (!std::isfinite(seconds) || seconds >= 18446744073709551616.0)
    return fail("cannot convert float seconds to Duration: value is either too big or NaN");
  if (seconds == 0.0) return Duration{};

  // seconds = mantissa * 2^exponent exactly.
  const auto bits = std::bit_cast<std::uint64_t>(seconds);
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  int exponent;
  if (biased == 0) {
    exponent = -1074;  // subnormal
  } else {
    mantissa |= std::uint64_t{1} << 52;
    exponent = biased - 1075;
  }
  if (exponent >= 0) {  // a whole number of seconds below 2^64
    return Duration{mantissa << exponent, 0};
  }
  // Total nanoseconds = mantissa * 1e9 / 2^k, rounded half to even. The product is below 2^83.
  const int k = -exponent;
  const u128 product = u128{mantissa} * kNanosPerSec;
  u128 nanos;
  if (k > 100) {
    nanos = 0;  // below half a nanosecond
  } else {
    nanos = product >> k;
    const u128 rest = product & ((u128{1} << k) - 1);
    const u128 half = u128{1} << (k - 1);
    if (rest > half || (rest == half && (nanos & 1))) ++nanos;
  }
  return Duration{static_cast<std::uint64_t>(nanos / kNanosPerSec),
                  static_cast<std::uint32_t>(nanos % kNanosPerSec)};
}

std::chrono::nanoseconds Duration::saturating_nanos() const {
  constexpr auto max = std::numeric_limits<std::chrono::nanoseconds::rep>::max();
  if (secs > static_cast<std::uint64_t>(max) / kNanosPerSec - 1) {
    return std::chrono::nanoseconds(max);
  }
  return std::chrono::nanoseconds(static_cast<std::int64_t>(secs * kNanosPerSec + nanos));
}

std::chrono::steady_clock::time_point deadline_after(Duration d,
                                                     std::chrono::steady_clock::time_point now) {
  using Rep = std::chrono::steady_clock::duration::rep;
  const Rep since_epoch =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  const Rep room = std::numeric_limits<Rep>::max() - since_epoch;
  const std::uint64_t room_secs = static_cast<std::uint64_t>(room) / kNanosPerSec;
  if (d.secs >= room_secs) {
    // Might not fit: take the far deadline when the exact sum overflows.
    const u128 total = u128{d.secs} * kNanosPerSec + d.nanos;
    if (total > static_cast<u128>(room)) return now + kFarDeadline;
  }
  return now + std::chrono::nanoseconds(static_cast<Rep>(d.secs * kNanosPerSec + d.nanos));
}

}  // namespace orvik::runtime
