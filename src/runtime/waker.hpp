// Wake-up plumbing for wait sources: the waker interface, waiter lists, thread/coroutine wakers.
#pragma once

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace orvik::runtime {

using Clock = std::chrono::steady_clock;

// Something waiting for a source to become ready. wake() may be called any number of times, from
// any thread, usually while the source holds its own lock: it must not block or re-enter a source.
class Waker {
 public:
  virtual void wake() noexcept = 0;

 protected:
  ~Waker() = default;
};

// The wakers registered with one source. The source guards it with its own mutex and wakes under
// that mutex, so once remove() has returned the waker is never touched again.
class WaitList {
 public:
  void add(Waker& waker) { wakers_.push_back(&waker); }
  void remove(Waker& waker) {
    auto it = std::find(wakers_.begin(), wakers_.end(), &waker);
    if (it != wakers_.end()) wakers_.erase(it);
  }
  bool empty() const { return wakers_.empty(); }
  void wake_all() noexcept {
    for (Waker* w : wakers_) w->wake();
  }

 private:
  std::vector<Waker*> wakers_;
};

// Blocks a plain thread (a Python caller with the interpreter lock released) until woken.
class ThreadWaker final : public Waker {
 public:
  void wake() noexcept override {
    std::lock_guard lock(mutex_);
    notified_ = true;
    cv_.notify_one();
  }
  void reset() {
    std::lock_guard lock(mutex_);
    notified_ = false;
  }
  // False when the deadline passed first.
  bool wait(std::optional<Clock::time_point> deadline) {
    std::unique_lock lock(mutex_);
    if (!deadline) {
      cv_.wait(lock, [&] { return notified_; });
      return true;
    }
    return cv_.wait_until(lock, *deadline, [&] { return notified_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool notified_ = false;
};

// Suspends one coroutine until woken. The resumption is posted to the coroutine's executor, never
// run inline, because wake() runs under a source's lock on the waking thread.
class AsyncWaker final : public Waker {
 public:
  // Only between waits: no registration may be live. Relaxed: no wake() can run now, and the
  // registration that follows hands the state to the sources under their locks.
  void reset() noexcept { state_.store(kIdle, std::memory_order_relaxed); }

  // The exchange lets exactly one wake() find kArmed and resume; the rest find kNotified.
  // Acquire: that one sees the `resume_` that wait() stored before arming. Release: a wait()
  // that finds kNotified sees what the waking thread did before waking.
  void wake() noexcept override {
    if (state_.exchange(kNotified, std::memory_order_acq_rel) == kArmed) {
      auto resume = std::move(resume_);
      resume();
    }
  }

  // Completes at once when wake() came before the suspension.
  boost::asio::awaitable<void> wait() {
    auto executor = co_await boost::asio::this_coro::executor;
    co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&, void()>(
        [this, executor](auto handler) {
          resume_ = [h = std::move(handler), executor]() mutable {
            boost::asio::post(executor, std::move(h));
          };
          // Release: publishes `resume_` to the wake() that finds kArmed. Acquire (on failure):
          // a wake() that came first is seen, and the wait completes at once.
          std::uint8_t expected = kIdle;
          if (!state_.compare_exchange_strong(expected, kArmed, std::memory_order_acq_rel)) {
            auto resume = std::move(resume_);
            resume();
          }
        },
        boost::asio::use_awaitable);
  }

 private:
  static constexpr std::uint8_t kIdle = 0;
  static constexpr std::uint8_t kArmed = 1;
  static constexpr std::uint8_t kNotified = 2;

  std::atomic<std::uint8_t> state_{kIdle};
  std::move_only_function<void()> resume_;
};

}  // namespace orvik::runtime
