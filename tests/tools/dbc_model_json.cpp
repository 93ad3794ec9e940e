// Test tool: `dbc_model_json <path>` loads a DBC file and prints the decode model as JSON.
// Exit status 1 with the error chain on stderr when the file does not load.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "decode/dbc.hpp"

#include "json_text.hpp"

namespace {

using orvik::tools::json_string;

// Python's json module reads NaN and Infinity; the shortest round-trip form keeps every bit.
std::string json_number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
  return fmt::format("{}", v);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: dbc_model_json <path>\n", stderr);
    return 2;
  }
  auto db = orvik::dbc::DecodeDb::from_file(argv[1]);
  if (!db) {
    std::fprintf(stderr, "%s\n", db.error().chain().c_str());
    return 1;
  }
  // Sorted by key so the output is stable.
  std::vector<const orvik::MessageSpec*> messages;
  for (const auto& [key, spec] : db->messages()) messages.push_back(spec.get());
  std::sort(messages.begin(), messages.end(), [](auto* a, auto* b) {
    return std::pair(a->id, a->is_extended) < std::pair(b->id, b->is_extended);
  });

  std::string out = "[";
  for (const auto* m : messages) {
    if (out.size() > 1) out += ",";
    out += fmt::format(
        "\n{{\"name\":{},\"id\":{},\"is_extended\":{},\"size\":{},\"is_multiplexed\":{},"
        "\"multiplexor_index\":{},\"signals\":[",
        json_string(m->name), m->id, m->is_extended, m->size, m->is_multiplexed,
        m->multiplexor_index ? std::to_string(*m->multiplexor_index) : "null");
    bool first = true;
    for (const auto& s : m->signals) {
      if (!first) out += ",";
      first = false;
      std::vector<std::pair<std::uint64_t, std::string>> table(s.value_table.begin(),
                                                               s.value_table.end());
      std::sort(table.begin(), table.end());
      std::string values = "[";
      for (const auto& [value, label] : table) {
        if (values.size() > 1) values += ",";
        values += fmt::format("[{},{}]", value, json_string(label));
      }
      values += "]";
      out += fmt::format(
          "\n {{\"name\":{},\"mux_kind\":{},\"switch_value\":{},\"unit\":{},\"factor\":{},"
          "\"offset\":{},\"start_bit\":{},\"size\":{},\"byte_order\":{},\"is_signed\":{},"
          "\"is_float\":{},\"signal_type\":{},\"value_table\":{}}}",
          json_string(s.name), static_cast<std::uint64_t>(s.mux_kind), s.switch_value,
          json_string(s.unit), json_number(s.factor), json_number(s.offset), s.start_bit, s.size,
          static_cast<unsigned>(s.byte_order), s.is_signed, s.is_float,
          static_cast<unsigned>(s.signal_type), values);
    }
    out += "]}";
  }
  out += "\n]\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
