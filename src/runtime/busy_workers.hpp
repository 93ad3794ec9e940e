// How many of a context's workers run a task right now, so a busy task gives its worker back only
// when no other worker is free.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/execution_context.hpp>
#include <boost/asio/query.hpp>

#include <atomic>
#include <cstddef>

namespace orvik::runtime {

// A service of one execution context. Whoever starts the context's worker threads declares how
// many there are; a context with none declared (one a test drives) never has a free worker, so its
// tasks always give way when their budget is spent. A task counts as running from its first select
// until it ends, except while it is suspended. The count is a hint: relaxed, and briefly stale.
class BusyWorkers final : public boost::asio::execution_context::service {
 public:
  using key_type = BusyWorkers;
  static inline boost::asio::execution_context::id id;

  explicit BusyWorkers(boost::asio::execution_context& context) : service(context) {}

  static BusyWorkers& of(const boost::asio::any_io_executor& executor) {
    return boost::asio::use_service<BusyWorkers>(
        boost::asio::query(executor, boost::asio::execution::context));
  }

  void declare_workers(std::size_t workers) {
    workers_.store(workers, std::memory_order_relaxed);
  }
  void enter() noexcept { running_.fetch_add(1, std::memory_order_relaxed); }
  void leave() noexcept { running_.fetch_sub(1, std::memory_order_relaxed); }
  bool worker_free() const noexcept {
    return running_.load(std::memory_order_relaxed) < workers_.load(std::memory_order_relaxed);
  }

 private:
  void shutdown() override {}

  // Every suspension and resumption of every task writes it: kept off the line of the other.
  alignas(64) std::atomic<std::size_t> running_{0};
  alignas(64) std::atomic<std::size_t> workers_{0};
};

}  // namespace orvik::runtime
