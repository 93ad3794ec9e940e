// Error values with an outer message and a chain of causes; Result<T> for fallible functions.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <utility>

namespace orvik {

class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  Error(std::string message, Error cause)
      : message_(std::move(message)), cause_(std::make_shared<const Error>(std::move(cause))) {}

  // The outermost message, without causes.
  const std::string& message() const { return message_; }
  // The next error down the chain, or nullptr.
  const Error* cause() const { return cause_.get(); }

  // Wraps this error: `outer` becomes the message and this error its cause.
  Error context(std::string outer) && { return Error(std::move(outer), std::move(*this)); }
  Error context(std::string outer) const& { return Error(std::move(outer), *this); }

  // "outer: cause: cause of cause ..."
  std::string chain() const;

 private:
  std::string message_;
  std::shared_ptr<const Error> cause_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected<Error>(Error(std::move(message)));
}
inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }

// Adds context to the error of a failed result; a success passes through.
template <class T>
Result<T> with_context(Result<T>&& result, std::string outer) {
  if (result) return std::move(result);
  return std::unexpected<Error>(std::move(result.error()).context(std::move(outer)));
}

}  // namespace orvik
