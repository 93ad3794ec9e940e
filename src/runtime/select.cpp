// The per-thread random generator behind the select's random first source.
#include "runtime/select.hpp"

#include <functional>
#include <random>
#include <thread>

namespace orvik::runtime {

namespace {
std::uint64_t seed_for_this_thread() {
  std::random_device device;
  std::uint64_t seed = (std::uint64_t{device()} << 32) ^ device();
  seed ^= std::hash<std::thread::id>{}(std::this_thread::get_id());
  return seed == 0 ? 0x9e3779b97f4a7c15ull : seed;
}
}  // namespace

std::uint32_t random_below(std::uint32_t n) {
  thread_local std::uint64_t state = seed_for_this_thread();
  // xorshift64*
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  const auto r = static_cast<std::uint32_t>((state * 0x2545f4914f6cdd1dull) >> 32);
  // Multiply-shift reduction: bias below 2^-32 for the handful of sources a select has.
  return static_cast<std::uint32_t>((std::uint64_t{r} * n) >> 32);
}

}  // namespace orvik::runtime
