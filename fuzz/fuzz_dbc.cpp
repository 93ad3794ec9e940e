// libFuzzer target: any byte string given to DecodeDb::from_dbc_str loads or fails cleanly.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "decode/dbc.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto db = orvik::dbc::DecodeDb::from_dbc_str(text);
  if (db) {
    // Walk the model so a corrupt one would show under the sanitizers.
    std::size_t total = 0;
    for (const auto& [key, message] : db->messages()) {
      total += message->signals.size() + message->name.size();
      if (message->multiplexor_index && *message->multiplexor_index >= message->signals.size()) {
        __builtin_trap();
      }
      for (const auto& s : message->signals) total += s.name.size() + s.value_table.size();
      const orvik::ExtendedMux& mux = message->extended_mux;
      for (const orvik::MuxSwitch& sw : mux.switches) {
        const bool top = sw.parent == orvik::kTopSwitch;
        if (sw.signal >= message->signals.size() || sw.members_begin >= sw.members_end ||
            sw.members_end > mux.members.size() || (!top && sw.member >= mux.members.size()) ||
            (!top && sw.parent >= static_cast<std::size_t>(&sw - mux.switches.data()))) {
          __builtin_trap();  // every switch selects something, and its parent comes before it
        }
      }
    }
    (void)total;
  } else if (db.error().message().rfind("DBC parse error: ", 0) != 0) {
    __builtin_trap();
  }
  return 0;
}
