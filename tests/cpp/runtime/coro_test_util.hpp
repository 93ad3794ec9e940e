// Drives coroutines from tests: spawn onto an io_context and collect the result or the fault.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>

namespace orvik::runtime::testing {

// The outcome of a spawned coroutine; filled in by the thread that completes it.
template <class T>
struct Outcome {
  std::optional<T> value;
  std::exception_ptr fault;
  bool done = false;
};

template <class T>
std::shared_ptr<Outcome<T>> start(boost::asio::io_context& context, boost::asio::awaitable<T> task) {
  auto outcome = std::make_shared<Outcome<T>>();
  boost::asio::co_spawn(context, std::move(task), [outcome](std::exception_ptr fault, T value) {
    outcome->fault = fault;
    if (!fault) outcome->value.emplace(std::move(value));
    outcome->done = true;
  });
  return outcome;
}

inline std::shared_ptr<Outcome<bool>> start(boost::asio::io_context& context, boost::asio::awaitable<void> task) {
  auto outcome = std::make_shared<Outcome<bool>>();
  boost::asio::co_spawn(context, std::move(task), [outcome](std::exception_ptr fault) {
    outcome->fault = fault;
    outcome->value = !fault;
    outcome->done = true;
  });
  return outcome;
}

// A callable returning an awaitable, spawned so that the callable (and what a lambda captures)
// lives as long as its coroutine.
template <class F>
  requires std::is_invocable_v<F>
auto start(boost::asio::io_context& context, F&& make_task) {
  using T = typename std::invoke_result_t<F>::value_type;
  if constexpr (std::is_void_v<T>) {
    auto outcome = std::make_shared<Outcome<bool>>();
    boost::asio::co_spawn(context, std::forward<F>(make_task), [outcome](std::exception_ptr fault) {
      outcome->fault = fault;
      outcome->value = !fault;
      outcome->done = true;
    });
    return outcome;
  } else {
    auto outcome = std::make_shared<Outcome<T>>();
    boost::asio::co_spawn(context, std::forward<F>(make_task), [outcome](std::exception_ptr fault, T value) {
      outcome->fault = fault;
      if (!fault) outcome->value.emplace(std::move(value));
      outcome->done = true;
    });
    return outcome;
  }
}

template <class F>
  requires std::is_invocable_v<F>
void run_to_end(boost::asio::io_context& context, F&& make_task) {
  auto outcome = start(context, std::forward<F>(make_task));
  context.restart();
  context.run();
  if (outcome->fault) std::rethrow_exception(outcome->fault);
}

// Runs the context until the task completes; the task must be able to finish.
template <class T>
T run_to_end(boost::asio::io_context& context, boost::asio::awaitable<T> task) {
  auto outcome = start(context, std::move(task));
  context.restart();
  context.run();
  if (outcome->fault) std::rethrow_exception(outcome->fault);
  return std::move(*outcome->value);
}

inline void run_to_end(boost::asio::io_context& context, boost::asio::awaitable<void> task) {
  auto outcome = start(context, std::move(task));
  context.restart();
  context.run();
  if (outcome->fault) std::rethrow_exception(outcome->fault);
}

}  // namespace orvik::runtime::testing

#include <chrono>
#include <thread>

namespace orvik::runtime::testing {

// Polls a condition that another thread will make true; false if it never did within `limit`.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace orvik::runtime::testing
