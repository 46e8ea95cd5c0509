// "Calibrate Latency": plays a chirp of its own, records it (through the resonator or a loopback
// cable) and finds by cross-correlation the delay between the reported playback position and
// the signal in the recording. The sweep waits for that delay once it is known, and the lock-in
// level uses it to line the played samples up with the recorded ones.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "measurement/ModalArrival.h"
#include "measurement/SharedState.h"
#include "physics/SampleRate.h"

namespace sonarix {

// What the calibration needs of its window. GUI thread.
class CalibrationWindow {
public:
    virtual ~CalibrationWindow() = default;
    // Between the pieces of CalibrateLatency's loop (tests, benchmarks); a window that runs
    // CalibrationRun from its own event loop is never called here.
    virtual void ProcessMessages() {}
    virtual int VolumePosition() const = 0;  // "Amplitude Output Signal", 0 ... 100
};

inline constexpr const char* kCalibrationBusy =
    "The sound output is in use: calibrate the latency when the measurement or tone has ended";
inline constexpr const char* kCalibrationNoRecording =
    "No recording is running: the latency cannot be measured";
inline constexpr const char* kCalibrationNoTrace =
    "The recording holds no trace of the calibration signal. Check that the microphone (or "
    "the loopback cable) is connected and switched on and that the output volume and the "
    "recording level are above 0. The previous calibration is kept.";
inline constexpr const char* kCalibrationUnsteady =
    "The delay changed between the readings of the calibration; it was not taken. Close other "
    "programs that use the sound card and try again. The previous calibration is kept.";
inline constexpr const char* kCalibrationStalled =
    "The sound output stopped playing: the calibration was ended. The previous calibration is "
    "kept.";
inline constexpr const char* kCalibrationInterrupted =
    "The sound output stopped before the calibration signal had been played. The previous "
    "calibration is kept.";

// The calibration signal: kCalibrationLead samples of silence, a linear chirp from 300 Hz to
// 8 kHz of kCalibrationChirp samples with 5 ms fades at amplitude 4000, then silence up to
// kCalibrationLength samples.
inline constexpr int kCalibrationLead = 6615;           // 150 ms
inline constexpr int kCalibrationChirp = 13230;         // 300 ms
inline constexpr int kCalibrationLength = kSampleRate;  // 1 s
inline constexpr int kCalibrationReadings = 48;         // snapshots of position and recording
inline constexpr double kCalibrationLongestMs = 250.0;
inline constexpr double kCalibrationTraceDb = 20.0;  // a peak below this is no trace
// The largest spread between readings: a sound server's recording blocks make them differ by
// a block (10 ms or less).
inline constexpr double kCalibrationSteadyMs = 20.0;
// The least disagreement between the delay seen from the reads and from the chirp's place in
// the recording that refuses a calibration (more where the readings spread more).
inline constexpr double kCalibrationAgreeMs = 1.0;

// "Latency: 30.42 ms" and, on a second line, "Confidence: correlation peak 55 dB above its
// noise; the readings agree within 0.01 ms." (c must be valid).
std::string LatencyText(const LatencyCalibration& c);

// The chirp alone, full scale 1.0.
std::vector<float> CalibrationChirp();
// The whole signal as the WAV image of the state (SampleCount and Header included). Not while
// PlayStream plays.
void WriteCalibrationSignal(SharedState& s);

// Finds the chirp in recorded frames by cross-correlation (FFTW), on the envelope of the
// correlation so that a resonator's phase shifts do not matter, then refines the arrival by
// the excess phase of the path, which a resonator's ringing does not delay.
class ChirpFinder {
public:
    ChirpFinder();
    ~ChirpFinder();
    ChirpFinder(const ChirpFinder&) = delete;
    ChirpFinder& operator=(const ChirpFinder&) = delete;

    struct Match {
        double index = 0.0;  // where the chirp's first sample lies in the frames (fractional)
        double snrDb = 0.0;  // the peak over the median of the correlation envelope
    };
    // frames: oldest first, full scale 1.0, at most kLongest of them. A block too short to
    // hold the chirp gives an snrDb of 0.
    Match Find(const float* frames, size_t count);
    static constexpr size_t kLongest = 32768;
    // Through a resonant cavity: how far the last Find's arrival `index` lies from the one
    // that makes the resonances' residues real (ModalArrival), in samples to add to it; with
    // `first`, another block of the same recording, the resonances that first found followed.
    ModalArrival ModalShift(double index, const ModalArrival* first = nullptr);

private:
    // The arrival from the excess phase of the last Find's recording, near sample `near`.
    double ExcessPhaseArrival(double near);

    struct Impl;
    std::unique_ptr<Impl> m;
};

struct CalibrationOutcome {
    bool found = false;
    LatencyCalibration latency;  // what was found; kept in the state when found
    int readings = 0;            // readings in which the chirp was found
    double seconds = 0.0;        // from start to result
    double sidesApartMs = 0.0;   // the delay from the chirp's place less that from the reads
    ModalArrival modal;          // the correction through a resonant cavity, where found
    std::string message;         // why nothing was taken, for the window to show
};

// Plays the signal at the window's volume and takes kCalibrationReadings snapshots of the
// playback position and the latest 32768 recorded frames of the chosen channel once the chirp
// can have arrived. The mean delay of the readings becomes s.Latency; without a trace, with
// readings that disagree, or when the output stops, the outcome says why and s.Latency stays.
// Processes the window's messages between its pieces (tests, benchmarks).
CalibrationOutcome CalibrateLatency(SharedState& s, CalibrationWindow& w);

// The same calibration a piece at a time, for a window that runs it from its event loop: Start
// refuses (its message shown, false) while something plays or nothing records, else plays the
// signal; each Continue does what is due and returns the microseconds after which to call it
// again (0: at once), or -1 once it has ended, with Outcome() the result. GUI thread.
class CalibrationRun {
public:
    CalibrationRun(SharedState& s, CalibrationWindow& w);
    ~CalibrationRun();
    CalibrationRun(const CalibrationRun&) = delete;
    CalibrationRun& operator=(const CalibrationRun&) = delete;

    bool Start();
    int64_t Continue();
    bool Running() const;
    const CalibrationOutcome& Outcome() const { return m_outcome; }

private:
    int64_t Fail(const char* message);
    int64_t Evaluate();

    SharedState& m_state;
    CalibrationWindow& m_window;
    CalibrationOutcome m_outcome;
    struct Impl;
    std::unique_ptr<Impl> m;
};

}  // namespace sonarix
