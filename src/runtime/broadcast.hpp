// Broadcast ring: sends never wait; slow receivers lose the oldest values and learn how many.
//
// - Slots: a power-of-two array; send position p goes to slot p & mask. A slot holds one value,
//   its stamp (p + 1 for the position whose value it holds, 0 while it has held none) and a
//   reader/writer spin lock. A receiver at position n finds its value in slot n & mask exactly
//   when the stamp is n + 1; a larger stamp means a later lap has overwritten it.
// - Tail lock (`tail_mutex`): a send holds it throughout, so sends are serialised and take the
//   positions in order. It also guards the receiver count, `closed` and the wait list. Receivers
//   never take it to receive: they read `published_tail` and `published_closed`, which a send
//   and the close store once their work is done.
// - Slot lock and stamp: the sender holds the slot's lock exclusively while it sets the stamp
//   and the value; receivers hold it shared while they copy the value. A receiver reads the stamp
//   first, without the lock: positions only grow, so a mismatch is final and only a match needs
//   the lock (and a second look at the stamp under it). A sender waits only for copies in
//   progress in the one slot it writes; receivers do not block each other.
// - Lag: a receiver whose slot holds a later lap moves to the oldest position still held (the
//   tail less the capacity) and returns Lag{missed}, the positions it skipped.
// - Read-ahead: right after a lag the receiver sits at the slot the sender writes next, so with
//   the lag it copies up to 64 of the oldest values, while they are still held, into a buffer of
//   its own, and hands those out before it reads the ring again.
// - Waiting: a receiver is a WaitSource. select() adds its waker under the tail lock, then polls
//   once more before it sleeps; a send (and the close) wakes the registered wakers under the same
//   lock, so a send that the last poll missed finds the waker registered.
// - Memory: the slots are zero-filled memory, never constructed: all-zero bytes are an empty slot
//   (lock free, stamp 0, no value). The first send to a slot constructs the value in place; the
//   ring's destructor destroys the slots written, a prefix of the ring.
// Each atomic's memory order is explained where it is used; the waker's states in waker.hpp.
#pragma once

#include "common/error.hpp"
#include "runtime/select.hpp"
#include "runtime/waker.hpp"

