// ReadNumber: the number entry of every numeric field.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "measurement/Notice.h"

namespace sonarix {

inline constexpr const char* kUnreadableNumber = "Input number can not be read";

// Parses text as a decimal number with the point as the only separator, whatever the locale:
// leading blanks, an optional sign, digits with an optional fraction, an optional exponent,
// and nothing after it. Returns nothing for any other text, and for a number beyond the
// largest double (then *tooLarge is set, where given).
std::optional<double> ParseNumber(std::string_view text, bool* tooLarge = nullptr);

// ParseNumber, or, for an unreadable text, the message "Input number can not be read" and 0.0.
// With the field's caption given, the message names it and the text on a second line, so that
// several unreadable fields give distinct messages. A number beyond the largest double is
// said to be too large ("Time per Step [ms] is too large: "1e400"") and read as infinity of
// its sign, which every field refuses as too large, not as 0. With `out`, the message goes
// there instead of being shown.
double ReadNumber(std::string_view text, std::string_view field = {}, Notices* out = nullptr);
std::string UnreadableNumberMessage(std::string_view text, std::string_view field);

}  // namespace sonarix
