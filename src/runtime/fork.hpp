// The fork generation: which process, of a chain of fork()s, made a value.
//
// The child of a fork() has one thread. The parent's runtime workers, and every task they ran, do
// not exist there, and any lock or condition variable they shared was copied in whatever state it
// was in, possibly held forever. So the child abandons all of it: it builds its own runtime and
// bus registry on first need, and never uses, nor destroys, what a task of the parent might have
// been in the middle of. Values stamped with the generation they were made in tell the two apart.
#pragma once

#include <atomic>
#include <cstdint>

namespace orvik::runtime {

namespace detail {
extern constinit std::atomic<std::uint64_t> g_fork_generation;
}  // namespace detail

// Grows by one in the child of every fork(); never changes in the process that forked.
inline std::uint64_t fork_generation() noexcept {
  return detail::g_fork_generation.load(std::memory_order_relaxed);
}

}  // namespace orvik::runtime
