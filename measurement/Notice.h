// What an operation has to tell its user: why it was refused, or how it ended early. Engines
// hand their notices to their window (or to the caller of a free function); the window decides
// how to show them: a message box, or an error that a remote client reads.
#pragma once

#include <string>
#include <vector>

namespace sonarix {

struct Notice {
    enum class Reason {
        Unreadable,   // a field's text is no number
        Refused,      // the settings or the state do not allow the operation
        OutputLost,   // the sound server or the sound card went away
        OutputEnded,  // the playback ended, stalled or ran dry before the operation had
        Late,         // the recording was read too late: points or frames were lost
        Generator,    // the function generator failed; the measurement went on without it
        File,         // a file or the crash journal could not be read or written
    };
    Reason reason = Reason::Refused;
    std::string text;
    bool operator==(const Notice&) const = default;
};
using Notices = std::vector<Notice>;

// Appends the notice to `out`; without a list it is shown at once as a message (a window
// calling the function directly).
void Tell(Notices* out, Notice::Reason reason, const std::string& text);

}  // namespace sonarix
