// libFuzzer target: the crash journal's reader on arbitrary bytes (a journal torn by a crash or
// damaged on the disk). It must not crash or read past its buffer; what it reads holds only
// slots within their capacity.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "session/Journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    sonarix::JournalContent content;
    std::string reason;
    if (!sonarix::ParseJournal(text, content, reason)) {
        if (reason.empty()) std::abort();
        return 0;
    }
    if (content.records < 1) std::abort();
    for (const sonarix::SlotContent& slot : content.data.spectra) {
        if (slot.count < 0 || slot.count > sonarix::kSlotCapacity) std::abort();
        if (slot.freq.size() < static_cast<size_t>(slot.count)) std::abort();
    }
    return 0;
}
