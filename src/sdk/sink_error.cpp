// Texts, debug forms and error-chain conversion of SinkError.
#include "sdk/sink_error.hpp"

#include <fmt/format.h>

#include <utility>

namespace orvik::sdk {

SinkError SinkError::capsule_not_found(std::string_view capsule_name) {
  SinkError e(Kind::CapsuleNotFound);
  e.text_ = std::string(capsule_name);
  return e;
}

SinkError SinkError::version_mismatch(std::uint32_t found, std::uint32_t expected) {
  SinkError e(Kind::VersionMismatch);
  e.found_ = found;
  e.expected_ = expected;
  return e;
}

SinkError SinkError::call(std::string message) {
  SinkError e(Kind::Call);
  e.text_ = std::move(message);
  return e;
}

SinkError SinkError::arrow_ipc(arrow::Status status) {
  SinkError e(Kind::ArrowIpc);
  e.arrow_ = std::move(status);
  return e;
}

SinkError SinkError::python(std::string message) {
  SinkError e(Kind::Python);
  e.text_ = std::move(message);
  return e;
}

std::string SinkError::display() const {
  switch (kind_) {
    case Kind::CapsuleNotFound:
      return fmt::format(
          "orvik-sdk ABI capsule '{}' not found in sys.modules \u2014 is orvik-sdk installed and "
          "imported?",
          text_);
    case Kind::VersionMismatch:
      return fmt::format(
          "orvik-sdk ABI version mismatch: capsule advertises v{}, consumer compiled for v{}. "
          "Reinstall packages to matching versions.",
          found_, expected_);
    case Kind::Call:
      return fmt::format("orvik-sdk ABI call failed: {}", text_);
    case Kind::ArrowIpc:
      return fmt::format("arrow ipc error: {}", arrow_->ToString());
    case Kind::Python:
      return fmt::format("python error during capsule discovery: {}", text_);
  }
  return {};
}

std::string SinkError::debug() const {
  switch (kind_) {
    case Kind::CapsuleNotFound:
      return fmt::format("CapsuleNotFound({})", debug_quoted(text_));
    case Kind::VersionMismatch:
      return fmt::format("VersionMismatch {{ found: {}, expected: {} }}", found_, expected_);
    case Kind::Call:
      return fmt::format("Call({})", debug_quoted(text_));
    case Kind::ArrowIpc:
      return fmt::format("ArrowIpc({})", debug_quoted(arrow_->ToString()));
    case Kind::Python:
      return fmt::format("Python({})", debug_quoted(text_));
  }
  return {};
}

Error SinkError::to_error() const {
  if (kind_ == Kind::ArrowIpc) return Error(display(), Error(arrow_->ToString()));
  return Error(display());
}

}  // namespace orvik::sdk