#include <boost/asio/awaitable.hpp>
#include <fmt/format.h>

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace orvik::runtime::broadcast {

// The receiver fell behind: `missed` values were overwritten before it read them.
struct Lag {
  std::uint64_t missed;
};
// Every sender is gone and the receiver has read everything left.
struct Closed {};

template <class T>
using RecvResult = std::variant<T, Lag, Closed>;

inline constexpr std::size_t kMaxCapacity = std::numeric_limits<std::size_t>::max() >> 1;

namespace detail {

// Reader/writer spin lock of one slot. Held only for a copy or a move of one value; the writer is
// serialised by the tail mutex, so it only ever waits for readers.
class SlotLock {
 public:
  // Acquire: pairs with the writer's unlock(), so the reader sees the stamp and the value written
  // under the lock. The relaxed load only supplies the expected count, and skips the exchange
  // while a writer holds the lock.
  void lock_shared() noexcept {
    for (unsigned spins = 0;; ++spins) {
      std::uint32_t s = state_.load(std::memory_order_relaxed);
      if (!(s & kWriter) &&
          state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        return;
      backoff(spins);
    }
  }
  // Release: the copy is complete before the writer's lock() can see the count fall to zero.
  void unlock_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
  // Acquire: pairs with every reader's unlock_shared() (their decrements form one release
  // sequence), so no copy is still reading the value the writer is about to replace.
  void lock() noexcept {
    for (unsigned spins = 0;; ++spins) {
      std::uint32_t expected = 0;
      if (state_.compare_exchange_weak(expected, kWriter, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        return;
      backoff(spins);
    }
  }
  // Release: publishes the new stamp and value to the next lock_shared().
  void unlock() noexcept { state_.store(0, std::memory_order_release); }

 private:
  static constexpr std::uint32_t kWriter = 1u << 31;
  static void backoff(unsigned spins) noexcept {
    if (spins >= 64) std::this_thread::yield();
  }
  std::atomic<std::uint32_t> state_{0};
};

// All-zero bytes are an empty slot (lock free, stamp 0, no value): the ring is taken from
// zero-filled memory as it is, and a page is touched only when a value is first written to it.
template <class T>
struct Slot {
  SlotLock lock;
  // One past the send position whose value the slot holds, 0 while it has held none. Written
  // under the writer lock; atomic so that a receiver can tell "not yet" and "overwritten" without
  // writing to the slot's cache line.
  std::atomic<std::uint64_t> stamp{0};
  std::optional<T> value;
};

// Zero-filled memory for the ring. Large rings are mapped straight from the kernel: its pages
// stay unmapped until first written, where the allocator could hand back used memory and clear
// it page by page.
class ZeroedMemory {
 public:
  explicit ZeroedMemory(std::size_t bytes) : bytes_(bytes), mapped_(bytes >= kMapAtLeast) {
    if (mapped_) {
      void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) throw std::bad_alloc();
      data_ = p;
    } else {
      data_ = std::aligned_alloc(kAlign, (bytes + kAlign - 1) / kAlign * kAlign);
      if (data_ == nullptr) throw std::bad_alloc();
      std::memset(data_, 0, bytes);
    }
  }
  ZeroedMemory(const ZeroedMemory&) = delete;
  ZeroedMemory& operator=(const ZeroedMemory&) = delete;
  ~ZeroedMemory() {
    if (mapped_) {
      ::munmap(data_, bytes_);
    } else {
      std::free(data_);
    }
  }
  void* data() const noexcept { return data_; }

 private:
  static constexpr std::size_t kMapAtLeast = std::size_t{1} << 16;
  static constexpr std::size_t kAlign = 64;
  std::size_t bytes_;
  bool mapped_;
  void* data_ = nullptr;
};

template <class T>
struct Shared {
  explicit Shared(std::size_t n)
      : memory(checked_bytes(n)), slots(static_cast<Slot<T>*>(memory.data())), mask(n - 1),
        capacity(n) {}
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  ~Shared() {
    // Slots are written in order from the first, so the ones holding a value are a prefix.
    const std::uint64_t written = std::min<std::uint64_t>(tail, capacity);
    for (std::uint64_t i = 0; i < written; ++i) std::destroy_at(&slots[i]);
  }

  static std::size_t checked_bytes(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(Slot<T>)) throw std::bad_alloc();
    return n * sizeof(Slot<T>);
  }

  ZeroedMemory memory;
  Slot<T>* const slots;
  const std::uint64_t mask;
  const std::uint64_t capacity;

  // Guards everything below, and serialises sends. On its own cache line, away from the fields
  // that receivers read on every receive.
  alignas(64) std::mutex tail_mutex;
  std::uint64_t tail = 0;  // position of the next send
  std::size_t receivers = 0;
  bool closed = false;
  WaitList waiters;

  // `tail` and `closed` as last published, for receivers, which never take the tail lock to
  // receive.
  alignas(64) std::atomic<std::uint64_t> published_tail{0};
  std::atomic<bool> published_closed{false};

  alignas(64) std::atomic<std::size_t> senders{1};
};

}  // namespace detail

template <class T>
class Receiver;

// A sending end. Copies share the channel; the channel closes when the last one goes.
template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<detail::Shared<T>> shared) : shared_(std::move(shared)) {}
  // Relaxed: copied from a live sender, so the count cannot reach zero meanwhile, and the increment
  // publishes nothing.
  Sender(const Sender& other) : shared_(other.shared_) {
    if (shared_) shared_->senders.fetch_add(1, std::memory_order_relaxed);
  }
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(shared_, other.shared_);
    return *this;
  }
  ~Sender() { release(); }

  // Never waits. Fails only when no receiver exists, and then hands the value back.
  std::expected<void, T> send(T value) const {
    auto& s = *shared_;
    std::lock_guard lock(s.tail_mutex);
    if (s.receivers == 0) return std::unexpected<T>(std::move(value));
    auto& slot = s.slots[s.tail & s.mask];
    slot.lock.lock();
    // Release: a receiver that sees this stamp without the lock also sees every earlier send's
    // published tail, so its lag is measured against a tail at most one behind the stamp.
    slot.stamp.store(s.tail + 1, std::memory_order_release);
    slot.value = std::move(value);
    slot.lock.unlock();
    ++s.tail;
    // Release: the slot is written before the tail says so.
    s.published_tail.store(s.tail, std::memory_order_release);
    if (!s.waiters.empty()) s.waiters.wake_all();
    return {};
  }

  // A new receiver that sees only values sent from now on.
  Receiver<T> subscribe() const;

  // Slots in the ring: the requested capacity rounded up to a power of two.
  std::size_t capacity() const { return static_cast<std::size_t>(shared_->capacity); }

 private:
  void release() {
    if (!shared_) return;
    // Acq_rel: each sender's sends come before its decrement (release), and the last one to go
    // sees them all (acquire) before it closes the channel.
    if (shared_->senders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::lock_guard lock(shared_->tail_mutex);
      shared_->closed = true;
      shared_->published_closed.store(true, std::memory_order_release);
      shared_->waiters.wake_all();
    }
    shared_.reset();
  }

  std::shared_ptr<detail::Shared<T>> shared_;
};

