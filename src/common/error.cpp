// Rendering of error chains.
#include "common/error.hpp"

namespace orvik {

std::string Error::chain() const {
  std::string out = message_;
  for (const Error* e = cause(); e != nullptr; e = e->cause()) {
    out += ": ";
    out += e->message();
  }
  return out;
}

}  // namespace orvik
