// Fair selection over wait sources: a random first source at every wake-up, non-consuming waits.
#pragma once

#include "runtime/busy_workers.hpp"
#include "runtime/waker.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/defer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>
#include <variant>

namespace orvik::runtime {

// A wait source. try_take() never blocks: it returns the source's next outcome when one is ready
// and consumes it. add_waker()/remove_waker() register interest without consuming anything, so a
// source that loses a select keeps its item for the next one.
template <class S>
concept WaitSource = requires(S& s, Waker& w) {
  typename S::value_type;
  { s.try_take() } -> std::same_as<std::optional<typename S::value_type>>;
  s.add_waker(w);
  s.remove_waker(w);
};

// Uniform draw in [0, n) from a per-thread xorshift generator; fairness, not secrecy.
std::uint32_t random_below(std::uint32_t n);

template <class... S>
using SelectResult = std::variant<typename S::value_type...>;

namespace detail {

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

template <class R, std::size_t I, class Tuple>
bool try_source(Tuple& sources, std::optional<R>& out) {
  auto value = std::get<I>(sources).try_take();
  if (!value) return false;
  out.emplace(std::in_place_index<I>, std::move(*value));
  return true;
}

template <class R, class Tuple, std::size_t... I>
bool try_index(Tuple& sources, std::size_t index, std::optional<R>& out,
               std::index_sequence<I...>) {
  bool taken = false;
  (void)((index == I ? (taken = try_source<R, I>(sources, out), true) : false) || ...);
  return taken;
}

// Tries every source once, in cyclic order from a freshly drawn start.
template <class R, class... S>
std::optional<R> poll_once(S&... sources) {
  constexpr std::size_t n = sizeof...(S);
  auto tied = std::tie(sources...);
  std::optional<R> out;
  const std::size_t start = n == 1 ? 0 : random_below(static_cast<std::uint32_t>(n));
  for (std::size_t k = 0; k < n; ++k) {
    if (try_index<R>(tied, (start + k) % n, out, std::index_sequence_for<S...>{})) break;
  }
  return out;
}

// Keeps one waker registered with every source for its scope.
template <class... S>
class Registration {
 public:
  explicit Registration(Waker& waker, S&... sources) : waker_(waker), sources_(sources...) {
    std::apply([&](auto&... s) { (s.add_waker(waker_), ...); }, sources_);
  }
  ~Registration() {
    std::apply([&](auto&... s) { (s.remove_waker(waker_), ...); }, sources_);
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

 private:
  Waker& waker_;
  std::tuple<S&...> sources_;
};

}  // namespace detail

// The select state of one task loop: its waker and its cooperative budget. Keep one per loop.
class Selector {
 public:
  // Immediate successes in a row before the loop gives its worker thread back once.
  static constexpr unsigned kBudget = 128;
  // Empty polls before the loop parks.
  static constexpr int kSpins = 64;

  Selector() = default;
  Selector(const Selector&) = delete;
  Selector& operator=(const Selector&) = delete;
  ~Selector() {
    if (load_) load_->leave();
  }

  // One poll without suspending: an outcome when one is ready and the budget allows it, else
  // nullopt, and then select() goes on (yielding first when the budget is spent). Saves the
  // coroutine round trip on the busy path.
  template <WaitSource... S>
  std::optional<SelectResult<S...>> try_select(S&... sources) {
    if (budget_ == 0) return std::nullopt;
    auto r = detail::poll_once<SelectResult<S...>>(sources...);
    if (r) --budget_;
    return r;
  }

  template <WaitSource... S>
  boost::asio::awaitable<SelectResult<S...>> select(S&... sources) {
    using R = SelectResult<S...>;
    if (!load_) {
      load_ = &BusyWorkers::of(co_await boost::asio::this_coro::executor);
      load_->enter();
    }
    if (budget_ == 0) {
      budget_ = kBudget;
      // Giving the worker back helps only when every worker is busy; a free one already runs
      // whatever else is ready. A needless yield sends this task round the shared queue, and the
      // worker woken to take it over can displace, on its CPU, the worker that has just taken a
      // timer or the reactor: the timer then waits milliseconds behind a task that never had to
      // move.
      if (!load_->worker_free()) {
        Suspended away(*load_);
        auto executor = co_await boost::asio::this_coro::executor;
        co_await boost::asio::defer(executor, boost::asio::use_awaitable);
      }
    }
    for (;;) {
      if (auto r = detail::poll_once<R>(sources...)) {
        --budget_;
        co_return std::move(*r);
      }
      // A short spin before parking: a busy sender usually delivers within a microsecond, and
      // every park costs it a post to the executor and this task a trip through the run queue.
      for (int spin = 0; spin < kSpins; ++spin) {
        detail::cpu_relax();
        if (auto r = detail::poll_once<R>(sources...)) {
          --budget_;
          co_return std::move(*r);
        }
      }
      budget_ = kBudget;
      waker_.reset();
      detail::Registration<S...> registration(waker_, sources...);
      // A source may have become ready before the registration took hold.
      if (auto r = detail::poll_once<R>(sources...)) co_return std::move(*r);
      Suspended away(*load_);
      co_await waker_.wait();
    }
  }

 private:
  // The task does not run while suspended; a frame destroyed while suspended leaves the count
  // balanced too (this counts it back in, the selector's destructor out).
  class Suspended {
   public:
    explicit Suspended(BusyWorkers& load) : load_(load) { load_.leave(); }
    ~Suspended() { load_.enter(); }
    Suspended(const Suspended&) = delete;
    Suspended& operator=(const Suspended&) = delete;

   private:
    BusyWorkers& load_;
  };

  AsyncWaker waker_;
  unsigned budget_ = kBudget;
  BusyWorkers* load_ = nullptr;  // the context's count, from the first select on
};

inline constexpr int kBlockingSpins = 64;

// Blocks the calling thread until a source yields or the deadline passes (nullopt). Sources are
// polled before the deadline is checked, so an outcome already ready wins over a passed deadline.
template <WaitSource... S>
std::optional<SelectResult<S...>> select_blocking(std::optional<Clock::time_point> deadline,
                                                  S&... sources) {
  using R = SelectResult<S...>;
  ThreadWaker waker;
  for (;;) {
    if (auto r = detail::poll_once<R>(sources...)) return r;
    if (deadline && Clock::now() >= *deadline) return std::nullopt;
    // A short spin first: a busy producer usually delivers within microseconds, and parking the
    // thread costs the producer a futex wake per item.
    for (int spin = 0; spin < kBlockingSpins; ++spin) {
      detail::cpu_relax();
      if (auto r = detail::poll_once<R>(sources...)) return r;
    }
    waker.reset();
    detail::Registration<S...> registration(waker, sources...);
    if (auto r = detail::poll_once<R>(sources...)) return r;
    waker.wait(deadline);
  }
}

}  // namespace orvik::runtime
