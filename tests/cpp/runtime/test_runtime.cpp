// The process-wide runtime: worker count from the environment, one instance, named workers.
#include "runtime/runtime.hpp"

#include "coro_test_util.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <system_error>
#include <thread>

namespace orvik::runtime {
namespace {

TEST(Runtime, WorkerCountComesFromAPositiveIntegerElseTheProcessors) {
  const std::pair<const char*, std::size_t> cases[] = {
      {nullptr, 6}, {"3", 3}, {"1", 1}, {"0", 6},     {"-2", 6},  {"", 6},
      {"abc", 6},   {"4x", 6}, {" 4", 6}, {"+4", 6}, {"18446744073709551616", 6},
  };
  for (auto [value, expected] : cases) {
    EXPECT_EQ(worker_count_for(value, 6), expected) << (value ? value : "(unset)");
  }
  EXPECT_EQ(worker_count_for(nullptr, 0), 1u);

  // The processors are the ones this thread may run on: under `taskset -c 0,1`, two.
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  EXPECT_EQ(available_processors(), static_cast<std::size_t>(CPU_COUNT(&allowed)));
  cpu_set_t first_two;
  CPU_ZERO(&first_two);
  for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&first_two) < 2; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) CPU_SET(cpu, &first_two);
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof first_two, &first_two), 0);
  const std::size_t pinned = available_processors();
  ASSERT_EQ(sched_setaffinity(0, sizeof allowed, &allowed), 0);
  EXPECT_EQ(pinned, static_cast<std::size_t>(CPU_COUNT(&first_two)));
  EXPECT_EQ(worker_count_for(nullptr, pinned), pinned);
}

TEST(Runtime, AWorkerThatCannotStartStopsAndJoinsTheOnesStartedBeforeTheFailurePropagates) {
  std::atomic<int> finished{0};
  int started = 0;
  auto start = [&](std::function<void()> body) {
    if (started == 3) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    ++started;
    return std::thread([&finished, body = std::move(body)] {
      body();
      ++finished;
    });
  };
  EXPECT_THROW(Runtime(8, start), std::system_error);
  EXPECT_EQ(started, 3);
  // Joined before the throw: no worker is left on the io_context that the unwind freed.
  EXPECT_EQ(finished.load(), 3);
}

TEST(Runtime, OneInstanceWhoseWorkersAreNamedAndRunDetachedTasks) {
  Runtime& rt = get();
  EXPECT_EQ(&rt, &get());
  EXPECT_EQ(rt.worker_count(),
            worker_count_for(std::getenv(kWorkerThreadsVariable), available_processors()));

  std::promise<std::string> name;
  spawn(rt.executor(), [&]() -> boost::asio::awaitable<void> {
    char buf[32] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    name.set_value(buf);
    co_return;
  });
  EXPECT_EQ(name.get_future().get(), kWorkerThreadName);

  // Workers name themselves as they start, which may still be under way.
  auto named = [] {
    std::size_t n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      std::ifstream comm(task.path() / "comm");
      std::string line;
      std::getline(comm, line);
      n += line == kWorkerThreadName;
    }
    return n;
  };
  EXPECT_TRUE(testing::eventually([&] { return named() == rt.worker_count(); }));
  EXPECT_EQ(named(), rt.worker_count());
}

TEST(Runtime, AFaultingTaskEndsAloneAndTheRuntimeGoesOn) {
  Runtime& rt = get();
  spawn(rt.executor(), []() -> boost::asio::awaitable<void> {
    throw std::runtime_error("task fault");
    co_return;
  });
  std::promise<void> ran;
  spawn(rt.executor(), [&]() -> boost::asio::awaitable<void> {
    ran.set_value();
    co_return;
  });
  ran.get_future().get();
}

}  // namespace
}  // namespace orvik::runtime
