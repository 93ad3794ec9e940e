// Cancel-once stop signal shared by a handle and the background loops it stops.
#pragma once

#include "runtime/select.hpp"
#include "runtime/waker.hpp"

#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

namespace orvik::runtime {

// Copies are clones: they share one state, and cancelling any of them cancels all.
class CancellationToken {
 public:
  // What the token yields as a WaitSource.
  struct Cancelled {};
  using value_type = Cancelled;

  CancellationToken() : state_(std::make_shared<State>()) {}
  // No moves: a moved-from token would have no state, so a move copies.
  CancellationToken(const CancellationToken&) = default;
  CancellationToken& operator=(const CancellationToken&) = default;

  void cancel() const {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled.exchange(true, std::memory_order_release)) return;
    state_->waiters.wake_all();
  }
  bool is_cancelled() const { return state_->cancelled.load(std::memory_order_acquire); }

  // Stays ready once cancelled: every select that includes the token sees it.
  std::optional<Cancelled> try_take() const {
    if (is_cancelled()) return Cancelled{};
    return std::nullopt;
  }
  void add_waker(Waker& waker) const {
    std::lock_guard lock(state_->mutex);
    state_->waiters.add(waker);
  }
  void remove_waker(Waker& waker) const {
    std::lock_guard lock(state_->mutex);
    state_->waiters.remove(waker);
  }

  // Completes once the token is cancelled.
  boost::asio::awaitable<void> cancelled() const {
    Selector selector;
    co_await selector.select(*this);
  }

 private:
  struct State {
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    WaitList waiters;
  };
  std::shared_ptr<State> state_;
};

}  // namespace orvik::runtime
