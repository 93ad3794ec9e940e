// The decoder state of a CanDecoder: its core behind a mutex with a failed ("poisoned") mark,
// shared by the Python object and every Notifier listener made from it.
//
// The mark is set when a C++ exception (an internal fault) leaves a scope that holds the mutex,
// so a core that a fault may have left half-updated is never decoded with again. It is never
// cleared. Lock holders see it and decide: decodes refuse, flush ignores it, a Notifier listener
// skips the frame. No Python here: the listener uses it on runtime worker threads.
#pragma once

#include <exception>
#include <memory>
#include <mutex>

#include "decode/core.hpp"
#include "decode/frame.hpp"
#include "decode/metrics.hpp"

namespace orvik {

class DecoderState {
 public:
  explicit DecoderState(DecoderCore core) : core_(std::move(core)) {}
  DecoderState(const DecoderState&) = delete;
  DecoderState& operator=(const DecoderState&) = delete;

  // Holds the mutex; sets the mark if an exception unwinds through it.
  class Lock {
   public:
    explicit Lock(DecoderState& state)
        : state_(&state), lock_(state.mutex_), exceptions_(std::uncaught_exceptions()) {}
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock() {
      if (std::uncaught_exceptions() > exceptions_) state_->poisoned_ = true;
    }

    bool poisoned() const { return state_->poisoned_; }
    // The core, whether or not the mark is set: checking it is the caller's part.
    DecoderCore& core() const { return state_->core_; }

   private:
    DecoderState* state_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
  };

  enum class Step { done, poisoned };

  // Waits for the mutex.
  Lock lock() { return Lock(*this); }

  // Runs the per-frame step under the mutex, unless the mark is set. An exception from the step
  // sets the mark and propagates.
  Step process(const CanFrame& frame);

  // Waits until no step is running; ignores the mark.
  void wait_idle();

  // True when some thread holds the mutex now. Never waits.
  bool is_held() {
    const std::unique_lock<std::mutex> attempt(mutex_, std::try_to_lock);
    return !attempt.owns_lock();
  }

  // The core's counters; reading them needs no lock.
  const SharedCounters& counters() const { return counters_; }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  DecoderCore core_;       // guarded by mutex_
  const SharedCounters counters_ = core_.metrics;
};

using SharedDecoder = std::shared_ptr<DecoderState>;

}  // namespace orvik
