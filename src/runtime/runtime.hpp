// The process-wide runtime: one io_context run by named workers, built once, never shut down.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

namespace orvik::runtime {

using Executor = boost::asio::any_io_executor;

inline constexpr const char* kWorkerThreadName = "tokio-rt-worker";
inline constexpr const char* kWorkerThreadsVariable = "TOKIO_WORKER_THREADS";

class Runtime {
 public:
  // Starts one thread running `body`, or throws (std::thread throws std::system_error).
  using ThreadStarter = std::function<std::thread(std::function<void()>)>;

  // `workers` threads, named kWorkerThreadName, run a new io_context; `start` defaults to
  // std::thread. When a thread fails to start, those already started are stopped and joined
  // before the failure propagates, so none is left running on the context freed by the unwind.
  explicit Runtime(std::size_t workers, const ThreadStarter& start = {});
  // Stops and joins the workers. The process-wide runtime is never destroyed.
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  Executor executor() { return context_.get_executor(); }
  std::size_t worker_count() const { return workers_; }

 private:
  void stop_and_join() noexcept;

  boost::asio::io_context context_;
  // Keeps run() from returning while no task is pending.
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
  std::size_t workers_;
};

// The runtime of this process, built on the first call with worker_count_for(the environment,
// available_processors()) workers. It is allocated once and never destroyed, so no static
// destructor can race a worker at exit. A fork child gets its own on its first call (the
// parent's is abandoned there, see runtime/fork.hpp). When the workers cannot start, the call
// throws, and so does every later call of the process, with the same text and without trying
// again: the cause (a thread or memory limit) rarely passes, and each try would start and join
// a batch of threads.
Runtime& get();

// The CPUs the calling thread may run on (its affinity mask, as `taskset` sets it); the online
// count if the mask cannot be read.
std::size_t available_processors();

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
