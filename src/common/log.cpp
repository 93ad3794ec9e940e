// The logging facade's subscriber slot and the capturing subscriber.
#include "common/log.hpp"

namespace orvik::log {

namespace detail {
std::atomic<bool> g_any_subscriber{false};
}

namespace {
// Leaked on purpose: worker threads may log during process exit.
struct Slot {
  std::mutex mutex;
  std::shared_ptr<Subscriber> subscriber;
};
Slot& slot() {
  static Slot* s = new Slot();
  return *s;
}
std::shared_ptr<Subscriber> current() {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  return s.subscriber;
}
}  // namespace

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Trace: return "TRACE";
    case Level::Debug: return "DEBUG";
    case Level::Info: return "INFO";
    case Level::Warn: return "WARN";
    case Level::Error: return "ERROR";
  }
  return "?";
}

void set_subscriber(std::shared_ptr<Subscriber> subscriber) {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  detail::g_any_subscriber.store(subscriber != nullptr, std::memory_order_relaxed);
  s.subscriber = std::move(subscriber);
}

bool detail::enabled_slow(Level level, std::string_view target) {
  auto sub = current();
  return sub && sub->enabled(level, target);
}

void detail::dispatch(Level level, std::string_view target, std::string message,
                      std::vector<Field> fields) {
  auto sub = current();
  if (!sub) return;
  sub->on_event(Event{level, std::string(target), std::move(message), std::move(fields)});
}

void CapturingSubscriber::on_event(const Event& event) {
  std::lock_guard lock(mutex_);
  events_.push_back(event);
}

std::vector<Event> CapturingSubscriber::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::size_t CapturingSubscriber::count(std::string_view message) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& e : events_) n += e.message == message;
  return n;
}

void CapturingSubscriber::clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

ScopedCapture::ScopedCapture(Level min_level)
    : capture_(std::make_shared<CapturingSubscriber>(min_level)) {
  set_subscriber(capture_);
}
ScopedCapture::~ScopedCapture() { set_subscriber(nullptr); }

}  // namespace orvik::log
