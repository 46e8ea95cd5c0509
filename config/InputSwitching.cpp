// Listing and switching the recording inputs.
#include "config/InputSwitching.h"

#include "platform/audio/Audio.h"

namespace sonarix {

InputList ListInputs() {
    InputList list;
    for (int n = 0;; ++n) {
        const char* name = audio::RecordGetInputName(n);
        if (name == nullptr) break;
        list.names.emplace_back(name);
        if ((audio::RecordGetInput(n) & audio::kInputOff) == 0) list.selected = n;
    }
    return list;
}

void SwitchToInput(int index) {
    for (int n = 0; audio::RecordSetInput(n, audio::kInputOff); ++n) {
    }
    audio::RecordSetInput(index, audio::kInputOn);
}

const char* InputKindText(uint32_t state) {
    switch (state & audio::kInputTypeMask) {
        case 0x01000000:
            return "Digital";
        case 0x02000000:
            return "Line-In";
        case 0x03000000:
            return "Microphone";
        case 0x04000000:
            return "Midi Synth";
        case 0x05000000:
            return "Analog CD";
        case 0x06000000:
            return "Telephone";
        case 0x07000000:
            return "PC Speaker";
        case 0x08000000:
            return "Wave/pcm";
        case 0x09000000:
            return "Aux";
        case 0x0A000000:
            return "Analog";
        default:
            return "Undefined";
    }
}

}  // namespace sonarix
