// Builds the process-wide runtime and its worker threads.
#include "runtime/runtime.hpp"

#include <pthread.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace orvik::runtime {

namespace {
void run_worker(boost::asio::io_context& context) {
  pthread_setname_np(pthread_self(), kWorkerThreadName);
  // A work guard keeps run() from returning; the loop only survives a stray fault.
  for (;;) {
    try {
      context.run();
      return;
    } catch (...) {
    }
  }
}
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

Runtime::Runtime(std::size_t workers)
    : context_(static_cast<int>(workers > 1 ? workers : 1)),
      work_(boost::asio::make_work_guard(context_)),
      workers_(workers) {
  for (std::size_t i = 0; i < workers_; ++i) {
    std::thread(run_worker, std::ref(context_)).detach();
  }
}

Runtime& get() {
  static Runtime* runtime = new Runtime(
      worker_count_for(std::getenv(kWorkerThreadsVariable), std::thread::hardware_concurrency()));
  return *runtime;
}

}  // namespace orvik::runtime
