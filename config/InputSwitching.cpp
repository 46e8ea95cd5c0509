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

}  // namespace sonarix
