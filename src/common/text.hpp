// Small text helpers shared by the error renderings, the docstrings and the DBC loader.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvik {

// The text as a debug rendering: quoted, with quotes, backslashes and control bytes escaped.
std::string debug_quoted(std::string_view text);

// A UTF-8 continuation byte (10xxxxxx): never the first byte of a character.
inline bool is_utf8_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The first ill-formed UTF-8 sequence of a text: its byte offset, and its length, the lead byte
// and the bytes after it that were still well-formed (nullopt when the text ends inside it).
struct Utf8Error {
  std::size_t offset;
  std::optional<std::size_t> length;
};
// nullopt for well-formed UTF-8.
std::optional<Utf8Error> utf8_error(std::string_view text);

// `Parts` joined into one NUL-terminated array at compile time, for texts built from shared pieces.
template <const std::string_view&... Parts>
inline constexpr auto kJoined = [] {
  std::array<char, (Parts.size() + ... + 1)> text{};
  auto out = text.begin();
  ((out = std::copy(Parts.begin(), Parts.end(), out)), ...);
  return text;
}();

}  // namespace orvik
