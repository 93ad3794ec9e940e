// Test tool: writes the IPC stream of an event schema to stdout, so Python can read it back.
//   schema_stream raw                       the "can_raw" schema
//   schema_stream message [NAME=TYPE ...]   a message schema; TYPE is a SignalType name or code
#include <arrow/buffer.h>

#include <cstdio>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "decode/events.hpp"
#include "sdk/ipc.hpp"

namespace {

constexpr std::string_view kTypeNames[] = {"Int8",    "Int16",   "Int32",     "Int64",  "UInt8",
                                           "UInt16",  "UInt32",  "UInt64",    "Float32", "Float64",
                                           "Timestamp", "Binary", "Utf8",     "Boolean"};

bool parse_type(std::string_view text, orvik::SignalType& out) {
  for (std::size_t i = 0; i < std::size(kTypeNames); ++i) {
    if (text == kTypeNames[i] || text == std::to_string(i)) {
      out = static_cast<orvik::SignalType>(i);
      return true;
    }
  }
  return false;
}

int usage() {
  std::fputs("usage: schema_stream raw | schema_stream message [NAME=TYPE ...]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string_view mode = argv[1];
  std::shared_ptr<arrow::Schema> schema;
  if (mode == "raw" && argc == 2) {
    schema = orvik::decode::raw_frame_schema();
  } else if (mode == "message") {
    std::deque<orvik::SignalSpec> signals;
    std::vector<const orvik::SignalSpec*> refs;
    for (int i = 2; i < argc; ++i) {
      const std::string_view arg = argv[i];
      // The last '=' splits, so names may themselves contain '='.
      const auto eq = arg.rfind('=');
      orvik::SignalSpec& signal = signals.emplace_back();
      if (eq == std::string_view::npos || !parse_type(arg.substr(eq + 1), signal.signal_type)) {
        std::fprintf(stderr, "bad signal '%s': want NAME=TYPE\n", argv[i]);
        return 2;
      }
      signal.name = std::string(arg.substr(0, eq));
      refs.push_back(&signal);
    }
    schema = orvik::decode::message_schema(refs);
  } else {
    return usage();
  }
  auto stream = orvik::sdk::encode_schema_stream(schema);
  if (!stream) {
    std::fprintf(stderr, "%s\n", stream.error().display().c_str());
    return 1;
  }
  const auto size = static_cast<std::size_t>((*stream)->size());
  if (std::fwrite((*stream)->data(), 1, size, stdout) != size || std::fflush(stdout) != 0) return 1;
  return 0;
}
