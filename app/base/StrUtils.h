#pragma once

#include <string>
#include <vector>

namespace StrUtils {

// Cuts text at every delimiter, keeping empty pieces between delimiters, but
// nothing after a trailing one: "a..b" gives a, "", b; "a.b." gives a, b; an
// empty text gives no pieces.
std::vector<std::string> splitStr(const std::string& text, char delimiter);

} // namespace StrUtils
