// SinkError: the one error value of the SDK bridge, with its five kinds and their texts.
#pragma once

#include <arrow/status.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/text.hpp"

namespace orvik::sdk {

class SinkError {
 public:
  enum class Kind : std::uint8_t { CapsuleNotFound, VersionMismatch, Call, ArrowIpc, Python };

  static SinkError capsule_not_found(std::string_view capsule_name);
  static SinkError version_mismatch(std::uint32_t found, std::uint32_t expected);
  static SinkError call(std::string message);
  static SinkError arrow_ipc(arrow::Status status);
  static SinkError python(std::string message);

  Kind kind() const { return kind_; }
  // The carried text: capsule name (CapsuleNotFound) or message (Call, Python); empty otherwise.
  const std::string& text() const { return text_; }
  std::uint32_t found() const { return found_; }
  std::uint32_t expected() const { return expected_; }

  // The user-facing text of the kind.
  std::string display() const;
  // The kind's name with its payload, e.g. `VersionMismatch { found: 2, expected: 1 }`.
  std::string debug() const;
  // For the layers above: the display as message; ArrowIpc keeps the Arrow error as its cause.
  Error to_error() const;

 private:
  explicit SinkError(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::string text_;
  std::uint32_t found_ = 0;
  std::uint32_t expected_ = 0;
  std::optional<arrow::Status> arrow_;
};

template <class T>
using SinkResult = std::expected<T, SinkError>;

inline std::unexpected<SinkError> sink_fail(SinkError error) {
  return std::unexpected<SinkError>(std::move(error));
}

}  // namespace orvik::sdk
