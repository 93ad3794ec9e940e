// Structured logging facade: level, target, message and named fields. No subscriber is installed by
// default, so a disabled event costs one relaxed atomic load and formats nothing.
#pragma once

#include <fmt/format.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvik::log {

enum class Level : std::uint8_t { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4 };
std::string_view level_name(Level level);

using FieldValue = std::variant<std::string, std::uint64_t, std::int64_t, double, bool>;

struct Field {
  std::string name;
  FieldValue value;
};

struct Event {
  Level level;
  std::string target;
  std::string message;        // the `message` field
  std::vector<Field> fields;  // named fields besides `message`, in the order given
};

class Subscriber {
 public:
  virtual ~Subscriber() = default;
  virtual bool enabled(Level level, std::string_view target) const = 0;
  virtual void on_event(const Event& event) = 0;
};

// Installs (or, with nullptr, removes) the process-wide subscriber.
void set_subscriber(std::shared_ptr<Subscriber> subscriber);

namespace detail {
extern std::atomic<bool> g_any_subscriber;
bool enabled_slow(Level level, std::string_view target);
void dispatch(Level level, std::string_view target, std::string message, std::vector<Field> fields);
}  // namespace detail

inline bool enabled(Level level, std::string_view target) {
  if (!detail::g_any_subscriber.load(std::memory_order_relaxed)) return false;
  return detail::enabled_slow(level, target);
}

// Formats and delivers an event only when a subscriber wants it.
template <class... Args>
void event(Level level, std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  if (!enabled(level, target)) return;
  detail::dispatch(level, target, fmt::format(format, std::forward<Args>(args)...), {});
}

// As event(), with named fields; `make_fields` runs only when the event is delivered.
template <class MakeFields, class... Args>
void event_with(Level level, std::string_view target, MakeFields&& make_fields,
                fmt::format_string<Args...> format, Args&&... args) {
  if (!enabled(level, target)) return;
  detail::dispatch(level, target, fmt::format(format, std::forward<Args>(args)...),
                   std::vector<Field>(make_fields()));
}

// Records every event at or above a level; for tests.
class CapturingSubscriber : public Subscriber {
 public:
  explicit CapturingSubscriber(Level min_level = Level::Trace) : min_level_(min_level) {}
  bool enabled(Level level, std::string_view) const override { return level >= min_level_; }
  void on_event(const Event& event) override;

  std::vector<Event> events() const;
  // Events whose message equals `message` exactly.
  std::size_t count(std::string_view message) const;
  void clear();

 private:
  Level min_level_;
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

// Installs a CapturingSubscriber for the lifetime of the guard (tests).
class ScopedCapture {
 public:
  explicit ScopedCapture(Level min_level = Level::Trace);
  ~ScopedCapture();
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;
  CapturingSubscriber& operator*() { return *capture_; }
  CapturingSubscriber* operator->() { return capture_.get(); }

 private:
  std::shared_ptr<CapturingSubscriber> capture_;
};

}  // namespace orvik::log
