// DecodeDb loading: from a DBC text or file to the decode model.
#include "decode/dbc.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fmt/format.h>

#include "common/text.hpp"
#include "decode/dbc_model.hpp"
#include "decode/dbc_parse.hpp"

namespace orvik::dbc {

namespace {

// The operating system's text for an errno, as "No such file or directory (os error 2)".
Error os_error(int code) {
  return Error(fmt::format("{} (os error {})", std::strerror(code), code));
}

Result<std::string> read_all(const std::string& path) {
  // open() would stop at the NUL and read some other file.
  if (path.find('\0') != std::string::npos) {
    return fail("file name contained an unexpected NUL byte");
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(os_error(errno));
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int code = errno;
      ::close(fd);
      return fail(os_error(code));
    }
  }
  ::close(fd);
  return text;
}

}  // namespace

Result<DecodeDb> DecodeDb::from_dbc_str(std::string_view text) {
  auto items = parse_dbc(text);
  if (!items) return fail(dbc_parse_error(items.error()));
  return build_decode_db(std::move(*items));
}

Result<DecodeDb> DecodeDb::from_file(const std::string& path) {
  auto text = read_all(path);
  if (!text) {
    return fail(std::move(text.error()).context(fmt::format("Failed to read DBC file: {}", path)));
  }
  if (const auto bad = utf8_error(*text)) {
    // Where the first bad byte is, for a file saved in a legacy code page (a Windows-1252 degree
    // sign, say).
    const TextPosition at = position_at(*text, bad->offset);
    Error where(fmt::format("{} (line {}, column {})", utf8_message(*bad), at.line, at.column));
    return fail(Error(fmt::format("Failed to read DBC file: {}", path),
                      Error("stream did not contain valid UTF-8", std::move(where))));
  }
  return from_dbc_str(*text);
}

Error dbc_parse_error(const ParseFailure& failure) {
  return Error(fmt::format("DBC parse error: {}", failure.debug()));
}

}  // namespace orvik::dbc
