// The once-only table cell and last-error fetch.
#include "sdk/table.hpp"

#include <atomic>
#include <string>

namespace orvik::sdk {
namespace {
std::atomic<const SdkAbiTable*> g_table{nullptr};
}  // namespace

const SdkAbiTable* cached_table() noexcept { return g_table.load(std::memory_order_acquire); }

const SdkAbiTable* publish_table(const SdkAbiTable* table) noexcept {
  const SdkAbiTable* expected = nullptr;
  if (g_table.compare_exchange_strong(expected, table, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
    return table;
  }
  return expected;
}

SinkError last_error_string(const SdkAbiTable* table) {
  const std::uint8_t* ptr = nullptr;
  std::size_t len = 0;
  table->last_error(&ptr, &len);
  // Copied at once: the SDK owns the buffer and may reuse it on its next call.
  if (ptr != nullptr && len != 0) {
    return SinkError::call(std::string(reinterpret_cast<const char*>(ptr), len));
  }
  return SinkError::call("(no error message)");
}

}  // namespace orvik::sdk
