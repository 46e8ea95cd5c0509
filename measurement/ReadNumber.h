// ReadNumber: the number entry of every numeric field.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sonarix {

inline constexpr const char* kUnreadableNumber = "Input number can not be read";

// Parses text as a decimal number with the point as the only separator, whatever the locale:
// leading blanks, an optional sign, digits with an optional fraction, an optional exponent,
// and nothing after it. Returns nothing for any other text.
std::optional<double> ParseNumber(std::string_view text);

// ParseNumber, or, for an unreadable text, the message "Input number can not be read" and 0.0.
// With the field's caption given, the message names it and the text on a second line, so that
// several unreadable fields give distinct messages.
double ReadNumber(std::string_view text, std::string_view field = {});
std::string UnreadableNumberMessage(std::string_view text, std::string_view field);

}  // namespace sonarix
