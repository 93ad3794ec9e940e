// Small text helpers shared by the error renderings.
#pragma once

#include <string>
#include <string_view>

namespace orvik {

// The text as a debug rendering: quoted, with quotes, backslashes and control bytes escaped.
std::string debug_quoted(std::string_view text);

}  // namespace orvik