// A receiving end with its own read position. One owner at a time; it is also a WaitSource.
template <class T>
class Receiver {
 public:
  using value_type = RecvResult<T>;

  Receiver(std::shared_ptr<detail::Shared<T>> shared, std::uint64_t next)
      : shared_(std::move(shared)), next_(next) {}
  Receiver(Receiver&& other) noexcept
      : shared_(std::move(other.shared_)), next_(other.next_), ahead_(std::move(other.ahead_)) {}
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      release();
      shared_ = std::move(other.shared_);
      next_ = other.next_;
      ahead_ = std::move(other.ahead_);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { release(); }

  // The next value, a lag report, a closed report, or nullopt when nothing is there yet. Only a
  // returned value or lag moves the read position.
  std::optional<RecvResult<T>> try_take() {
    std::optional<RecvResult<T>> out;  // every path returns it, so it is built in place
    if (take_ahead(out)) return out;
    auto& s = *shared_;
    auto& slot = s.slots[next_ & s.mask];
    // Lock-free: receivers never take the tail lock here, so a busy sender and a busy receiver
    // only meet on the slots themselves.
    for (;;) {
      std::uint64_t seen = 0;
      if (read_if_current(slot, seen, [&](const T& value) { out.emplace(std::in_place_index<0>, value); }))
        return out;
      if (static_cast<std::int64_t>(seen - (next_ + 1)) > 0) {
        // The slot holds a later lap: our position was overwritten. Sends publish the tail after
        // writing their slot, so the tail may still lag the slot we saw.
        const std::uint64_t tail =
            std::max(s.published_tail.load(std::memory_order_acquire), seen);
        const std::uint64_t oldest = tail - s.capacity;
        const std::uint64_t missed = oldest - next_;
        next_ = oldest;
        out.emplace(std::in_place_index<1>, Lag{missed});
        read_ahead();
        return out;
      }
      // Closed is published after the last send, so a closed flag seen here means the tail read
      // next is final.
      const bool closed = s.published_closed.load(std::memory_order_acquire);
      if (s.published_tail.load(std::memory_order_acquire) == next_) {
        if (closed) out.emplace(std::in_place_index<2>);
        // A waker registered before this check is woken by the next send, which happens after it.
        return out;
      }
      // A send completed between the slot read and the tail load: read the slot again.
    }
  }

  void add_waker(Waker& waker) {
    std::lock_guard lock(shared_->tail_mutex);
    shared_->waiters.add(waker);
  }
  void remove_waker(Waker& waker) {
    std::lock_guard lock(shared_->tail_mutex);
    shared_->waiters.remove(waker);
  }

  // Waits in a coroutine; abandoning the wait consumes nothing.
  boost::asio::awaitable<RecvResult<T>> recv() {
    Selector selector;
    auto r = co_await selector.select(*this);
    co_return std::get<0>(std::move(r));
  }

