// Test tool: runs frames through the per-frame step into a recording fake SDK and prints the rows.
//   process_frames <file.dbc> [--raw]   reads "<id> <0|1 extended> <payload hex>" lines on stdin;
//   frame n (from 0) carries the timestamp n seconds, mapped as absolute. For each frame it prints
//   one JSON object: {"counts": [received, decoded, errors, unknown] (this frame's increments),
//   "rows": [{"event", "time_ns", "values": {field: {"type", "value"}}}]} with rows in the order
//   the SDK got them. "value" is an integer for integer and boolean columns, the IEEE bit pattern
//   as an integer for float columns, lower-case hex for binary columns, null for a typed null.
#include <cstdint>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "../cpp/sdk/fake_sdk.hpp"
#include "decode/process_frame.hpp"

#include "json_text.hpp"

namespace {

using namespace orvik;
using sdk::AbiValueTag;

std::string_view tag_name(AbiValueTag tag) {
  switch (tag) {
    case AbiValueTag::Null: return "Null";
    case AbiValueTag::Int8: return "Int8";
    case AbiValueTag::Int16: return "Int16";
    case AbiValueTag::Int32: return "Int32";
    case AbiValueTag::Int64: return "Int64";
    case AbiValueTag::UInt8: return "UInt8";
    case AbiValueTag::UInt16: return "UInt16";
    case AbiValueTag::UInt32: return "UInt32";
    case AbiValueTag::UInt64: return "UInt64";
    case AbiValueTag::Float32: return "Float32";
    case AbiValueTag::Float64: return "Float64";
    case AbiValueTag::Boolean: return "Boolean";
    case AbiValueTag::Binary: return "Binary";
  }
  return "?";
}

using orvik::tools::json_string;

// The value as recorded: signed tags sign-extended from their width. Binary values are read
// through their pointer, which stays valid while the frame lives.
std::string value_json(const sdk::AbiColumn& c) {
  switch (c.tag) {
    case AbiValueTag::Null: return "null";
    case AbiValueTag::Int8: return fmt::format("{}", static_cast<std::int8_t>(c.value));
    case AbiValueTag::Int16: return fmt::format("{}", static_cast<std::int16_t>(c.value));
    case AbiValueTag::Int32: return fmt::format("{}", static_cast<std::int32_t>(c.value));
    case AbiValueTag::Int64: return fmt::format("{}", static_cast<std::int64_t>(c.value));
    case AbiValueTag::Binary: {
      const auto* p = reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(c.value));
      std::string hex = "\"";
      for (std::uint32_t i = 0; i < c.length; ++i) hex += fmt::format("{:02x}", p[i]);
      return hex + "\"";
    }
    default: return fmt::format("{}", c.value);
  }
}

std::vector<std::uint8_t> parse_hex(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string rows_json(const sdk::fake::FakeSdk& fake) {
  std::string out = "[";
  for (const auto& row : fake.rows) {
    if (out.size() > 1) out += ", ";
    std::string values = "{";
    for (const auto& bytes : row.columns) {
      sdk::AbiColumn c;
      std::memcpy(&c, bytes.data(), sizeof c);
      if (values.size() > 1) values += ", ";
      values += fmt::format("{}: {{\"type\": \"{}\", \"value\": {}}}",
                            json_string(fake.resolved.at(c.handle - fake.first_field_handle)),
                            tag_name(c.tag), value_json(c));
    }
    out += fmt::format("{{\"event\": {}, \"time_ns\": {}, \"values\": {}}}}}",
                       json_string(fake.event_name(row.event)), row.time_ns, values);
  }
  return out + "]";
}

}  // namespace

int main(int argc, char** argv) {
  const bool raw = argc == 3 && std::string_view(argv[2]) == "--raw";
  if (argc != 2 && !raw) {
    std::cerr << "usage: process_frames <file.dbc> [--raw] < requests\n";
    return 2;
  }
  sdk::fake::FakeSdk fake;
  sdk::fake::install(fake);
  std::optional<sdk::SourceHandle> raw_src;
  if (raw) raw_src.emplace(&fake.table, fake.new_handle());
  auto core = DecoderCore::create(
      DecoderConfig{DbcSource{DbcSource::File{argv[1]}}, "can", raw, TimestampMode::Absolute},
      sdk::SourceHandle(&fake.table, fake.new_handle()), std::move(raw_src));
  if (!core) {
    std::cerr << core.error().chain() << "\n";
    return 1;
  }
  const Counter counted[] = {Counter::messages_received, Counter::messages_decoded,
                             Counter::decode_errors, Counter::unknown_messages};
  std::string line;
  for (int n = 0; std::getline(std::cin, line); ++n) {
    std::istringstream in(line);
    std::uint32_t id = 0;
    int extended = 0;
    std::string hex;
    in >> id >> extended >> hex;
    CanFrame frame;
    frame.arbitration_id = id;
    frame.is_extended_id = extended != 0;
    frame.timestamp = n;
    frame.set_payload(parse_hex(hex));

    const auto before = core->metrics->snapshot();
    fake.rows.clear();
    process_frame(*core, frame);
    const auto after = core->metrics->snapshot();
    std::string counts;
    for (const Counter c : counted) {
      const auto i = static_cast<std::size_t>(c);
      counts += fmt::format("{}{}", counts.empty() ? "" : ", ", after[i] - before[i]);
    }
    std::cout << fmt::format("{{\"counts\": [{}], \"rows\": {}}}\n", counts, rows_json(fake));
  }
  return 0;
}
