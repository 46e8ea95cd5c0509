// libFuzzer target: the number entry of every field on arbitrary text. It must not crash or
// read past the text; what it cannot read gives 0 (a number too large: infinity of its sign)
// and exactly one message.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/Messages.h"
#include "measurement/ReadNumber.h"
#include "platform/Context.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int messages = 0;
    static const platform::ContextScope quiet(
        [](platform::Context& c) { c.tell = [](const std::string&) { ++messages; }; });
    const std::string text(reinterpret_cast<const char*>(data), size);  // exact size for ASan
    bool tooLarge = false;
    const std::optional<double> parsed = sonarix::ParseNumber(text, &tooLarge);
    const int before = messages;
    const double read = sonarix::ReadNumber(text);
    if (parsed) {
        if (std::isnan(*parsed) || std::isinf(*parsed) || *parsed != read) std::abort();
        if (messages != before) std::abort();
    } else if (messages != before + 1 || (tooLarge ? !std::isinf(read) : read != 0.0)) {
        std::abort();
    }
    return 0;
}
