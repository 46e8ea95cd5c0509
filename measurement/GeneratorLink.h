// The link to the external function generator: opening and initialising it, and the
// frequency command.
#pragma once

#include <string>

#include "measurement/SharedState.h"

namespace sonarix {

inline constexpr const char* kGeneratorInit = "SIN;CTM;SW0;RFI;AM0;VPP;AMP:0.5;OFS:0;OT1\r";
inline constexpr const char* kPortNotAvailable = "Seriel port not available";

enum class LinkResult {
    Opened,        // port opened and the initialisation string handed over
    NotAvailable,  // no such port (kPortNotAvailable for the user); the port stays closed
    OpenFailed,    // the device could not be opened: SerialPort->ErrorString() says why
};

// Closes SerialPort, gives it the link settings and, if the port exists, opens it and hands
// it the initialisation string (kept in SerialCommand). Only for SerialPortNr > 0.
LinkResult OpenGeneratorLink(SharedState& s);

// "FRQ:" + the frequency with 7 decimals right-aligned in at least 12 characters + CR.
std::string FrequencyCommand(double frequency);

// Hands text to the port and waits, without processing window messages, until it has been
// sent. False, with SerialPort->ErrorString(), when the port cannot be opened, or when the
// bytes are still not out after a generous time (a generator that holds the line with XOFF
// must not freeze the program).
bool SendCommand(SharedState& s, const std::string& text);

}  // namespace sonarix
