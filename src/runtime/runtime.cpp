// Builds the process-wide runtime and its worker threads, and gives a fork child its own.
#include "runtime/runtime.hpp"

#include "runtime/busy_workers.hpp"
#include "runtime/fork.hpp"

#include <fmt/format.h>
#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

namespace orvik::runtime {

namespace detail {
constinit std::atomic<std::uint64_t> g_fork_generation{0};
}  // namespace detail

namespace {

void run_worker(boost::asio::io_context& context) {
  pthread_setname_np(pthread_self(), kWorkerThreadName);
  // A work guard keeps run() from returning until stop(); the loop only survives a stray fault.
  for (;;) {
    try {
      context.run();
      return;
    } catch (...) {
    }
  }
}

// The process's runtime and what building it found. Constant-initialised and trivially
// destructible: nothing here is torn down at exit.
constinit std::mutex g_build;                    // serialises the build; held across fork()
constinit std::atomic<Runtime*> g_runtime{nullptr};
constinit const std::string* g_failure = nullptr;  // under g_build; set once, never freed

// Taking the build lock across fork() means the child never inherits it held by a thread that
// does not exist there.
void before_fork() noexcept { g_build.lock(); }
void after_fork_in_parent() noexcept { g_build.unlock(); }
void after_fork_in_child() noexcept {
  // The parent's workers are gone and its runtime's locks may be held forever: abandon it,
  // never destroy it. The child builds its own on first need, and may try once itself.
  g_runtime.store(nullptr, std::memory_order_relaxed);
  g_failure = nullptr;
  detail::g_fork_generation.fetch_add(1, std::memory_order_relaxed);
  g_build.unlock();
}
[[maybe_unused]] const int g_fork_handlers =
    pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);

}  // namespace

std::size_t worker_count_for(const char* value, std::size_t processors) {
  const std::size_t fallback = processors == 0 ? 1 : processors;
  if (value == nullptr) return fallback;
  const char* end = value + std::strlen(value);
  std::size_t n = 0;
  auto [ptr, ec] = std::from_chars(value, end, n);
  if (ec != std::errc() || ptr != end || ptr == value || n == 0) return fallback;
  return n;
}

std::size_t available_processors() {
  // The mask may be wider than cpu_set_t on hosts with very many CPUs: grow until it fits.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 22); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    const int status = sched_getaffinity(0, size, set);
    const int error = errno;
    const int count = status == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (status == 0) return static_cast<std::size_t>(count);
    if (error != EINVAL) break;
  }
  return std::thread::hardware_concurrency();
}

Runtime::Runtime(std::size_t workers, const ThreadStarter& start)
    : context_(static_cast<int>(workers > 1 ? workers : 1)),
      work_(boost::asio::make_work_guard(context_)),
      workers_(workers) {
  BusyWorkers::of(context_.get_executor()).declare_workers(workers_);
  threads_.reserve(workers_);
  try {
    for (std::size_t i = 0; i < workers_; ++i) {
      auto body = [this] { run_worker(context_); };
      threads_.push_back(start ? start(body) : std::thread(body));
    }
  } catch (...) {
    stop_and_join();
    throw;
  }
}

Runtime::~Runtime() { stop_and_join(); }

void Runtime::stop_and_join() noexcept {
  context_.stop();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
}

Runtime& get() {
  if (Runtime* runtime = g_runtime.load(std::memory_order_acquire)) return *runtime;
  std::lock_guard lock(g_build);
  if (Runtime* runtime = g_runtime.load(std::memory_order_acquire)) return *runtime;
  if (g_failure != nullptr) throw std::runtime_error(*g_failure);
  try {
    auto* runtime = new Runtime(
        worker_count_for(std::getenv(kWorkerThreadsVariable), available_processors()));
    g_runtime.store(runtime, std::memory_order_release);
    return *runtime;
  } catch (const std::exception& e) {
    g_failure = new std::string(fmt::format("cannot start the runtime's worker threads: {}",
                                            e.what()));
    throw std::runtime_error(*g_failure);
  }
}

}  // namespace orvik::runtime
