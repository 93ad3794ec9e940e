// Small text helpers shared by the error renderings and the docstrings.
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

namespace orvik {

// The text as a debug rendering: quoted, with quotes, backslashes and control bytes escaped.
std::string debug_quoted(std::string_view text);

// `Parts` joined into one NUL-terminated array at compile time, for texts built from shared pieces.
template <const std::string_view&... Parts>
inline constexpr auto kJoined = [] {
  std::array<char, (Parts.size() + ... + 1)> text{};
  auto out = text.begin();
  ((out = std::copy(Parts.begin(), Parts.end(), out)), ...);
  return text;
}();

}  // namespace orvik
