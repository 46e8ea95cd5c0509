// ReadNumber.
#include "measurement/ReadNumber.h"

#include <charconv>
#include <limits>
#include <string>

#include "measurement/Messages.h"

namespace sonarix {
namespace {
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
// The typed text in quotes, its first 40 characters.
std::string Quoted(std::string_view text) {
    return "\"" + std::string(text.substr(0, 40)) + (text.size() > 40 ? "...\"" : "\"");
}
}  // namespace

std::optional<double> ParseNumber(std::string_view text, bool* tooLarge) {
    if (tooLarge != nullptr) *tooLarge = false;
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    const size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t digits = 0;
    while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return std::nullopt;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            negativeExponent = text[i++] == '-';
        size_t expDigits = 0;
        while (i < text.size() && IsDigit(text[i])) ++i, ++expDigits;
        if (expDigits == 0) return std::nullopt;
    }
    if (i != text.size()) return std::nullopt;

    // from_chars takes no leading '+' and is independent of the locale.
    std::string_view number = text.substr(start);
    bool negative = false;
    if (number.front() == '+' || number.front() == '-') {
        negative = number.front() == '-';
        number.remove_prefix(1);
    }
    double value = 0.0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value,
                                     std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        if (!negativeExponent) {  // beyond the largest double
            if (tooLarge != nullptr) *tooLarge = true;
            return std::nullopt;
        }
        value = 0.0;  // below the smallest: rounds to zero
    } else if (ec != std::errc() || end != number.data() + number.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::string UnreadableNumberMessage(std::string_view text, std::string_view field) {
    std::string message = kUnreadableNumber;
    if (field.empty()) return message;
    message += "\n";
    message += field;
    message += text.empty() ? std::string(" is empty") : ": " + Quoted(text);
    return message;
}

double ReadNumber(std::string_view text, std::string_view field, Notices* out) {
    bool tooLarge = false;
    if (auto value = ParseNumber(text, &tooLarge)) return *value;
    if (tooLarge) {
        Tell(out, Notice::Reason::Unreadable,
             (field.empty() ? std::string("The number") : std::string(field)) +
                 " is too large: " + Quoted(text));
        const bool negative = text.find('-') < text.find_first_of("0123456789.");
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    }
    Tell(out, Notice::Reason::Unreadable, UnreadableNumberMessage(text, field));
    return 0.0;
}

}  // namespace sonarix
