// The SCPI language: errors, parsing and response data.
#include "remote/Scpi.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>

namespace sonarix::scpi {

const char* ErrorText(int code) {
    switch (code) {
        case kNoError:
            return "No error";
        case kCommandError:
            return "Command error";
        case kInvalidCharacter:
            return "Invalid character";
        case kSyntaxError:
            return "Syntax error";
        case kInvalidSeparator:
            return "Invalid separator";
        case kDataTypeError:
            return "Data type error";
        case kParameterNotAllowed:
            return "Parameter not allowed";
        case kMissingParameter:
            return "Missing parameter";
        case kHeaderSeparatorError:
            return "Header separator error";
        case kProgramMnemonicTooLong:
            return "Program mnemonic too long";
        case kUndefinedHeader:
            return "Undefined header";
        case kHeaderSuffixOutOfRange:
            return "Header suffix out of range";
        case kNumericDataError:
            return "Numeric data error";
        case kInvalidSuffix:
            return "Invalid suffix";
        case kCharacterDataError:
            return "Character data error";
        case kStringDataError:
            return "String data error";
        case kBlockDataNotAllowed:
            return "Block data not allowed";
        case kExecutionError:
            return "Execution error";
        case kInitIgnored:
            return "Init ignored";
        case kSettingsConflict:
            return "Settings conflict";
        case kDataOutOfRange:
            return "Data out of range";
        case kIllegalParameterValue:
            return "Illegal parameter value";
        case kHardwareError:
            return "Hardware error";
        case kHardwareMissing:
            return "Hardware missing";
        case kMassStorageError:
            return "Mass storage error";
        case kFileNameNotFound:
            return "File name not found";
        case kQueueOverflow:
            return "Queue overflow";
        case kInputBufferOverrun:
            return "Input buffer overrun";
        case kQueryInterrupted:
            return "Query INTERRUPTED";
        case kQueryUnterminated:
            return "Query UNTERMINATED";
        default:
            return "Error";
    }
}

void Status::Push(int code, const std::string& detail) {
    if (code <= -100 && code > -200) events |= kCommandErrorBit;
    if (code <= -200 && code > -300) events |= kExecutionErrorBit;
    if (code <= -300 && code > -400) events |= kDeviceError;
    if (code <= -400 && code > -500) events |= kQueryError;
    std::string text = ErrorText(code);
    if (!detail.empty()) text += ";" + detail;
    // One line: a response message ends at its newline (the program's messages have several
    // lines, and a client's text may hold anything).
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = ' ';
    }
    // The text is a string of response data: a double quote inside is doubled.
    std::string entry = std::to_string(code) + "," + QuoteString(text);
    if (m_entries.size() >= kCapacity) {
        m_entries.back() = std::to_string(kQueueOverflow) + "," + QuoteString("Queue overflow");
        return;
    }
    m_entries.push_back(std::move(entry));
}

std::string Status::Pop() {
    if (m_entries.empty()) return "0,\"No error\"";
    std::string e = std::move(m_entries.front());
    m_entries.pop_front();
    return e;
}

std::string ProgramUnit::Header() const {
    std::string h = common ? "*" : (absolute ? ":" : "");
    for (size_t i = 0; i < mnemonics.size(); ++i) h += (i > 0 ? ":" : "") + mnemonics[i];
    return query ? h + "?" : h;
}

