// Interval grid rules on an injected clock: on-time ticks, the 5 ms window, stalls, short periods.
#include "runtime/interval.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace orvik::runtime {
namespace {

using namespace std::chrono_literals;
using TP = IntervalSchedule::time_point;

const TP t0 = TP(1000s);

// Takes every tick due at `now`, as a task would on waking then; returns their due times.
std::vector<TP> drain(IntervalSchedule& s, TP now) {
  std::vector<TP> out;
  while (now >= s.due()) out.push_back(s.take(now));
  return out;
}

TEST(IntervalSchedule, FirstTickAtOnceThenOnePerPeriod) {
  IntervalSchedule s(t0, 100ms);
  EXPECT_EQ(drain(s, t0), std::vector<TP>{t0});
  EXPECT_EQ(s.due(), t0 + 100ms);
  EXPECT_TRUE(drain(s, t0 + 99ms).empty());
  EXPECT_EQ(drain(s, t0 + 103ms), std::vector<TP>{t0 + 100ms});  // late within the window
  EXPECT_EQ(s.due(), t0 + 200ms);                                  // grid kept
}

TEST(IntervalSchedule, TheOnTimeWindowEndsAtFiveMilliseconds) {
  IntervalSchedule on_edge(t0, 100ms);
  on_edge.take(t0 + 5ms);
  EXPECT_EQ(on_edge.due(), t0 + 100ms);
  IntervalSchedule past_edge(t0, 100ms);
  past_edge.take(t0 + 5ms + 1ns);
  EXPECT_EQ(past_edge.due(), t0 + 100ms);  // next grid point after now
  IntervalSchedule far(t0, 100ms);
  far.take(t0 + 130ms);
  EXPECT_EQ(far.due(), t0 + 200ms);
}

TEST(IntervalSchedule, AStallGivesOneLateTickAndKeepsThePhase) {
  IntervalSchedule s(t0, 100ms);
  drain(s, t0);
  drain(s, t0 + 100ms);
  // Held up for about a second: one late tick now, the missed ones are skipped.
  EXPECT_EQ(drain(s, t0 + 1130ms), std::vector<TP>{t0 + 200ms});
  EXPECT_EQ(s.due(), t0 + 1200ms);
  EXPECT_EQ(drain(s, t0 + 1200ms), std::vector<TP>{t0 + 1200ms});
  // A stall ending exactly on a grid point still sends once, with the next tick one period on.
  drain(s, t0 + 1300ms);
  EXPECT_EQ(drain(s, t0 + 2000ms).size(), 1u);
  EXPECT_EQ(s.due(), t0 + 2100ms);
}

TEST(IntervalSchedule, ShortPeriodsCatchUpOnlyWithinTheWindow) {
  IntervalSchedule s(t0, 1ms);
  drain(s, t0);
  // 4 ms late: the ticks of 1..4 ms are all within the window and go out in a burst.
  EXPECT_EQ(drain(s, t0 + 4ms).size(), 4u);
  EXPECT_EQ(s.due(), t0 + 5ms);
  // 20 ms late: one tick, then the grid point after now.
  EXPECT_EQ(drain(s, t0 + 25ms).size(), 1u);
  EXPECT_EQ(s.due(), t0 + 26ms);
  // A period below the window: a burst covers the ticks due up to 5 ms back, no more.
  IntervalSchedule fine(t0, 2ms);
  drain(fine, t0);
  EXPECT_EQ(drain(fine, t0 + 5ms).size(), 2u);  // due at 2 and 4 ms
  EXPECT_EQ(fine.due(), t0 + 6ms);
}

TEST(IntervalSchedule, HugePeriodsAreCapped) {
  IntervalSchedule s(t0, std::chrono::nanoseconds::max());
  EXPECT_EQ(s.period(), IntervalSchedule::kMaxPeriod);
  drain(s, t0);
  EXPECT_EQ(s.due(), t0 + IntervalSchedule::kMaxPeriod);
}

}  // namespace
}  // namespace orvik::runtime
