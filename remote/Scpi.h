// The SCPI language of the remote control (IEEE 488.2 and SCPI-99): the error numbers and the
// error queue, the parsing of a program message into its units, the matching of headers
// against a command's pattern, and the forms of response data.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace sonarix::scpi {

// The standard's error numbers that the program reports (SCPI-99, volume 2, chapter 21).
enum ErrorCode : int {
    kNoError = 0,
    kCommandError = -100,
    kInvalidCharacter = -101,
    kSyntaxError = -102,
    kInvalidSeparator = -103,
    kDataTypeError = -104,
    kParameterNotAllowed = -108,
    kMissingParameter = -109,
    kHeaderSeparatorError = -111,
    kProgramMnemonicTooLong = -112,
    kUndefinedHeader = -113,
    kHeaderSuffixOutOfRange = -114,
    kNumericDataError = -120,
    kInvalidSuffix = -131,
    kCharacterDataError = -140,
    kStringDataError = -150,
    kBlockDataNotAllowed = -168,
    kExecutionError = -200,
    kInitIgnored = -213,
    kSettingsConflict = -221,
    kDataOutOfRange = -222,
    kIllegalParameterValue = -224,
    kHardwareError = -240,
    kHardwareMissing = -241,
    kMassStorageError = -250,
    kFileNameNotFound = -256,
    kQueueOverflow = -350,
    kInputBufferOverrun = -363,
    kQueryInterrupted = -410,
    kQueryUnterminated = -420,
};

// The standard's text of an error number ("Undefined header"); "Error" for one it does not know.
const char* ErrorText(int code);

// The status of one connection: its error/event queue (first in, first out, at most kCapacity
// entries; one more replaces the newest with -350 "Queue overflow", as the standard asks) and
// IEEE 488.2's standard event status register with its enable registers.
class Status {
public:
    static constexpr size_t kCapacity = 20;
    // The event status bits.
    static constexpr int kOperationComplete = 1, kQueryError = 4, kDeviceError = 8,
                         kExecutionErrorBit = 16, kCommandErrorBit = 32;
    // Adds `code` with its standard text, and `detail` after a semicolon when given; sets the
    // event bit of its class (-1xx command, -2xx execution, -3xx device, -4xx query error).
    void Push(int code, const std::string& detail = {});
    // The oldest entry as SYSTem:ERRor? answers it: -113,"Undefined header;FOO", or
    // 0,"No error" when empty.
    std::string Pop();
    size_t Count() const { return m_entries.size(); }
    // *CLS: the queue and the event register.
    void Clear() {
        m_entries.clear();
        events = 0;
    }
    // The status byte (*STB?): bit 2 an error waiting, bit 5 an enabled event.
    int StatusByte() const {
        return (m_entries.empty() ? 0 : 4) | ((events & eventEnable) != 0 ? 32 : 0);
    }

    int events = 0;
    int eventEnable = 0;
    int serviceEnable = 0;
    // The connection's FORMat: numbers as ASCII text or as a block of 64-bit floating-point
    // values, most significant byte first (NORMal) or last (SWAPped).
    bool binary = false;
    bool swapped = false;

private:
    std::deque<std::string> m_entries;
};

// One parameter as written: a number (decimal, with an exponent), character data (a mnemonic:
// ON, MAX, ASCii), a string in single or double quotes (doubled quotes inside), or a block.
struct Parameter {
    enum class Kind { Numeric, Character, String, Block };
    Kind kind = Kind::Numeric;
    std::string text;  // the characters as written; for a string its contents
    double number = 0.0;
};

// One program message unit: a common command (*IDN?) or a header of mnemonics, with a leading
// colon (absolute) or not, a query mark, and its parameters.
struct ProgramUnit {
    bool common = false;
    bool absolute = false;
    bool query = false;
    std::vector<std::string> mnemonics;  // upper-cased as typed; a common one without its '*'
    std::vector<Parameter> parameters;
    std::string Header() const;  // as written, for messages: "FREQ:STAR?"
};

// A parsed program message (one line without its terminator): the units up to the first that
// cannot be parsed, and that one's error (kNoError when all could).
struct ParsedMessage {
    std::vector<ProgramUnit> units;
    int error = kNoError;
    std::string detail;
};
ParsedMessage ParseMessage(std::string_view line);

// Whether a typed mnemonic names a pattern's node: its short form (the pattern's upper-case
// letters, "FREQ" of "FREQuency") or its long form, in any case.
bool MnemonicMatches(std::string_view pattern, std::string_view typed);

// Response data: a number in the shortest form that reads back to the same double (NR3 where
// the exponent is needed), a string in double quotes, an IEEE 488.2 definite-length block.
std::string FormatNumber(double value);
std::string QuoteString(std::string_view text);
std::string DefiniteBlock(std::string_view bytes);

}  // namespace sonarix::scpi
