// Drives coroutines from tests: spawn onto an io_context and collect the result or the fault.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include <exception>
#include <memory>
#include <optional>

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
