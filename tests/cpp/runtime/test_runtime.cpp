// The process-wide runtime: worker count from the environment, one instance, named workers.
#include "runtime/runtime.hpp"

#include "coro_test_util.hpp"

#include <gtest/gtest.h>

#include <pthread.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <string>
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
}

TEST(Runtime, OneInstanceWhoseWorkersAreNamedAndRunDetachedTasks) {
  Runtime& rt = get();
  EXPECT_EQ(&rt, &get());
  EXPECT_EQ(rt.worker_count(),
            worker_count_for(std::getenv(kWorkerThreadsVariable), std::thread::hardware_concurrency()));

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
