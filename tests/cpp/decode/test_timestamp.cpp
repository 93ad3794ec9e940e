// Timestamp mode parsing and the row-time mapping, with a fixed clock.
#include "decode/timestamp.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/log.hpp"

namespace orvik {
namespace {

TEST(TimestampModeParse, NamesInAnyCase) {
  log::ScopedCapture capture;
  const std::vector<std::pair<std::string, TimestampMode>> known = {
      {"ignore", TimestampMode::Ignore},     {"IGNORE", TimestampMode::Ignore},
      {"absolute", TimestampMode::Absolute}, {"Hardware", TimestampMode::Absolute},
      {"HARDWARE", TimestampMode::Absolute}, {"auto", TimestampMode::Auto},
      {"AUTO", TimestampMode::Auto},         {"sYsTeM", TimestampMode::Auto},
  };
  for (const auto& [text, mode] : known) EXPECT_EQ(parse_timestamp_mode(text), mode) << text;
  EXPECT_TRUE(capture->events().empty());
}

TEST(TimestampModeParse, UnknownTextWarnsWithTheTextAsGiven) {
  // Full lower-casing maps U+0130 to "i" + U+0307 and U+212A (Kelvin) to "k"; neither can make
  // a mode name, so these fall back just as full lower-casing would have them.
  const std::vector<std::string> unknown = {
      " auto", "monotonic", "", "auto ", "\xC4\xB0gnore" /* İgnore */,
      "\xE2\x84\xAA" "auto" /* Kelvin sign + auto */, "ignor\xC3\xA9", "IGNORE\n",
  };
  for (const auto& text : unknown) {
    log::ScopedCapture capture;
    EXPECT_EQ(parse_timestamp_mode(text), TimestampMode::Auto) << text;
    const auto events = capture->events();
    ASSERT_EQ(events.size(), 1u) << text;
    EXPECT_EQ(events[0].message, "Unknown timestamp mode '" + text + "', defaulting to Auto");
    EXPECT_EQ(events[0].target, "orvik_can_decode::timestamp");
    EXPECT_EQ(events[0].level, log::Level::Warn);
  }
}

double fixed_now() { return 1'700'000'000.0; }
double fail_now() {
  ADD_FAILURE() << "the clock was read";
  return 0.0;
}

TEST(TimestampMapper, IgnoreAndAbsolute) {
  TimestampMapper ignore(TimestampMode::Ignore);
  EXPECT_EQ(ignore.observe(1.5, &fail_now), std::nullopt);
  EXPECT_EQ(ignore.observe(std::nullopt, &fail_now), std::nullopt);
  EXPECT_EQ(ignore.detected, 0u);

  TimestampMapper absolute(TimestampMode::Absolute);
  EXPECT_EQ(absolute.observe(1.5, &fail_now), 1'500'000'000);
  EXPECT_EQ(absolute.observe(-2.0, &fail_now), -2'000'000'000);
  EXPECT_EQ(absolute.observe(-1.9999999999, &fail_now), -1'999'999'999);  // toward zero
  EXPECT_EQ(absolute.observe(1e300, &fail_now), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(absolute.observe(-INFINITY, &fail_now), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(absolute.observe(std::nullopt, &fail_now), std::nullopt);
  EXPECT_EQ(absolute.observe(NAN, &fail_now), std::nullopt) << "NaN carries no time";
  EXPECT_EQ(absolute.detected, 0u);
}

TEST(TimestampMapper, AutoNearTheClockUsesTimestampsAsTheyAre) {
  log::ScopedCapture capture;
  TimestampMapper m(TimestampMode::Auto);
  EXPECT_EQ(m.observe(std::nullopt, &fail_now), std::nullopt) << "no timestamp: not the first";
  EXPECT_EQ(m.detected, 0u);
  const double first = fixed_now() - 14.5;
  EXPECT_EQ(m.observe(first, &fixed_now), seconds_to_ns(first));
  EXPECT_EQ(m.detected, 1u);
  EXPECT_EQ(m.offset_s, 0.0);
  EXPECT_EQ(m.observe(5.0, &fail_now), 5'000'000'000) << "detection is never repeated";
  const auto events = capture->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "Detected absolute timestamps (first=1699999985.500s). Using as-is.");
  EXPECT_EQ(events[0].level, log::Level::Info);
  EXPECT_EQ(events[0].target, "orvik_can_decode::timestamp");
}

TEST(TimestampMapper, AutoFarFromTheClockShiftsByAFixedOffset) {
  log::ScopedCapture capture;
  TimestampMapper m(TimestampMode::Auto);
  const auto first = m.observe(12.25, &fixed_now);
  EXPECT_EQ(m.offset_s, fixed_now() - 12.25);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, seconds_to_ns(fixed_now()));
  const auto later = m.observe(13.25, &fail_now);
  ASSERT_TRUE(later);
  EXPECT_NEAR(static_cast<double>(*later - *first), 1e9, 1e3);
  EXPECT_EQ(capture->count("Detected monotonic timestamps (first=12.250s, offset=1699999987.750s). "
                           "Mapping to wall-clock."),
            1u);

  TimestampMapper exact(TimestampMode::Auto);
  exact.observe(fixed_now() - 15.0, &fixed_now);
  EXPECT_EQ(exact.offset_s, 15.0) << "exactly 15 s apart is a different clock";
}

TEST(TimestampMapper, NonFiniteTimestampsDoNotPoisonAuto) {
  TimestampMapper m(TimestampMode::Auto);
  EXPECT_EQ(m.observe(NAN, &fail_now), std::nullopt);
  EXPECT_EQ(m.observe(INFINITY, &fail_now), std::nullopt);
  EXPECT_EQ(m.detected, 0u);
  EXPECT_EQ(m.observe(12.25, &fixed_now), seconds_to_ns(fixed_now()));
  EXPECT_EQ(m.observe(NAN, &fail_now), std::nullopt);
  EXPECT_EQ(m.observe(13.25, &fail_now), seconds_to_ns(13.25 + m.offset_s));
  EXPECT_EQ(m.observe(INFINITY, &fail_now), std::numeric_limits<std::int64_t>::max());
  EXPECT_FALSE(std::isnan(m.offset_s));
}

TEST(WallClock, NanosecondsAndSecondsSinceTheEpoch) {
  using namespace std::chrono;
  const system_clock::time_point t{duration_cast<system_clock::duration>(
      seconds(1'700'000'000) + nanoseconds(123'456'789))};
  EXPECT_EQ(wall_clock_ns(t), 1'700'000'000'123'456'789);
  EXPECT_DOUBLE_EQ(wall_clock_s(t), 1'700'000'000.123456789);
  const system_clock::time_point before{duration_cast<system_clock::duration>(seconds(-5))};
  EXPECT_EQ(wall_clock_ns(before), 0);
  EXPECT_EQ(wall_clock_s(before), 0.0);
  EXPECT_GT(wall_clock_ns(), 1'600'000'000'000'000'000);
}

}  // namespace
}  // namespace orvik
