// JSON string quoting shared by the test tools.
#pragma once

#include <fmt/format.h>

#include <string>
#include <string_view>

namespace orvik::tools {

inline std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      out += fmt::format("\\u{:04x}", u);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace orvik::tools
