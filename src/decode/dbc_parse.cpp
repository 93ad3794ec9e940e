// Runs the DBC grammar over a text and turns a raised failure into a ParseFailure.
#include "decode/dbc_parse.hpp"

#include <fmt/format.h>

#include <tao/pegtl.hpp>

#include "common/text.hpp"
#include "decode/dbc_actions.hpp"
#include "decode/dbc_errors.hpp"
#include "decode/dbc_grammar.hpp"

namespace orvik::dbc {

namespace {

constexpr std::size_t kFoundBytes = 24;

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
  for (std::size_t i = line_start; i < at; ++i) f.column += !is_utf8_continuation(text[i]);

  if (at >= text.size()) {
    f.found = "end of input";
  } else {
    std::size_t end = at;
    while (end < text.size() && end - at < kFoundBytes && text[end] != '\n' && text[end] != '\r') {
      ++end;
    }
    // Whole characters only.
    while (end < text.size() && end > at && is_utf8_continuation(text[end])) --end;
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

std::expected<ParsedDbc, ParseFailure> parse_dbc(std::string_view text) {
  if (const auto bad = utf8_error(text)) {
    return std::unexpected(
        make_failure(text, bad->offset, "InvalidUtf8", nullptr, "valid UTF-8 text"));
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
