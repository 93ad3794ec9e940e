// An SDK table whose slots accept everything and keep nothing, so a benchmark measures the
// bridge's and the decoder's own work. Every handle it gives out is `accepted_handle()`.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>

#include "sdk/abi.hpp"

namespace {

inline void* accepted_handle() {
  static int handle;
  return &handle;
}

extern "C" {
inline std::int32_t accept_log(void*, std::int64_t, const orvik::sdk::AbiColumn* columns,
                               std::size_t n) {
  benchmark::DoNotOptimize(columns);
  benchmark::DoNotOptimize(n);
  return 0;
}
inline std::int32_t accept_event(void*, const std::uint8_t*, std::size_t, const std::uint8_t*,
                                 std::size_t, void** out) {
  *out = accepted_handle();
  return 0;
}
inline std::int32_t accept_field(void*, const std::uint8_t*, std::size_t, std::uint32_t* out) {
  *out = 1;
  return 0;
}
inline std::int32_t accept_table(void*, const std::uint8_t*, std::size_t, const std::uint64_t*,
                                 std::size_t, const std::uint8_t*, const std::uint32_t*) {
  return 0;
}
inline void release_nothing(void*) {}
}

inline const orvik::sdk::SdkAbiTable* accepting_sdk() {
  static const orvik::sdk::SdkAbiTable table = [] {
    orvik::sdk::SdkAbiTable t{};
    t.abi_version = orvik::sdk::kAbiVersion;
    t.release_source = release_nothing;
    t.evt_add_event = accept_event;
    t.release_event = release_nothing;
    t.resolve_field = accept_field;
    t.add_value_table = accept_table;
    t.log_at = accept_log;
    return t;
  }();
  return &table;
}

}  // namespace
