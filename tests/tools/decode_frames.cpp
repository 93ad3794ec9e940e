// Test tool: decodes frames against a DBC with the codec functions and prints the values as JSON.
//   decode_frames <file.dbc>   reads "<id> <0|1 extended> <payload hex>" lines on stdin and prints
//   one JSON object per line: {"unknown": true}, or {"base": [...], "mux": null | {"selector": n,
//   "signals": [...]}} where each entry is {"name", "type", "value"} and "value" is null when
//   absent, an integer for integer types, or the IEEE bit pattern as an integer for float types.
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "decode/dbc.hpp"
#include "decode/signal.hpp"

#include "json_text.hpp"

namespace {

using namespace orvik;

std::string_view type_name(ValueKind kind) {
  switch (kind) {
    case ValueKind::Boolean: return "Boolean";
    case ValueKind::Int8: return "Int8";
    case ValueKind::Int16: return "Int16";
    case ValueKind::Int32: return "Int32";
    case ValueKind::Int64: return "Int64";
    case ValueKind::UInt8: return "UInt8";
    case ValueKind::UInt16: return "UInt16";
    case ValueKind::UInt32: return "UInt32";
    case ValueKind::UInt64: return "UInt64";
    case ValueKind::Float32: return "Float32";
    case ValueKind::Float64: return "Float64";
  }
  return "?";
}

using orvik::tools::json_string;

std::string entries(const SignalRefs& refs, const std::optional<RowValues>& row) {
  std::string out = "[";
  for (std::size_t i = 0; i < refs.size(); ++i) {
    if (i) out += ", ";
    const auto& value = row ? (*row)[i] : std::optional<DecodedValue>{};
    std::string text = "null";
    std::string_view type = "absent";
    if (value) {
      type = type_name(value->kind);
      text = value->is_signed_int() ? fmt::format("{}", value->as_i64())
                                    : fmt::format("{}", value->as_u64());
    }
    out += fmt::format("{{\"name\": {}, \"type\": \"{}\", \"value\": {}}}",
                       json_string(refs[i]->name), type, text);
  }
  return out + "]";
}

std::vector<std::uint8_t> parse_hex(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: decode_frames <file.dbc> < requests\n";
    return 2;
  }
  auto db = dbc::DecodeDb::from_file(argv[1]);
  if (!db) {
    std::cerr << db.error().chain() << "\n";
    return 1;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::uint32_t id = 0;
    int extended = 0;
    std::string hex;
    in >> id >> extended >> hex;
    const auto payload = parse_hex(hex);
    const auto* found = db->find(id, extended != 0);
    if (!found) {
      std::cout << "{\"unknown\": true}\n";
      continue;
    }
    const MessageSpec& message = **found;
    const auto base = decode::base_signals(message);
    std::string mux = "null";
    if (const auto selection = decode::decode_mux_signals(payload, message)) {
      mux = fmt::format("{{\"selector\": {}, \"signals\": {}}}", selection->selector,
                        entries(selection->signals, decode::decode_signals(selection->signals, payload)));
    }
    std::cout << fmt::format("{{\"base\": {}, \"mux\": {}}}\n",
                             entries(base, decode::decode_signals(base, payload)), mux);
  }
  return 0;
}
