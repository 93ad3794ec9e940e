// Small text helpers shared by the error renderings, the docstrings and the DBC loader.
#include "common/text.hpp"

#include <fmt/format.h>

namespace orvik {

std::string debug_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (u < 0x20 || u == 0x7f) {
          out += fmt::format("\\u{{{:x}}}", u);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::optional<Utf8Error> utf8_error(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;  // stays 0 for a byte that cannot start a sequence
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // no overlong forms
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    }
    // Bytes of the sequence that are well-formed so far: the lead, then each one in its range.
    std::size_t good = 1;
    for (; good < len; ++good) {
      if (i + good >= n) return Utf8Error{i, std::nullopt};
      const unsigned char b = s[i + good];
      if (good == 1 ? (b < lo || b > hi) : !is_utf8_continuation(static_cast<char>(b))) break;
    }
    if (good < len || len == 0) return Utf8Error{i, good};
    i += len;
  }
  return std::nullopt;
}

}  // namespace orvik
