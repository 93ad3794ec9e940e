// Fixed-period ticks that skip the ticks they missed: the grid rule, and a timer source over it.
#pragma once

#include "runtime/waker.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

namespace orvik::runtime {

// When each tick is due. The grid is start + k * period and never shifts:
// - a tick taken at most kOnTimeWindow late is on time, and the next is due one period after it,
//   so short periods catch up in a burst no longer than that window;
// - a later tick fires once, and the next is due at the first grid point after the time it was
//   taken, so a stall yields one late tick, never a burst.
class IntervalSchedule {
 public:
  using duration = std::chrono::nanoseconds;
  using time_point = Clock::time_point;
  static constexpr duration kOnTimeWindow = std::chrono::milliseconds(5);
  // Longer periods are treated as this long (about 146 years): no further tick ever falls due.
  static constexpr duration kMaxPeriod = duration(std::int64_t{1} << 62);

  // The first tick is due at `start`. `period` must be above zero.
  IntervalSchedule(time_point start, duration period)
      : due_(start), period_(period > kMaxPeriod ? kMaxPeriod : period) {}

  time_point due() const { return due_; }
  duration period() const { return period_; }

  // Takes the tick that is due, at `now` (not before due()), and returns its due time.
  time_point take(time_point now) {
    const time_point taken = due_;
    if (now > due_ + kOnTimeWindow) {
      const duration late = now - due_;
      due_ = now + period_ - (late % period_);
    } else {
      due_ += period_;
    }
    return taken;
  }

 private:
  time_point due_;
  duration period_;
};

// An IntervalSchedule on the steady clock as a WaitSource; it yields the due time of each tick.
// It belongs to one task: all calls come from that task's coroutine.
class IntervalTimer {
 public:
  using value_type = Clock::time_point;

  IntervalTimer(const boost::asio::any_io_executor& executor, IntervalSchedule::duration period)
      : schedule_(Clock::now(), period), timer_(executor), target_(std::make_shared<Target>()) {}
  ~IntervalTimer() { target_->set(nullptr); }
  IntervalTimer(const IntervalTimer&) = delete;
  IntervalTimer& operator=(const IntervalTimer&) = delete;

  std::optional<Clock::time_point> try_take() {
    const auto now = Clock::now();
    if (now < schedule_.due()) return std::nullopt;
    return schedule_.take(now);
  }

  void add_waker(Waker& waker) {
    target_->set(&waker);
    timer_.expires_at(schedule_.due());
    // A completion may still run after remove_waker(); it finds the target cleared.
    timer_.async_wait([target = target_](const boost::system::error_code& ec) {
      if (!ec) target->wake();
    });
  }
  void remove_waker(Waker&) {
    target_->set(nullptr);
    timer_.cancel();
  }

 private:
  struct Target {
    std::mutex mutex;
    Waker* waker = nullptr;
    void set(Waker* w) {
      std::lock_guard lock(mutex);
      waker = w;
    }
    void wake() {
      std::lock_guard lock(mutex);
      if (waker) waker->wake();
    }
  };

  IntervalSchedule schedule_;
  boost::asio::steady_timer timer_;
  std::shared_ptr<Target> target_;
};

}  // namespace orvik::runtime
