// Bounded multi-producer, single-consumer queue: offers telling full from closed; a wait for room.
#pragma once

#include "common/error.hpp"
#include "runtime/select.hpp"
#include "runtime/waker.hpp"

#include <boost/asio/awaitable.hpp>
#include <fmt/format.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace orvik::runtime::bounded {

// The largest capacity a queue accepts (2^61 - 1).
inline constexpr std::size_t kMaxCapacity = (std::size_t{1} << 61) - 1;

enum class OfferError : std::uint8_t { full, closed };

// A refused offer: why, and the value handed back.
template <class T>
struct Refused {
  OfferError reason;
  T value;
};

namespace detail {
template <class T>
struct State {
  explicit State(std::size_t cap) : capacity(cap) {}
  std::mutex mutex;
  std::deque<T> items;
  const std::size_t capacity;
  std::size_t senders = 1;
  // Offers are refused: close() was called, or the receiver is gone. What is queued is still
  // taken. Written under the mutex; read without it by is_closed(), which thereby never waits
  // on a lock (a fork child may have inherited it held).
  std::atomic<bool> closed{false};
  WaitList waiters;
  WaitList room_waiters;  // senders waiting for room (Sender::Room)
  // Set under the mutex whenever an item or the end arrives, cleared by the receiver once it
  // finds neither: lets the receiver's idle poll skip the mutex.
  std::atomic<bool> maybe_ready{false};

  // Refuses every later offer. The receiver takes what is queued, then sees the end.
  void close() {
    std::lock_guard lock(mutex);
    if (closed.exchange(true, std::memory_order_release)) return;
    maybe_ready.store(true, std::memory_order_release);
    waiters.wake_all();
    room_waiters.wake_all();
  }
  bool refuses_offers() const { return closed.load(std::memory_order_acquire); }
  // Room for a run of offers: waiting for half the queue rather than one slot wakes a waiting
  // sender once per run instead of once per item. Mutex held.
  bool has_room() const { return items.size() <= capacity / 2; }
};
}  // namespace detail

// A sending end. Copies are further senders; the receiver sees the end once all are gone.
template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<detail::State<T>> state) : state_(std::move(state)) {}
  Sender(const Sender& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++state_->senders;
    }
  }
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    if (--state_->senders == 0) {
      state_->maybe_ready.store(true, std::memory_order_release);
      state_->waiters.wake_all();
    }
  }

  // Never waits.
  std::expected<void, Refused<T>> try_send(T value) const {
    auto& s = *state_;
    std::lock_guard lock(s.mutex);
    if (s.refuses_offers())
      return std::unexpected(Refused<T>{OfferError::closed, std::move(value)});
    if (s.items.size() >= s.capacity)
      return std::unexpected(Refused<T>{OfferError::full, std::move(value)});
    s.items.push_back(std::move(value));
    s.maybe_ready.store(true, std::memory_order_release);
    if (!s.waiters.empty()) s.waiters.wake_all();
    return {};
  }

  // Closed by close() on either end, or by the receiver going.
  bool is_closed() const { return state_->refuses_offers(); }
  // Refuses later offers from every sender; the receiver still takes what is queued.
  void close() const { state_->close(); }

  // A wait source, for a sender that waits rather than drops: ready while the queue is at most
  // half full or refuses offers. It consumes nothing; the sender still offers with try_send.
  class Room {
   public:
    struct Ready {};
    using value_type = Ready;

    explicit Room(std::shared_ptr<detail::State<T>> state) : state_(std::move(state)) {}
    std::optional<Ready> try_take() const {
      std::lock_guard lock(state_->mutex);
      if (state_->refuses_offers() || state_->has_room()) return Ready{};
      return std::nullopt;
    }
    void add_waker(Waker& waker) const {
      std::lock_guard lock(state_->mutex);
      state_->room_waiters.add(waker);
    }
    void remove_waker(Waker& waker) const {
      std::lock_guard lock(state_->mutex);
      state_->room_waiters.remove(waker);
    }

   private:
    std::shared_ptr<detail::State<T>> state_;
  };
  Room room() const { return Room(state_); }

 private:
  std::shared_ptr<detail::State<T>> state_;
};

// The receiving end. Releasing it closes the queue and drops what is left in it. As a WaitSource
// it yields a value, or an empty optional once every sender is gone or the queue was closed, and
// it is drained; the end stays ready, so a select loop that sees it must stop offering this
// source.
template <class T>
class Receiver {
 public:
  using value_type = std::optional<T>;

  explicit Receiver(std::shared_ptr<detail::State<T>> state) : state_(std::move(state)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { release(); }

  std::optional<std::optional<T>> try_take() {
    auto& s = *state_;
    // A waker registered before this load is woken by the next send, which sets the flag.
    if (!s.maybe_ready.load(std::memory_order_acquire)) return std::nullopt;
    std::lock_guard lock(s.mutex);
    if (!s.items.empty()) {
      std::optional<std::optional<T>> v(std::in_place, std::move(s.items.front()));
      s.items.pop_front();
      if (!s.room_waiters.empty() && s.has_room()) s.room_waiters.wake_all();
      return v;
    }
    if (s.senders == 0 || s.refuses_offers()) return std::optional<std::optional<T>>(std::in_place);
    s.maybe_ready.store(false, std::memory_order_relaxed);
    return std::nullopt;
  }

  void add_waker(Waker& waker) {
    std::lock_guard lock(state_->mutex);
    state_->waiters.add(waker);
  }
  void remove_waker(Waker& waker) {
    std::lock_guard lock(state_->mutex);
    state_->waiters.remove(waker);
  }

  // The next value, or an empty optional when the queue has ended.
  boost::asio::awaitable<std::optional<T>> recv() {
    Selector selector;
    auto r = co_await selector.select(*this);
    co_return std::get<0>(std::move(r));
  }

  std::size_t size() const {
    std::lock_guard lock(state_->mutex);
    return state_->items.size();
  }
  // Refuses later offers and keeps what is queued for this receiver to take.
  void close() { state_->close(); }

 private:
  void release() {
    if (!state_) return;
    std::deque<T> dropped;
    {
      std::lock_guard lock(state_->mutex);
      state_->closed.store(true, std::memory_order_release);
      dropped.swap(state_->items);
      state_->room_waiters.wake_all();
    }
    state_.reset();
  }

  std::shared_ptr<detail::State<T>> state_;
};

template <class T>
struct Queue {
  Sender<T> sender;
  Receiver<T> receiver;
};

template <class T>
Result<Queue<T>> channel(std::size_t capacity) {
  if (capacity == 0) return fail("mpsc bounded channel requires buffer > 0");
  if (capacity > kMaxCapacity)
    return fail(fmt::format("mpsc bounded channel capacity {} exceeds the largest capacity {}",
                            capacity, kMaxCapacity));
  auto state = std::make_shared<detail::State<T>>(capacity);
  return Queue<T>{Sender<T>(state), Receiver<T>(state)};
}

}  // namespace orvik::runtime::bounded
