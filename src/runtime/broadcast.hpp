// Broadcast ring: sends never wait; slow receivers lose the oldest values and learn how many.
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
#include <thread>
#include <type_traits>
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

// One slot. All-zero bytes are a valid empty slot, so the ring is taken from zero-filled memory
// and a page is touched only when a value is first written to it. A slot keeps to its own cache
// lines (two for a frame), so a reader copying one slot never meets the writer filling the next.
//
// `word` is the slot's stamp and its reader/writer spin lock in one atomic: the stamp (one past
// the send position of the value held, 0 while it has held none) in the high 56 bits, then a
// writer bit and a count of readers. A reader checks the stamp and takes its share of the lock
// in one compare-exchange, and never waits for the writer: a slot being written is being
// overwritten, which is all the reader needs to know. The writer is serialised by the tail mutex,
// so it only ever waits for readers that are copying the old value out.
template <class T>
struct alignas(64) Slot {
  static constexpr unsigned kStampShift = 8;
  static constexpr std::uint64_t kWriter = 0x80;
  static constexpr std::uint64_t kReaders = 0x7f;

  std::uint64_t word;
  // The value, constructed by the first write to the slot.
  alignas(T) unsigned char storage[sizeof(T)];

  std::atomic_ref<std::uint64_t> atomic_word() noexcept {
    return std::atomic_ref<std::uint64_t>(word);
  }
  T& value() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }

  // How far the slot's stamp is past `stamp` (negative: behind), modulo 2^56.
  static std::int64_t stamp_ahead(std::uint64_t w, std::uint64_t stamp) noexcept {
    return static_cast<std::int64_t>((w & ~(kWriter | kReaders)) - (stamp << kStampShift)) >>
           kStampShift;
  }

  void lock_for_write() noexcept {
    auto w = atomic_word();
    std::uint64_t seen = w.load(std::memory_order_relaxed);
    for (unsigned spins = 0;; ++spins) {
      if ((seen & kReaders) == 0 &&
          w.compare_exchange_weak(seen, seen | kWriter, std::memory_order_acquire,
                                  std::memory_order_relaxed))
        return;
      backoff(spins);
      seen = w.load(std::memory_order_relaxed);
    }
  }
  void unlock_with_stamp(std::uint64_t stamp) noexcept {
    atomic_word().store(stamp << kStampShift, std::memory_order_release);
  }

  // Takes a reader's share when the slot holds `stamp` and no writer is at it: 0. Otherwise how
  // far the slot is past `stamp`; a slot being written is a lap (`capacity`) past it.
  std::int64_t lock_shared_if(std::uint64_t stamp, std::int64_t capacity) noexcept {
    auto w = atomic_word();
    std::uint64_t seen = w.load(std::memory_order_acquire);
    for (unsigned spins = 0;; ++spins) {
      const std::int64_t ahead = stamp_ahead(seen, stamp);
      if (ahead != 0) return ahead;
      if (seen & kWriter) return capacity;
      if ((seen & kReaders) != kReaders &&
          w.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                  std::memory_order_acquire))
        return 0;
      if ((seen & kReaders) == kReaders) {
        backoff(spins);
        seen = w.load(std::memory_order_acquire);
      }
    }
  }
  void unlock_shared() noexcept { atomic_word().fetch_sub(1, std::memory_order_release); }

  // Whether the slot still holds `stamp`, without taking a share: a look at a line the reader
  // copied from, which stays in its cache until the sender rewrites it.
  bool holds(std::uint64_t stamp) noexcept {
    const std::uint64_t seen = atomic_word().load(std::memory_order_acquire);
    return stamp_ahead(seen, stamp) == 0 && !(seen & kWriter);
  }

  static void backoff(unsigned spins) noexcept {
    if (spins >= 64) std::this_thread::yield();
  }
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
  static constexpr std::size_t kAlign = 64;  // slots keep to their own cache lines
  std::size_t bytes_;
  bool mapped_;
  void* data_ = nullptr;
};

template <class T>
struct Shared {
  explicit Shared(std::size_t n)
      : memory(checked_bytes(n)), slots(static_cast<Slot<T>*>(memory.data())), mask(n - 1),
        capacity(n) {
    static_assert(std::is_trivially_default_constructible_v<Slot<T>> &&
                  std::is_trivially_destructible_v<Slot<T>>);
  }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  ~Shared() {
    // Slots are written in order from the first, so the ones holding a value are a prefix.
    if constexpr (!std::is_trivially_destructible_v<T>) {
      const std::uint64_t written = std::min<std::uint64_t>(tail, capacity);
      for (std::uint64_t i = 0; i < written; ++i) std::destroy_at(&slots[i].value());
    }
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
    slot.lock_for_write();
    if (s.tail < s.capacity) {
      ::new (static_cast<void*>(slot.storage)) T(std::move(value));  // first lap: still raw
    } else {
      slot.value() = std::move(value);
    }
    slot.unlock_with_stamp(s.tail + 1);
    ++s.tail;
    s.published_tail.store(s.tail, std::memory_order_release);
    if (!s.waiters.empty()) s.waiters.wake_all();
    return {};
  }

  // A new receiver that sees only values sent from now on.
  Receiver<T> subscribe() const;

  std::size_t receiver_count() const {
    std::lock_guard lock(shared_->tail_mutex);
    return shared_->receivers;
  }
  // Slots in the ring: the requested capacity rounded up to a power of two.
  std::size_t capacity() const { return static_cast<std::size_t>(shared_->capacity); }

