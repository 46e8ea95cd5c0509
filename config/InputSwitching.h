// The recording inputs of the sound card: the list and the exclusive switching.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sonarix {

struct InputList {
    std::vector<std::string> names;  // in the library's order: item index = input index
    int selected = -1;               // the last input that is switched on, -1 if none
};

// Asks the audio layer for input 0, 1, 2 ... until it names none.
InputList ListInputs();

// The text of an input's kind (the top 8 bits of its state word): "Digital", "Line-In",
// "Microphone", ... "Analog"; "Undefined" for any other value.
const char* InputKindText(uint32_t state);

// Switches every input off (until the first index past the last input), then input index on.
void SwitchToInput(int index);

}  // namespace sonarix
