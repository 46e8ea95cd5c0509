// What the sound server's source ports are, in the input words of the audio calls: the kind
// of each port and whether it is on, with the source's level.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/audio/PulseBackend.h"

namespace audio {

uint32_t InputKindOfPortType(uint32_t portType) {
    switch (portType) {
        case PA_DEVICE_PORT_TYPE_MIC:
            return kInputTypeMic;
        case PA_DEVICE_PORT_TYPE_LINE:
            return kInputTypeLine;
        case PA_DEVICE_PORT_TYPE_SPDIF:
        case PA_DEVICE_PORT_TYPE_HDMI:
            return kInputTypeDigital;
        case PA_DEVICE_PORT_TYPE_ANALOG:
            return kInputTypeAnalog;
        case PA_DEVICE_PORT_TYPE_AUX:
            return kInputTypeAux;
        case PA_DEVICE_PORT_TYPE_PHONE:
        case PA_DEVICE_PORT_TYPE_HANDSET:
            return kInputTypePhone;
        default:
            return 0;
    }
}

uint32_t InputStateWord(const PulseBackend::SourceSnapshot& listed,
                        const PulseBackend::SourceSnapshot& now, int input) {
    const uint32_t level = std::min<uint32_t>(
        100, static_cast<uint32_t>(
                 std::lround(100.0 * now.volume / static_cast<double>(PA_VOLUME_NORM))));
    if (input < 0) return kInputFailed;
    if (listed.portCount == 0) return input == 0 ? level : kInputFailed;
    if (input >= listed.portCount) return kInputFailed;
    const PulseBackend::Port& port = listed.ports[static_cast<size_t>(input)];
    const bool active = std::strcmp(port.name.data(), now.activePort.data()) == 0;
    return InputKindOfPortType(port.type) | (active ? 0u : kInputOff) | level;
}

}  // namespace audio
