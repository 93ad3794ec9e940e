// The process-wide channel registry, eviction, and the bus receive with lag accounting.
#include "runtime/virtual_bus.hpp"

#include "common/log.hpp"
#include "runtime/select.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace orvik::runtime {

namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<std::string, std::weak_ptr<VirtualChannel>> channels;
};

// Built on first use and never destroyed: channels may be released by workers during exit.
constinit std::atomic<Registry*> g_registry{nullptr};

Registry& registry() {
  Registry* r = g_registry.load(std::memory_order_acquire);
  if (r != nullptr) return *r;
  auto* made = new Registry();
  if (g_registry.compare_exchange_strong(r, made, std::memory_order_acq_rel)) return *made;
  delete made;  // another thread built it first
  return *r;
}

// A fork child starts with an empty registry: the parent's may have been copied with its lock
// held, and its channels belong to the parent's tasks (see runtime/fork.hpp). Both are abandoned.
void forget_registry_in_child() noexcept { g_registry.store(nullptr, std::memory_order_relaxed); }
[[maybe_unused]] const int g_fork_handler =
    pthread_atfork(nullptr, nullptr, &forget_registry_in_child);

}  // namespace

VirtualChannel::~VirtualChannel() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.channels.find(name_);
  // The entry may already belong to a newer channel of the same name: leave that one alone.
  if (it != r.channels.end() && it->second.expired()) r.channels.erase(it);
}

std::optional<Result<CanFrame>> VirtualBusRx::try_take() {
  if (shutdown_) return Result<CanFrame>(fail("VirtualBus shut down"));
  for (;;) {
    auto r = receiver_.try_take();
    if (!r) return std::nullopt;
    switch (r->index()) {
      case 0:
        return std::optional<Result<CanFrame>>(std::in_place, std::get<0>(std::move(*r)));
      case 1: {
        const std::uint64_t missed = std::get<1>(*r).missed;
        if (counters_) counters_->add(Counter::broadcast_overflows, missed);
        log::event(log::Level::Warn, kVirtualBusTarget,
                   "VirtualBus '{}': skipped {} frames (slow consumer)", channel_->name(), missed);
        continue;  // the oldest frame still held comes next
      }
      default:
        return Result<CanFrame>(fail("VirtualBus channel closed"));
    }
  }
}

boost::asio::awaitable<Result<CanFrame>> VirtualBusRx::recv() {
  Selector selector;
  auto r = co_await selector.select(*this);
  co_return std::get<0>(std::move(r));
}

std::optional<Result<CanFrame>> VirtualBusRx::recv_blocking(
    std::optional<Clock::time_point> deadline) {
  auto r = select_blocking(deadline, *this);
  if (!r) return std::nullopt;
  return std::get<0>(std::move(*r));
}

namespace virtual_bus {

Result<VirtualBusEnds> open(std::string_view name, std::size_t capacity) {
  // Declared before the lock so that a last release of it happens after unlocking: eviction
  // takes the registry lock too.
  std::shared_ptr<VirtualChannel> channel;
  {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::string key(name);
    auto it = r.channels.find(key);
    if (it != r.channels.end()) channel = it->second.lock();
    if (!channel) {
      auto made = broadcast::channel<CanFrame>(capacity);
      if (!made) return fail(std::move(made.error()));
      channel = std::make_shared<VirtualChannel>(key, std::move(made->sender));
      if (it != r.channels.end()) {
        it->second = channel;  // replaces a dead entry
      } else {
        r.channels.emplace(std::move(key), channel);
      }
      // The channel's first receiver is dropped here; bus handles subscribe their own below.
    }
  }
  auto receiver = channel->subscribe();
  VirtualBusTx tx(channel);
  return VirtualBusEnds{VirtualBusRx(std::move(channel), std::move(receiver)), std::move(tx)};
}

std::size_t channel_count() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::size_t n = 0;
  // expired() rather than lock(): a strong reference taken here could become the last one and
  // would then evict under this very lock.
  for (const auto& [name, weak] : r.channels) n += !weak.expired();
  return n;
}

}  // namespace virtual_bus
}  // namespace orvik::runtime
