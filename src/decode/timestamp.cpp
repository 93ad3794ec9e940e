// Timestamp mode parsing and the frame-timestamp to row-time mapping.
#include "decode/timestamp.hpp"

#include <time.h>

#include <cmath>
#include <string>

#include "common/log.hpp"
#include "decode/signal.hpp"

namespace orvik {

namespace {

constexpr std::string_view kTarget = "orvik_can_decode::timestamp";

// A frame timestamp this close to the wall clock is taken to be a wall-clock time.
constexpr double kAbsoluteWindowS = 15.0;

// ASCII lower-casing of pure-ASCII text; nullopt for anything else. This equals full Unicode
// lower-casing as far as matching the mode names goes: the only non-ASCII code points whose
// lower case contains ASCII are U+212A KELVIN SIGN ("k", and no name has a k) and U+0130
// ("i" followed by U+0307, which is not ASCII), so non-ASCII text can never match.
std::optional<std::string> ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) return std::nullopt;
    if (u >= 'A' && u <= 'Z') c = static_cast<char>(u - 'A' + 'a');
  }
  return out;
}

// A time since the epoch as whole seconds and the nanoseconds past them, both of the time's sign.
struct SplitTime {
  std::int64_t secs;
  std::int64_t sub_ns;
};

SplitTime split(std::chrono::system_clock::time_point now) {
  const auto since = now.time_since_epoch();
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since);
  const auto sub_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since - secs);
  return {secs.count(), sub_ns.count()};
}

bool before_epoch(std::int64_t secs, std::int64_t sub_ns) { return secs < 0 || sub_ns < 0; }

// Nanoseconds since the epoch; 0 for a time before it.
std::int64_t epoch_ns(std::int64_t secs, std::int64_t sub_ns) {
  if (before_epoch(secs, sub_ns)) return 0;
  return secs * 1'000'000'000 + sub_ns;
}

}  // namespace

TimestampMode parse_timestamp_mode(std::string_view text) {
  if (const auto lower = ascii_lower(text)) {
    if (*lower == "ignore") return TimestampMode::Ignore;
    if (*lower == "absolute" || *lower == "hardware") return TimestampMode::Absolute;
    if (*lower == "auto" || *lower == "system") return TimestampMode::Auto;
  }
  log::event(log::Level::Warn, kTarget, "Unknown timestamp mode '{}', defaulting to Auto", text);
  return TimestampMode::Auto;
}

std::int64_t wall_clock_ns(std::chrono::system_clock::time_point now) {
  const SplitTime t = split(now);
  return epoch_ns(t.secs, t.sub_ns);
}

// The clock that system_clock::now() reads, asked directly: now() is the same call through one
// more library, and this runs once per frame.
std::int64_t wall_clock_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return epoch_ns(now.tv_sec, now.tv_nsec);
}

double wall_clock_s(std::chrono::system_clock::time_point now) {
  const SplitTime t = split(now);
  if (before_epoch(t.secs, t.sub_ns)) return 0.0;
  return static_cast<double>(t.secs) + static_cast<double>(t.sub_ns) / 1e9;
}

double wall_clock_s() { return wall_clock_s(std::chrono::system_clock::now()); }

std::int64_t seconds_to_ns(double seconds) {
  return decode::truncate_saturate<std::int64_t>(seconds * 1e9);
}

std::optional<std::int64_t> TimestampMapper::observe(std::optional<double> timestamp,
                                                     double (*now_s)()) {
  // A NaN timestamp carries no time; treating it as one would give row time 0, or in Auto mode
  // fix a NaN offset that zeroes every later row time.
  if (mode == TimestampMode::Ignore || !timestamp || std::isnan(*timestamp)) return std::nullopt;
  const double ts = *timestamp;
  if (mode == TimestampMode::Absolute) return seconds_to_ns(ts);
  if (!detected) {
    // An infinite first timestamp would fix an infinite offset; wait for a finite one.
    if (std::isinf(ts)) return std::nullopt;
    const double now = now_s();
    detected = 1;
    if (std::fabs(now - ts) < kAbsoluteWindowS) {
      offset_s = 0.0;
      log::event(log::Level::Info, kTarget,
                 "Detected absolute timestamps (first={:.3f}s). Using as-is.", ts);
    } else {
      offset_s = now - ts;
      log::event(log::Level::Info, kTarget,
                 "Detected monotonic timestamps (first={:.3f}s, offset={:.3f}s). Mapping to "
                 "wall-clock.",
                 ts, offset_s);
    }
  }
  return seconds_to_ns(ts + offset_s);
}

}  // namespace orvik