  // Blocks the calling thread; nullopt when the deadline passed first.
  std::optional<RecvResult<T>> recv_blocking(
      std::optional<Clock::time_point> deadline = std::nullopt) {
    auto r = select_blocking(deadline, *this);
    if (!r) return std::nullopt;
    return std::get<0>(std::move(*r));
  }

 private:
  // Hands the value at our position to `use` when the slot holds it; else false, and `seen` is
  // the slot's stamp.
  template <class Use>
  bool read_if_current(detail::Slot<T>& slot, std::uint64_t& seen, Use&& use) {
    // Positions only grow, so a mismatch seen without the lock is final; only a match needs it.
    // Acquire: pairs with the send's stamp store, for the lag's tail.
    seen = slot.stamp.load(std::memory_order_acquire);
    if (seen != next_ + 1) return false;
    const std::shared_lock held(slot.lock);  // released even if the copy throws
    // Relaxed: the lock's acquire already orders it after the writer's store.
    seen = slot.stamp.load(std::memory_order_relaxed);
    if (seen != next_ + 1) return false;
    use(*slot.value);
    ++next_;
    return true;
  }

  // Right after a lag our position is the slot the sender writes next: a receiver that reads one
  // value and then does its work races the sender for every slot after it and loses most of
  // them. So, as it reports the lag, it copies a run of the oldest values while they are still
  // held, each under its slot's lock, and hands them out from its own buffer, which puts it
  // ahead of the sender. Every value is still returned in order, once, and whatever it could not
  // copy in time is counted by the next lag.
  void read_ahead() {
    if (!ahead_) {
      ahead_ = std::make_unique<Ahead>();
      ahead_->values.reserve(kReadAhead);
    }
    auto& values = ahead_->values;
    values.clear();
    ahead_->next = 0;
    auto& s = *shared_;
    std::uint64_t seen = 0;
    auto keep = [&](const T& value) { values.push_back(value); };
    while (values.size() < kReadAhead && read_if_current(s.slots[next_ & s.mask], seen, keep)) {
    }
  }

  bool take_ahead(std::optional<RecvResult<T>>& out) {
    if (!ahead_ || ahead_->next == ahead_->values.size()) return false;
    out.emplace(std::in_place_index<0>, std::move(ahead_->values[ahead_->next++]));
    return true;
  }

  void release() {
    if (!shared_) return;
    {
      std::lock_guard lock(shared_->tail_mutex);
      --shared_->receivers;
    }
    shared_.reset();
  }

  // Values copied by read_ahead, handed out before the ring is read again.
  struct Ahead {
    std::vector<T> values;
    std::size_t next = 0;
  };
  static constexpr std::size_t kReadAhead = 64;

  std::shared_ptr<detail::Shared<T>> shared_;
  std::uint64_t next_;
  std::unique_ptr<Ahead> ahead_;  // made at the first lag
};

template <class T>
Receiver<T> Sender<T>::subscribe() const {
  std::lock_guard lock(shared_->tail_mutex);
  ++shared_->receivers;
  return Receiver<T>(shared_, shared_->tail);
}

template <class T>
struct Channel {
  Sender<T> sender;
  Receiver<T> receiver;
};

// A channel of `capacity` values rounded up to a power of two, with its first receiver.
template <class T>
Result<Channel<T>> channel(std::size_t capacity) {
  if (capacity == 0) return fail("broadcast channel capacity cannot be zero");
  if (capacity > kMaxCapacity) return fail("broadcast channel capacity exceeded `usize::MAX / 2`");
  const std::size_t slots = std::bit_ceil(capacity);
  std::shared_ptr<detail::Shared<T>> shared;
  try {
    shared = std::make_shared<detail::Shared<T>>(slots);
  } catch (const std::bad_alloc&) {
    return fail(fmt::format("broadcast channel capacity {} cannot be allocated", capacity));
  }
  shared->receivers = 1;
  return Channel<T>{Sender<T>(shared), Receiver<T>(shared, 0)};
}

}  // namespace orvik::runtime::broadcast
