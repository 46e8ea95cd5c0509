// The program root: the start-up sequence of the main window's unit, the windows created
// after it, the shut-down, and the whole run of the executable. The one place that creates
// and wires every window and backend; no library includes it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "config/InputSwitching.h"
#include "measurement/SharedState.h"
#include "platform/Context.h"
#include "remote/RemoteServer.h"

namespace sonarix {

class MainWindow;
class LiveSpectrumWindow;
class LiveWaveformWindow;
class LineThicknessDialog;
class SoundCardDialog;
class InputDialog;
class PeakFitWindow;
class WaveFunctionWindow;
class VirtualApparatusWindow;
class LatencyDialog;
class RemoteDialog;
class SerialPortDialog;
class HelpDialog;
class VersionDialog;
class SessionKeeper;
struct AngleData;
class SessionPart;

inline constexpr const char* kWrongAudioVersion = "An incorrect version of BASS.DLL was loaded";
inline constexpr const char* kCannotInitOutput = "Cannot initialize Sound Card for output";
// The second line of that message.
inline constexpr const char* kVirtualHint =
    "Start the program with --virtual to run it on the built-in virtual apparatus, which needs "
    "no sound card.";
// What --help prints, and an unknown argument on standard error.
inline constexpr const char* kUsage =
    "Usage: sonarix [--virtual] [--remote[=PORT]] [--remote-any-host] [--version] [--help]\n"
    "               [Qt options]\n"
    "       sonarix measure [options] FILE    (a spectrum without a window; measure --help)\n"
    "\n"
    "A swept-sine spectrum analyser for acoustic cavity resonators on the sound card.\n"
    "\n"
    "  --virtual          run on the built-in virtual apparatus (a simulated resonator; no\n"
    "                     sound card, apparatus or sound server needed)\n"
    "  --remote[=PORT]    let scripts drive the program: an SCPI server on PORT (5025 by\n"
    "                     default), for connections from this computer only\n"
    "  --remote-any-host  the same, for connections from other computers as well: anyone on\n"
    "                     the network can then measure and write files with this program\n"
    "  --version          print the version and exit\n"
    "  --help, -h         print this text and exit\n"
    "\n"
    "Without --virtual the program uses the sound card through the desktop's sound server.\n";

// The command line: our options, or the text of what is wrong with it.
struct Arguments {
    bool onVirtual = false;
    bool help = false, version = false;
    std::optional<RemoteOptions> remote;
    std::string wrong;  // the argument that is not ours ("" when all are)
};
// Reads our options; with `all`, an argument that is not ours is wrong, otherwise only one
// that starts with "--" (Qt's own start with one dash and are taken out by QApplication).
Arguments ReadArguments(int argc, char** argv, bool all);

class RemoteControl;

// Everything that lives from start-up to the end of the program.
struct Program {
    Program();
    ~Program();
    std::unique_ptr<SharedState> state;
    std::unique_ptr<AngleData> angles;  // the wave-function window's measured data
    std::unique_ptr<MainWindow> mainWindow;
    std::unique_ptr<InputDialog> inputDialog;
    std::unique_ptr<SerialPortDialog> serialDialog;
    std::unique_ptr<LiveSpectrumWindow> liveSpectrum;
    std::unique_ptr<LiveWaveformWindow> liveWaveform;
    std::unique_ptr<SoundCardDialog> soundCardDialog;
    std::unique_ptr<LineThicknessDialog> lineThickness;
    std::unique_ptr<PeakFitWindow> fitWindow;
    std::unique_ptr<WaveFunctionWindow> waveWindow;
    std::unique_ptr<VirtualApparatusWindow> virtualWindow;  // on the virtual apparatus only
    std::unique_ptr<LatencyDialog> latencyDialog;
    std::unique_ptr<RemoteDialog> remoteDialog;
    std::unique_ptr<HelpDialog> helpDialog;
    std::unique_ptr<VersionDialog> versionDialog;
    InputList inputs;  // the input list of the "Input" dialog
    // Undo, session files and the crash journal, wired to the windows.
    std::unique_ptr<SessionKeeper> session;
    // The main window's fields and plot settings, and the fit window's peaks and range, as
    // parts of the session.
    std::unique_ptr<SessionPart> settingsPart, fitPart;
    // The SCPI server and its commands, while switched on (--remote, or Configure / "Remote
    // Control").
    std::unique_ptr<RemoteControl> remote;
};

// Puts the remote control `options` in force (no value: off) and returns "" or why the server
// cannot listen, in which case what ran before runs on. A server already running with the same
// options keeps its connections.
std::string SwitchRemote(Program& p, const std::optional<RemoteOptions>& options);

// Runs the start-up sequence on the installed audio backend: creates and shows the main
// window, checks and initialises the audio layer, selects the input, starts the mono
// recording and sets every default. Returns false after a fatal failure, whose message has
// been shown and after which the audio layer is released: the program must then end.
bool StartUp(Program& p);

// Creates the windows that come after the main window's unit, in their order, hidden.
void CreateRemainingWindows(Program& p);

// The crash journal in `folder` (JournalFolder() in the program), and the offer to restore the
// session a program left behind without ending cleanly.
void StartJournal(Program& p, const std::string& folder);

// Finishes the journal (kept as the last session's) and releases the audio layer.
void ShutDown(Program& p);

// The user manual: installed beside the executable's prefix (bin/../share/doc/sonarix), or in
// the source tree the program was built from; "" if neither is there.
std::string LocateManual(const std::string& executableDir);

// "Sonarix <version>", what --version prints.
std::string VersionText();

// How the running program tells and asks: modal boxes with the application's title.
void UseMessageBoxes(platform::Context& context);

// The executable: --help and --version answer and end (exit 0) without a display; an
// argument that is neither ours nor Qt's prints the usage and ends with exit code 2. Otherwise
// puts its context in place: the backend (--virtual: the virtual apparatus, otherwise the sound
// card) and the message boxes (unless SONARIX_MESSAGES_TO_STDERR is set); brings the program
// up, runs the event loop and brings it down. Returns the exit code.
int RunProgram(int argc, char** argv);

}  // namespace sonarix
