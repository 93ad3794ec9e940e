// Timestamp modes: parsing the user's mode text, and mapping frame timestamps to row times.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orvik {

enum class TimestampMode : std::uint8_t { Ignore = 0, Absolute = 1, Auto = 2 };

// "ignore", "absolute"/"hardware", "auto"/"system", in any letter case; anything else is Auto,
// with a warning naming the text as given.
TimestampMode parse_timestamp_mode(std::string_view text);

// Nanoseconds since the Unix epoch; 0 for a clock set before it.
std::int64_t wall_clock_ns(std::chrono::system_clock::time_point now);
std::int64_t wall_clock_ns();
// Seconds since the Unix epoch as a double; 0.0 for a clock set before it.
double wall_clock_s(std::chrono::system_clock::time_point now);
double wall_clock_s();

// Seconds to nanoseconds: truncated toward zero, saturated, NaN gives 0.
std::int64_t seconds_to_ns(double seconds);

// Turns frame timestamps into row times. In Auto mode the first usable timestamp decides, once,
// whether timestamps are wall-clock times or need a fixed offset onto the wall clock.
struct TimestampMapper {
  std::uint64_t detected = 0;  // Auto mode: 1 once the offset is fixed
  double offset_s = 0.0;
  TimestampMode mode = TimestampMode::Auto;

  explicit TimestampMapper(TimestampMode m) : mode(m) {}

  // The row time in nanoseconds, or nullopt when the caller should use the wall clock.
  // A NaN timestamp counts as no timestamp; an infinite one cannot fix the Auto offset.
  // `now_s` is read only when Auto mode detects; tests pass a fixed clock.
  std::optional<std::int64_t> observe(std::optional<double> timestamp,
                                      double (*now_s)() = &wall_clock_s);
};

}  // namespace orvik