 private:
  void release() {
    if (!shared_) return;
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
      : shared_(std::move(other.shared_)),
        next_(other.next_),
        held_(std::move(other.held_)),
        held_base_(other.held_base_),
        held_next_(other.held_next_),
        batch_(other.batch_) {}
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      release();
      shared_ = std::move(other.shared_);
      next_ = other.next_;
      held_ = std::move(other.held_);
      held_base_ = other.held_base_;
      held_next_ = other.held_next_;
      batch_ = other.batch_;
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { release(); }

  // The next value, a lag report, a closed report, or nullopt when nothing is there yet. Only a
  // returned value or lag moves the read position.
  std::optional<RecvResult<T>> try_take() {
    // Every path returns `out`, so it is built in place.
    std::optional<RecvResult<T>> out;
    auto& s = *shared_;
    if (held_next_ < held_.size()) {
      // The oldest value found at the lag always goes out; the copies after it only while the
      // ring still holds their positions, so that what is kept is what the ring kept.
      const std::uint64_t pos = held_base_ + held_next_;
      if (held_next_ == 0 || s.slots[pos & s.mask].holds(pos + 1)) {
        out.emplace(std::in_place_index<0>, std::move(held_[held_next_++]));
        if (held_next_ == held_.size()) batch_ = std::min(batch_ * 2, kCatchUpBatch);
        return out;
      }
      // Overwritten since it was copied: the ring decides from here, which reports the lag. The
      // sender outpaces us, so copy fewer next time.
      batch_ = std::max<std::size_t>(held_next_, 1);
      next_ = pos;
      held_.clear();
      held_next_ = 0;
    }
    // Lock-free: receivers never take the tail lock here, so a busy sender and a busy receiver
    // only meet on the slots themselves.
    for (;;) {
      const std::int64_t ahead = read_if_current(out);
      if (ahead == 0) return out;
      if (ahead > 0) {
        out.emplace(std::in_place_index<1>, Lag{catch_up(static_cast<std::uint64_t>(ahead))});
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
  // Copies the value at our position into `out` and moves on: 0. Otherwise how far the slot is
  // past our position (negative: it is not written yet).
  std::int64_t read_if_current(std::optional<RecvResult<T>>& out) {
    auto& s = *shared_;
    auto& slot = s.slots[next_ & s.mask];
    const std::int64_t ahead =
        slot.lock_shared_if(next_ + 1, static_cast<std::int64_t>(s.capacity));
    if (ahead != 0) return ahead;
    struct Unlock {
      detail::Slot<T>& slot;
      ~Unlock() { slot.unlock_shared(); }
    } unlock{slot};
    out.emplace(std::in_place_index<0>, slot.value());
    ++next_;
    return 0;
  }

  // Our position was overwritten, and the slot is `ahead` positions past it. Moves to the oldest
  // value still in the ring and copies it out at once, so that the next receive returns it
  // rather than racing the sender, which overwrites that slot next. Returns the values missed.
  //
  // The values after it are copied out too, up to kCatchUpBatch: a receiver left at the oldest
  // slot reads each slot just before the sender rewrites it, so both pay for every slot's cache
  // lines twice over and neither keeps its pace. Copied in one run, the batch is then handed out
  // with a mere look at each slot, while the sender goes on at full speed; a copy whose position
  // the ring no longer holds is dropped and counted as missed, as if read from the ring. The
  // batch doubles while every copy goes out, and shrinks to what went out when the sender
  // overwrites copies first, so a receiver that cannot keep up does not copy in vain.
  std::uint64_t catch_up(std::uint64_t ahead) {
    auto& s = *shared_;
    std::uint64_t missed = 0;
    for (;;) {
      // Sends publish the tail after writing their slot, so the tail may still lag the slot seen.
      const std::uint64_t tail =
          std::max(s.published_tail.load(std::memory_order_acquire), next_ + ahead + 1);
      const std::uint64_t oldest = tail - s.capacity;
      missed += oldest - next_;
      next_ = oldest;
      std::optional<RecvResult<T>> copy;
      const std::int64_t again = read_if_current(copy);
      if (again == 0) {
        held_.clear();
        held_base_ = oldest;
        held_next_ = 0;
        held_.push_back(std::get<0>(std::move(*copy)));
        // The rest of the batch, while it is still there: the first slot overwritten or not yet
        // written ends it, and the receives after the batch find that slot again.
        while (held_.size() < batch_) {
          copy.reset();
          if (read_if_current(copy) != 0) break;
          held_.push_back(std::get<0>(std::move(*copy)));
        }
        return missed;
      }
      // Overwritten again meanwhile: count that too and move on again. (Never "not yet": the
      // tail passed this position.)
      if (again < 0) return missed;
      ahead = static_cast<std::uint64_t>(again);
    }
  }

  void release() {
    if (!shared_) return;
    {
      std::lock_guard lock(shared_->tail_mutex);
      --shared_->receivers;
    }
    shared_.reset();
  }

  std::shared_ptr<detail::Shared<T>> shared_;
  std::uint64_t next_;
  // Values copied out at the last lag, from the oldest then held; handed out before the ring.
  static constexpr std::size_t kCatchUpBatch = 256;
  std::vector<T> held_;
  std::uint64_t held_base_ = 0;  // position of held_[0]
  std::size_t held_next_ = 0;
  std::size_t batch_ = 16;  // values to copy out at the next lag
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
