// libFuzzer target: the session file reader on arbitrary bytes. It must not crash, read past its
// buffer or hang, and a file it refuses says why and leaves the data it was given as it was.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "session/SessionFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    sonarix::SessionData session;
    session.spectra[0].count = 7;
    std::string reason;
    if (!sonarix::ParseSession(text, session, reason)) {
        if (reason.empty() || session.spectra[0].count != 7) std::abort();
        return 0;
    }
    for (const sonarix::SlotContent& slot : session.spectra) {
        if (slot.count < 0 || slot.count > sonarix::kSlotCapacity) std::abort();
        if (slot.freq.size() < static_cast<size_t>(slot.count)) std::abort();
    }
    return 0;
}