namespace {

constexpr size_t kLongestMnemonic = 12;

bool Letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool Digit(char c) { return c >= '0' && c <= '9'; }
bool Space(char c) { return c == ' ' || c == '\t'; }
char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

// A cursor over the message that records the first error.
class Reader {
public:
    explicit Reader(std::string_view text) : m_text(text) {}
    bool End() const { return m_at >= m_text.size(); }
    char Peek() const { return End() ? '\0' : m_text[m_at]; }
    char Take() { return m_text[m_at++]; }
    void SkipSpace() {
        while (!End() && Space(Peek())) ++m_at;
    }
    bool Fail(int code, std::string detail) {
        if (error == kNoError) {
            error = code;
            this->detail = std::move(detail);
        }
        return false;
    }
    // A mnemonic (a letter, then letters, digits and underscores), upper-cased.
    bool Mnemonic(std::string& out) {
        if (!Letter(Peek())) {
            return Fail(End() ? kCommandError : (Peek() == ':' ? kSyntaxError : kInvalidCharacter),
                        "a header expected");
        }
        out.clear();
        while (!End() && (Letter(Peek()) || Digit(Peek()) || Peek() == '_')) out += Upper(Take());
        if (out.size() > kLongestMnemonic) return Fail(kProgramMnemonicTooLong, out);
        return true;
    }
    bool Header(ProgramUnit& unit) {
        std::string m;
        if (Peek() == '*') {
            Take();
            unit.common = true;
            if (!Mnemonic(m)) return false;
            unit.mnemonics.push_back(m);
        } else {
            if (Peek() == ':') {
                Take();
                unit.absolute = true;
            }
            for (;;) {
                if (!Mnemonic(m)) return false;
                unit.mnemonics.push_back(m);
                if (Peek() != ':') break;
                Take();
            }
        }
        if (Peek() == '?') {
            Take();
            unit.query = true;
        }
        return true;
    }
    bool Number(Parameter& p) {
        const size_t start = m_at;
        if (Peek() == '+' || Peek() == '-') Take();
        bool digits = false;
        while (Digit(Peek())) digits = (Take(), true);
        if (Peek() == '.') {
            Take();
            while (Digit(Peek())) digits = (Take(), true);
        }
        if (!digits) return Fail(kNumericDataError, std::string(m_text.substr(start, 16)));
        if (Peek() == 'e' || Peek() == 'E') {
            Take();
            if (Peek() == '+' || Peek() == '-') Take();
            if (!Digit(Peek())) return Fail(kNumericDataError, "exponent");
            while (Digit(Peek())) Take();
        }
        p.kind = Parameter::Kind::Numeric;
        p.text = std::string(m_text.substr(start, m_at - start));
        const char* first = p.text.data() + (p.text[0] == '+' ? 1 : 0);
        const auto [end, ec] = std::from_chars(first, p.text.data() + p.text.size(), p.number);
        if (ec != std::errc() || end != p.text.data() + p.text.size() || !std::isfinite(p.number))
            return Fail(kNumericDataError, p.text);
        SkipSpace();
        if (Letter(Peek())) return Fail(kInvalidSuffix, p.text);
        return true;
    }
    bool String(Parameter& p) {
        const char quote = Take();
        p.kind = Parameter::Kind::String;
        for (;;) {
            if (End()) return Fail(kStringDataError, "no closing quote");
            const char c = Take();
            if (c == quote) {
                if (Peek() != quote) return true;
                Take();
            }
            p.text += c;
        }
    }
    bool Value(Parameter& p) {
        const char c = Peek();
        if (c == '"' || c == '\'') return String(p);
        if (c == '#') {
            Take();
            if (Digit(Peek())) return Fail(kBlockDataNotAllowed, {});
            return Fail(kDataTypeError, "non-decimal numbers are not accepted");
        }
        if (Digit(c) || c == '+' || c == '-' || c == '.') return Number(p);
        if (Letter(c)) {
            p.kind = Parameter::Kind::Character;
            if (!Mnemonic(p.text)) return false;
            return true;
        }
        if (End() || c == ',' || c == ';') return Fail(kSyntaxError, "a parameter expected");
        return Fail(kInvalidCharacter, {});
    }
    bool Unit(ProgramUnit& unit) {
        SkipSpace();
        if (!Header(unit)) return false;
        if (End() || Peek() == ';') return true;
        if (!Space(Peek())) return Fail(kHeaderSeparatorError, unit.Header());
        SkipSpace();
        if (End() || Peek() == ';') return true;
        for (;;) {
            Parameter p;
            if (!Value(p)) return false;
            unit.parameters.push_back(std::move(p));
            SkipSpace();
            if (End() || Peek() == ';') return true;
            if (Peek() != ',') return Fail(kInvalidSeparator, {});
            Take();
            SkipSpace();
        }
    }

    int error = kNoError;
    std::string detail;

private:
    std::string_view m_text;
    size_t m_at = 0;
};

}  // namespace

ParsedMessage ParseMessage(std::string_view line) {
    ParsedMessage out;
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u >= 0x7F) {
            out.error = kInvalidCharacter;
            out.detail = "a byte outside printable ASCII";
            return out;
        }
    }
    Reader r(line);
    r.SkipSpace();
    if (r.End()) return out;
    for (;;) {
        ProgramUnit unit;
        if (!r.Unit(unit)) break;
        out.units.push_back(std::move(unit));
        if (r.End()) break;
        r.Take();  // ';'
        r.SkipSpace();
        if (r.End()) break;  // a trailing semicolon ends the message
    }
    out.error = r.error;
    out.detail = r.detail;
    return out;
}

bool MnemonicMatches(std::string_view pattern, std::string_view typed) {
    std::string shortForm, longForm;
    for (const char c : pattern) {
        if (c >= 'A' && c <= 'Z') shortForm += c;
        longForm += Upper(c);
    }
    std::string t;
    for (const char c : typed) t += Upper(c);
    return t == shortForm || t == longForm;
}

std::string FormatNumber(double value) {
    if (!std::isfinite(value)) return "9.91E+37";  // the standard's "not a number"
    std::array<char, 32> buffer{};
    const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    if (ec != std::errc()) return "9.91E+37";
    std::string s(buffer.data(), end);
    for (char& c : s) c = c == 'e' ? 'E' : c;
    return s;
}

std::string QuoteString(std::string_view text) {
    std::string s = "\"";
    for (const char c : text) {
        s += c;
        if (c == '"') s += c;
    }
    return s + "\"";
}

std::string DefiniteBlock(std::string_view bytes) {
    const std::string length = std::to_string(bytes.size());
    return "#" + std::to_string(length.size()) + length + std::string(bytes);
}

}  // namespace sonarix::scpi
