// Runs the DBC grammar over a text and turns a raised failure into a ParseFailure.
#include "decode/dbc_parse.hpp"

#include <fmt/format.h>

#include <tao/pegtl.hpp>

#include "decode/dbc_actions.hpp"
#include "decode/dbc_errors.hpp"
#include "decode/dbc_grammar.hpp"

namespace orvik::dbc {

namespace {

constexpr std::size_t kFoundBytes = 24;

// The string as a debug rendering: quoted, with quotes, backslashes and control bytes escaped.
std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          out += fmt::format("\\u{{{:x}}}", static_cast<unsigned>(static_cast<unsigned char>(c)));
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

ParseFailure make_failure(std::string_view text, std::size_t at, std::string kind,
                          const char* statement, std::string expected) {
  ParseFailure f;
  f.kind = std::move(kind);
  f.statement = statement ? statement : "";
  f.expected = std::move(expected);
  f.line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < at; ++i) {
    if (text[i] == '\n') {
      ++f.line;
      line_start = i + 1;
    }
  }
  f.column = 1;
  for (std::size_t i = line_start; i < at; ++i) f.column += !is_continuation(text[i]);

  if (at >= text.size()) {
    f.found = "end of input";
  } else {
    std::size_t end = at;
    while (end < text.size() && end - at < kFoundBytes && text[end] != '\n' && text[end] != '\r') {
      ++end;
    }
    while (end < text.size() && end > at && is_continuation(text[end])) --end;  // whole characters
    f.found = text.substr(at, end - at);
    if (f.found.empty()) f.found = "end of line";
  }
  return f;
}

}  // namespace

std::string ParseFailure::debug() const {
  std::string out = fmt::format("{} {{ line: {}, column: {}", kind, line, column);
  if (!statement.empty()) out += fmt::format(", statement: {}", debug_quoted(statement));
  out += fmt::format(", expected: {}, found: {} }}", debug_quoted(expected), debug_quoted(found));
  return out;
}

std::optional<std::size_t> utf8_error_offset(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
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
    } else {
      return i;
    }
    if (i + len > n || s[i + 1] < lo || s[i + 1] > hi) return i;
    for (std::size_t k = 2; k < len; ++k) {
      if (!is_continuation(static_cast<char>(s[i + k]))) return i;
    }
    i += len;
  }
  return std::nullopt;
}

std::expected<ParsedDbc, ParseFailure> parse_dbc(std::string_view text) {
  if (auto bad = utf8_error_offset(text)) {
    return std::unexpected(make_failure(text, *bad, "InvalidUtf8", nullptr, "valid UTF-8 text"));
  }
  namespace pegtl = tao::pegtl;
  pegtl::memory_input<pegtl::tracking_mode::lazy, pegtl::eol::lf_crlf> in(text.data(), text.size(),
                                                                          "dbc");
  grammar::ParseState state;
  try {
    pegtl::parse<grammar::dbc_file, grammar::action, grammar::control>(in, state);
  } catch (const grammar::RaisedFailure& raised) {
    return std::unexpected(make_failure(text, static_cast<std::size_t>(raised.where - text.data()),
                                        raised.kind, state.track.name, raised.expected));
  }
  return std::move(state.items);
}

}  // namespace orvik::dbc
