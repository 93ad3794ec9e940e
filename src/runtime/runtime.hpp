// The process-wide runtime: one io_context run by named workers, built once, never shut down.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <exception>
#include <optional>
#include <type_traits>

namespace orvik::runtime {

using Executor = boost::asio::any_io_executor;

inline constexpr const char* kWorkerThreadName = "tokio-rt-worker";
inline constexpr const char* kWorkerThreadsVariable = "TOKIO_WORKER_THREADS";

class Runtime {
 public:
  Executor executor() { return context_.get_executor(); }
  std::size_t worker_count() const { return workers_; }

 private:
  friend Runtime& get();
  explicit Runtime(std::size_t workers);
  boost::asio::io_context context_;
  // Keeps run() from returning while no task is pending.
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::size_t workers_;
};

// The runtime, built on the first call. It is allocated once and never destroyed, so no static
// destructor can race a worker at exit.
Runtime& get();

// Worker count for an environment value (nullptr when unset): the value when it is a positive
// decimal integer, else `processors` (at least 1).
std::size_t worker_count_for(const char* value, std::size_t processors);

// Starts a task that nobody awaits; it ends only through its own loop. A fault escaping the task
// ends that task alone.
inline void spawn(const Executor& executor, boost::asio::awaitable<void> task) {
  boost::asio::co_spawn(executor, std::move(task), [](std::exception_ptr) {});
}

// As above for a callable that makes the task; the callable (a lambda and its captures) lives
// as long as the task.
template <class F>
  requires std::is_invocable_r_v<boost::asio::awaitable<void>, F>
void spawn(const Executor& executor, F&& make_task) {
  boost::asio::co_spawn(executor, std::forward<F>(make_task), [](std::exception_ptr) {});
}

}  // namespace orvik::runtime
