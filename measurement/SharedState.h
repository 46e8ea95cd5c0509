// The state every window shares: the spectrum store, the measurement parameters, the test
// signal, the plot geometry and the serial link settings, with their start-up defaults.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "measurement/ByteStream.h"
#include "measurement/WavHeader.h"

namespace sonarix {

class TApdComPort;

inline constexpr int kSlots = 4;
inline constexpr int kSlotCapacity = 20000;  // points per slot, entries 1 ... 20000
inline constexpr int kMaxSweepPoints = 19999;

// Colours are 0x00BBGGRR.
inline constexpr uint32_t kDefaultSpecColor[kSlots] = {0x000000FF, 0x00008000, 0x00FF00FF,
                                                       0x0000C8FF};

// The delay from the reported playback position to the recording, as "Calibrate Latency" found
// it; it lasts for the run.
struct LatencyCalibration {
    bool valid = false;
    double samples = 0.0;       // newest recorded frame = image sample (position - samples)
    double confidenceDb = 0.0;  // correlation peak above the correlation's noise
    double spreadMs = 0.0;      // between the readings that were averaged
    // How old the newest recorded frame was at the readings, on average (a sound server hands
    // the recording over in blocks; 0 on the virtual apparatus): samples - ageSamples is the
    // delay to a frame the moment it arrives.
    double ageSamples = 0.0;
    // Where a played sample's sound lies in the recording for the reads by index: frame index =
    // sample index + PlaybackAlignment::Offset() + frameOffset (from the chirp's place in the
    // recording; about samples - ageSamples).
    double frameOffset = 0.0;
};

// The long operation that runs, if any. The sweep and the tone run from the main window's event
// loop, the others inside the handler that started it, processing window messages while they
// wait; either way other handlers run in their middle: this tells them that a sweep, tone,
// angle measurement or calibration is in progress, also in the gaps where nothing plays
// (before the playback starts, the tail after the end of the image).
enum class Operation { None, Sweep, Tone, Angle, Calibration };

// Owned by the program, handed by reference to every window; read and written on the GUI
// thread only. Slot arrays are 1-based: entry 0 is never used.
struct SharedState {
    using SlotArray = std::array<double, kSlotCapacity + 1>;

    // Spectrum store.
    std::array<SlotArray, kSlots> SpecFreq{};
    std::array<SlotArray, kSlots> SpecAmp{};
    std::array<int32_t, kSlots> SpecCount{0, 0, 0, 0};
    // The phase (degrees) of each point against the played signal, from the lock-in level;
    // 0 for points measured otherwise or read from a file. SpecPhased: the slot's phases are
    // the resonator's (every point of its last sweep read phase-locked with a calibrated
    // latency).
    std::array<SlotArray, kSlots> SpecPhase{};
    std::array<bool, kSlots> SpecPhased{};
    // Counts every time a slot's points were replaced or removed rather than appended to (a
    // fast measurement, an open, a clear, an undo, a session): a picture drawn before is out
    // of date even where the counts are the same. A sweep's steps only append.
    uint64_t SpecReplaced = 0;
    std::array<uint32_t, kSlots> SpecColor{kDefaultSpecColor[0], kDefaultSpecColor[1],
                                           kDefaultSpecColor[2], kDefaultSpecColor[3]};

    // Measurement parameters and signal state.
    int32_t CurrentSlot = 0;
    double StartFreq = 100.0;
    double StopFreq = 10000.0;
    double StepFreq = 10.0;
    double StepTime = 50.0;
    double CurrentFreq = 1000.0;
    int64_t SampleCount = 0;
    WavHeader Header{};
    ByteStream WavImage;
    uint32_t PlayStream = 0;
    uint32_t RecChannel = 0;
    int32_t OutVolume = 0;
    bool StopRequested = false;
    bool StereoInput = false;
    bool LeftChannel = true;
    LatencyCalibration Latency{};
    Operation Running = Operation::None;

    // Plot geometry, pixels of the plot image.
    int32_t MarginLeft = 10;
    int32_t MarginBottom = 10;
    int32_t MarginRight = 20;
    int32_t MarginTop = 10;
    double PlotAmpMax = 1e-10;
    double PlotFreqMin = 100000.0;
    double PlotFreqMax = 0.0;

    // Serial link.
    TApdComPort* SerialPort = nullptr;  // owned by the main window
    int32_t SerialPortNr = 0;
    int32_t SerialBaud = 9600;
    uint8_t SerialParity = 0;
    int32_t SerialDataBits = 8;
    int32_t SerialStopBits = 2;
    uint8_t SerialSwFlow = 3;
    std::string SerialCommand;
};

// Marks an operation as running for as long as it lives.
class RunningOperation {
public:
    RunningOperation(SharedState& s, Operation op)
        : m_state(s), m_before(std::exchange(s.Running, op)) {}
    ~RunningOperation() { m_state.Running = m_before; }
    RunningOperation(const RunningOperation&) = delete;
    RunningOperation& operator=(const RunningOperation&) = delete;

private:
    SharedState& m_state;
    Operation m_before;
};

}  // namespace sonarix
