// The generator link.
#include "measurement/GeneratorLink.h"

#include <algorithm>
#include <chrono>

#include "measurement/FixedText.h"
#include "platform/serial/TApdComPort.h"

namespace sonarix {

LinkResult OpenGeneratorLink(SharedState& s) {
    TApdComPort& port = *s.SerialPort;
    port.SetOpen(false);
    port.ComNumber = s.SerialPortNr;
    port.Baud = s.SerialBaud;
    port.Parity = s.SerialParity;
    port.DataBits = s.SerialDataBits;
    port.StopBits = s.SerialStopBits;
    port.OutSize = 256;
    port.SWFlowOptions = s.SerialSwFlow;
    if (!PortAvailable(s.SerialPortNr)) return LinkResult::NotAvailable;
    if (!port.SetOpen(true)) return LinkResult::OpenFailed;
    s.SerialCommand = kGeneratorInit;
    port.WriteText(s.SerialCommand);
    return LinkResult::Opened;
}

std::string FrequencyCommand(double frequency) {
    return "FRQ:" + FixedText(frequency, 7, 12) + "\r";
}

bool SendCommand(SharedState& s, const std::string& text) {
    TApdComPort& port = *s.SerialPort;
    if (!port.WriteText(text)) return false;
    // Ten bits a character at the set rate, ten times over, and at least two seconds.
    const auto limit = std::chrono::milliseconds(
        2000 + 100000LL * static_cast<long long>(text.size()) / std::max(port.Baud, 1));
    return port.WaitUntilSent(limit);
}

}  // namespace sonarix
