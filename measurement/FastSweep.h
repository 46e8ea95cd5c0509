// "Fast Measure": an exponential sine sweep over the main window's range, recorded whole and
// deconvolved into the complex transfer function, which fills the slot at a chosen spacing. The
// harmonic distortion falls before the linear response in time and is windowed out; a
// resonator's ring-up is part of the response instead of smearing the spectrum.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "measurement/Notice.h"
#include "measurement/SharedState.h"

namespace sonarix {

// What the last fast measurement did, for the benchmarks, tests and the saturation sign.
struct FastStats {
    double captureSeconds = 0;      // from the press to the end of the recording
    double computeSeconds = 0;      // the deconvolution
    int64_t frames = 0;             // recorded
    double frameOfFirstSample = 0;  // where the sweep's first sample lies in the recording
    double peak = 0;                // the largest recorded sample, 1.0 at full scale
    // Calibrated: the signal's arrival less the timing's, in samples, its clarity, and whether
    // the signal's was taken (see kTimingTrust).
    double timingDisagreement = 0;
    double signalClarity = 0;
    bool alignedBySignal = false;
    bool stored = false;
};

// The choices of the Measure menu.
struct FastSettings {
    double spacing = 1.0;  // Hz between the points
    int lengthFactor = 1;  // the sweep's length as a multiple of the one chosen for the range
};
inline constexpr double kFastSpacings[] = {0.5, 1.0, 2.0, 5.0, 10.0};
inline constexpr int kFastLengthFactors[] = {1, 2, 4, 8};

inline constexpr const char* kFastTooManyPoints =
    "Too many data points: the range holds more than 20000 points at this spacing; choose a "
    "larger spacing in the Measure menu";
inline constexpr const char* kFastFramesLost =
    "The recording lost frames during the fast measurement (the program was held up for more "
    "than a second): the spectrum was not stored. Measure again.";
inline constexpr const char* kFastPlaybackGap =
    "The sound output ran dry during the fast measurement (the program or the system was held "
    "up), so the sweep had a gap: the spectrum was not stored. Measure again.";
inline constexpr const char* kFastNoVolume =
    "Amplitude Output Signal is 0: the fast measurement would play nothing. Raise it first.";
inline constexpr const char* kFastOutputLost =
    "The sound output was lost (the sound server stopped or the sound card was unplugged): the "
    "fast measurement was ended and nothing was stored.";

// What a fast measurement plays and evaluates.
struct FastPlan {
    double start = 0.0, stop = 0.0, spacing = 1.0;  // the points: start + k spacing, k = 1 ...
    int points = 0;
    double f1 = 0.0, f2 = 0.0;  // the sweep's own band, a little wider than the points'
    double seconds = 0.0;       // its length
    int64_t samples = 0;
    double rate = 0.0;    // L = seconds / ln(f2 / f1): the time per e-fold of frequency
    double window = 0.0;  // seconds of the response kept after its start
};

// Reads the start and stop fields (through ReadNumber) and plans the sweep; a refusal tells its
// message naming the field to `out` (shows it without one) and returns false.
bool PlanFastSweep(std::string_view start, std::string_view stop, const FastSettings& settings,
                   FastPlan& plan, Notices* out = nullptr);

// The sweep's samples at the tone's amplitude, with half-Hann fades at both ends.
std::vector<int16_t> EssSamples(const FastPlan& plan);

// How far (s) the response's arrival may lie from where the calibrated timing puts it before
// the arrival is taken from the signal itself. Below it the timing holds: a resonant path's
// own excess phase moves the signal's estimate by a few samples.
inline constexpr double kTimingTrust = 0.25e-3;
// And how clear the signal's arrival must be for that: the peak of its excess-phase pulse
// as a share of a pure delay's (1). A path of overlapping modes whose zeros are not all of
// minimum phase (a sphere without a direct path, a split mode) adds an all-pass phase that
// spreads the pulse (0.5 ... 0.75 on the virtual sphere) and moves its peak by up to 20
// samples: there the timing, even a wrong one, is the better estimate.
inline constexpr double kSignalClarity = 0.9;

// The signal's own arrival: in samples from where the timing puts it, and how clear it is.
struct Arrival {
    double samples = NAN;
    double clarity = 0.0;
    // Resonances stand out in the band, yet their residues did not place the arrival: the
    // excess phase then holds the cavity's propagation, and the timing is the better estimate.
    bool resonantUnplaced = false;
};

// The transfer function recorded / played at each frequency, from the played samples and the
// recording: aligned (calibrated), recorded[0] is where played[0] arrives, and the response is
// looked for within 20 ms of it; otherwise the recording starts with the playback and the
// response is looked for from 50 ms before to 0.5 s after. A delay left shows as the phase. The
// response is kept from 50 ms before its largest value to plan.window after. With `signal`,
// also the path's transport delay in samples (the excess phase's arrival on 400 ... 7800 Hz).
std::vector<std::complex<double>> TransferAt(const FastPlan& plan, const std::vector<float>& played,
                                             const std::vector<float>& recorded,
                                             const std::vector<double>& frequencies, bool aligned,
                                             Arrival* signal = nullptr);

// A spectrum of a fast measurement: its points, amplitudes in the slots' units (100 times the
// level a steady tone would read), phases in degrees (the resonator's when `phased`).
struct FastSpectrum {
    std::vector<double> freq, amp, phase;
    bool phased = false;
    bool operator==(const FastSpectrum&) const = default;
};

// What a fast measurement needs of whoever started it (GUI thread).
class FastHost {
public:
    virtual ~FastHost() = default;
    // The part played (0 ... 1), the seconds left and the frequency playing now.
    virtual void ShowProgress(double fraction, double secondsLeft, double frequency) = 0;
};

// PlaybackGap: the playback ran dry in the middle, in two tries.
enum class FastOutcome { Stored, Stopped, OutputLost, FramesLost, PlaybackGap };
// What the user is told of an outcome (nothing when stored or stopped).
std::optional<Notice> FastOutcomeNotice(FastOutcome outcome);

// A fast measurement a piece at a time, for a window that runs it from its event loop. Start
// writes the plan's sweep into the image and plays it at `volume` (the caller has marked its
// operation running and let any playback end); each Continue does what is due and returns the
// microseconds after which to call it again (0: at once), or -1 once it has ended, with its
// Outcome. s.StopRequested ends it early (Stopped); for the other outcomes its owner tells
// FastOutcomeNotice. A playback with a gap is played once more. The recording is read every 20 ms;
// the spectrum is computed on a worker thread (at once on the manual clock). Nothing waits inside.
class FastRun {
public:
    FastRun(SharedState& s, FastHost& host);
    ~FastRun();
    FastRun(const FastRun&) = delete;
    FastRun& operator=(const FastRun&) = delete;

    void Start(const FastPlan& plan, int volume);
    int64_t Continue();
    bool Running() const;
    // A 20 ms round of the recording is about to begin.
    bool RoundBegins() const;
    FastOutcome Outcome() const;
    const FastStats& Stats() const;
    FastSpectrum& Spectrum();  // once Stored

private:
    struct Impl;
    void BeginCapture();
    void Drain();
    void ReadTiming();
    int64_t EndCapture(bool outputLost);
    void Compute();
    int64_t Stored();

    SharedState& m_state;
    FastHost& m_host;
    std::unique_ptr<Impl> m;
};

}  // namespace sonarix
