// Float seconds to Duration: exact rounding, ties to even, refusals; deadlines that overflow.
#include "runtime/duration.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orvik::runtime {
namespace {

TEST(Duration, ConvertsFloatSecondsRoundingToTheNearestNanosecond) {
  struct Case {
    double seconds;
    std::uint64_t secs;
    std::uint32_t nanos;
  };
  const Case cases[] = {
      {0.0, 0, 0},
      {-0.0, 0, 0},
      {1e-20, 0, 0},
      {std::numeric_limits<double>::denorm_min(), 0, 0},
      {4.2e-7, 0, 420},
      {0.999e-9, 0, 1},
      {0.1, 0, 100000000},
      {2.7, 2, 700000000},
      {0.05, 0, 50000000},
      {1.0 / 1024, 0, 976562},       // 976562.5 exactly: tie to even, down
      {3.0 / 1024, 0, 2929688},      // 2929687.5 exactly: tie to even, up
      {0.9999999999999999, 1, 0},    // rounds up into the next second
      {3e10, 30000000000, 0},
      {18446744073709549568.0, 18446744073709549568ull, 0},  // largest double below 2^64
  };
  for (const auto& c : cases) {
    auto d = Duration::from_secs_f64(c.seconds);
    ASSERT_TRUE(d) << c.seconds;
    EXPECT_EQ(d->secs, c.secs) << c.seconds;
    EXPECT_EQ(d->nanos, c.nanos) << c.seconds;
  }
  EXPECT_TRUE(Duration::from_secs_f64(1e-10)->is_zero());
}

TEST(Duration, RefusesNegativeNanInfiniteAndTooBig) {
  const std::string negative = "cannot convert float seconds to Duration: value is negative";
  const std::string too_big = "cannot convert float seconds to Duration: value is either too big or NaN";
  const std::pair<double, const std::string*> cases[] = {
      {-1.0, &negative},
      {-1e-300, &negative},
      {-std::numeric_limits<double>::infinity(), &negative},
      {std::nan(""), &too_big},
      {std::numeric_limits<double>::infinity(), &too_big},
      {18446744073709551616.0, &too_big},
      {1e30, &too_big},
  };
  for (auto [seconds, text] : cases) {
    auto d = Duration::from_secs_f64(seconds);
    ASSERT_FALSE(d) << seconds;
    EXPECT_EQ(d.error().message(), *text) << seconds;
  }
}

TEST(Duration, DeadlinePastTheClockRangeBecomesThirtyYearsAhead) {
  const auto now = std::chrono::steady_clock::now();
  EXPECT_EQ(deadline_after(Duration{1, 500}, now), now + std::chrono::seconds(1) + std::chrono::nanoseconds(500));
  EXPECT_EQ(deadline_after(Duration{}, now), now);
  EXPECT_EQ(deadline_after(Duration{std::numeric_limits<std::uint64_t>::max(), 999999999}, now),
            now + kFarDeadline);
  EXPECT_EQ(deadline_after(Duration{9300000000ull, 0}, now), now + kFarDeadline);
}

TEST(Duration, SaturatingNanos) {
  EXPECT_EQ(Duration({2, 5}).saturating_nanos(), std::chrono::nanoseconds(2000000005));
  EXPECT_EQ(Duration({std::numeric_limits<std::uint64_t>::max(), 0}).saturating_nanos(),
            std::chrono::nanoseconds::max());
}

}  // namespace
}  // namespace orvik::runtime
