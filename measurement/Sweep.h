// The sweep ("Measure"), the fixed-frequency tone of a click on the plot, "Stop" and "Clear
// Spectrum": the measurement engine behind the main window. It knows no widgets; it reads the
// window's fields and drives its indicators through MeasureWindow, so tests run it with a
// fake window on the virtual apparatus's manual clock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/FastSweep.h"
#include "measurement/Notice.h"
#include "measurement/PlaybackAlignment.h"
#include "measurement/ReadLevel.h"
#include "measurement/SharedState.h"
#include "physics/SampleRate.h"

namespace sonarix {

// What the engine needs of its window. Every call comes on the GUI thread.
class MeasureWindow {
public:
    virtual ~MeasureWindow() = default;

    // The four sweep fields as typed: start, stop, step [Hz], time per step [ms].
    struct SweepFields {
        std::string start, stop, step, time;
    };
    virtual SweepFields Fields() const = 0;
    virtual int SelectedSlot() const = 0;    // "Current Spectrum"
    virtual bool FftFilterOn() const = 0;    // "FFT-Filter on"
    virtual bool LockInOn() const = 0;       // "Lock-in": the level phase-locked instead
    virtual int VolumePosition() const = 0;  // "Amplitude Output Signal", 0 ... 100

    // Between the pieces of the loops that run a whole operation at once (Measure, FastMeasure,
    // PlayTone: tests and benchmarks), where such a window processes its messages. A window
    // that runs the pieces from its own event loop (Start ... Continue from a timer) is never
    // called here for them.
    virtual void ProcessMessages() {}
    // At the start of each step of Measure's sweep.
    virtual void StepBegins() { ProcessMessages(); }
    virtual void Redraw() = 0;
    virtual void ShowLag(bool shown) = 0;         // the lag indicator
    virtual void ShowSaturation(bool shown) = 0;  // "Saturation"
    virtual void ShowMeasure(bool shown) = 0;     // hides or shows "Measure" (uncovering "Stop")
    virtual void EnableMeasure(bool enabled) = 0;

    // How far the running sweep or tone is; called at every step of a sweep and every 50 ms of
    // a tone, and once with Kind::None when it has ended.
    struct Progress {
        enum class Kind { None, Sweep, Tone };
        Kind kind = Kind::None;
        double fraction = 0.0;     // 0 ... 1
        double secondsLeft = 0.0;  // of the playback (and, calibrated, the sound on its way)
        double frequency = 0.0;    // of the point just measured, or of the tone
    };
    virtual void ShowProgress(const Progress& progress) = 0;
    // What the user is to be told: a refused start, a sweep or tone that ended early, a
    // generator that failed. The window decides how (a message box, a remote client's error).
    virtual void Report(const Notice& notice) = 0;
};

// Where the time of the last sweep went, for the benchmarks and the lag tests.
struct SweepStats {
    int steps = 0;
    int lagEvents = 0;        // steps at which the playback had run past the target
    double waitSeconds = 0;   // waiting for the target
    double levelSeconds = 0;  // ReadLevel
    double redrawSeconds = 0;
    double messageSeconds = 0;  // processing window messages
    double commandSeconds = 0;  // handing the frequency command to the generator
    double totalSeconds = 0;
    // The longest a step spent outside its wait, and on messages and the redraw in it [ms].
    double longestWorkMs = 0;
    double longestMessagesMs = 0;
    double longestRedrawMs = 0;
    // How long after its frames were complete each level was read [ms]: what the program's
    // lateness was, which the reads by index do not feel.
    double readLateMeanMs = 0;
    double readLateMaxMs = 0;
    double cpuSeconds = 0;  // the process's processor time during the sweep, all threads
    // Each read: the step's own sample in the image (fractional) and the recording frame index
    // its frames ended before; room for every planned step is made before the sweep.
    struct Read {
        double sample = 0;
        double endFrame = 0;
    };
    std::vector<Read> reads;
};

// Told of what a sweep does to the spectrum store (the session's undo history and journal).
// Called on the GUI thread inside the step loop: PointStored must return within microseconds.
class StoreEvents {
public:
    virtual ~StoreEvents() = default;
    virtual void SweepBegins(int slot) = 0;
    // Entry `index` of the slot has just been written; the slot now holds `index` points.
    virtual void PointStored(int slot, int index) = 0;
    virtual void SweepEnded(int slot) = 0;
};

inline constexpr int64_t kRewindBytes = 2 * kSampleRate / 10;  // 100 ms of the chirp
inline constexpr double kToneSeconds = 10.0;
// The longest a playback of ours can still run when "Measure" comes: the 10 s tone.
inline constexpr int kLongestTailMs = 12000;
inline constexpr const char* kPlaybackStalled =
    "The sound output stopped playing: the measurement was ended";
inline constexpr const char* kOutputLostSweep =
    "The sound output was lost (the sound server stopped or the sound card was unplugged): the "
    "measurement ended early. The points drawn are kept; save them, then start the program "
    "again to measure.";
inline constexpr const char* kOutputEndedSweep =
    "The sound output ended before the sweep had: the measurement ended early. The points drawn "
    "are kept.";
inline constexpr const char* kOutputLostTone =
    "The sound output was lost (the sound server stopped or the sound card was unplugged): the "
    "tone ended. Start the program again to measure.";

class SweepEngine {
public:
    SweepEngine(SharedState& state, MeasureWindow& window);
    ~SweepEngine();

    // "Measure": the whole sweep into the slot of "Current Spectrum", returning when it has
    // ended. A refused sweep (its message shown) hides nothing and plays nothing. A playback
    // still running (the tail of a tone) is waited for first, since the sweep rewrites the
    // image under it.
    void Measure();
    // The same sweep a piece at a time, for a window that runs it from its event loop: Start
    // does what comes before the playback (false: refused, nothing changed); each Continue
    // does what is due and returns the microseconds after which to call it again (0: at once),
    // or -1 once the sweep has ended. Nothing waits inside either.
    bool Start();
    int64_t Continue();
    // "Fast Measure": the exponential sine sweep over the fields' range into the slot of
    // "Current Spectrum" at the settings' spacing (see FastSweep.h). "Stop" abandons it and
    // leaves the slot as it was. Returns true when the spectrum was stored.
    bool FastMeasure(const FastSettings& settings);
    // The same a piece at a time: StartFast as FastMeasure up to the playback (false: refused,
    // nothing changed), then Continue as for a sweep.
    bool StartFast(const FastSettings& settings);
    const FastStats& LastFastStats() const { return m_fastStats; }
    // "Stop": the running sweep ends after the step in progress.
    void Stop();
    // The program is closing: a running sweep ends at its next piece (without the step in
    // progress), a running tone at once.
    void Abort();
    bool Running() const { return m_running; }
    // A stepped sweep runs (Start ... Continue), not a fast measurement.
    bool Stepping() const { return m_run != nullptr; }

    // A click on the plot at frequency f (the inverse of the plot's x mapping): unless a
    // playback is active, sets CurrentFreq, sends the generator its frequency, and plays the
    // 10 s tone while processing messages every 50 ms. Returns false if it was ignored.
    bool PlayTone(double f);
    // The same tone a piece at a time, for a window that runs it from its event loop:
    // StartTone as PlayTone up to the playback (false: ignored); each ContinueTone returns the
    // microseconds after which to call it again, or -1 once the tone has ended.
    bool StartTone(double f);
    int64_t ContinueTone();
    // Ends the playing tone at once (the window's "End Tone" or Escape); nothing else.
    void EndTone();
    bool TonePlaying() const { return m_tone; }

    const SweepStats& LastStats() const { return m_stats; }
    // Who is told of the points stored (none: nobody).
    void SetStoreEvents(StoreEvents* events) { m_events = events; }

private:
    // Whether the playback before this one (the tail of a tone) has ended, or has been
    // stopped after kLongestTailMs or on Abort; false: look again after kTailLookUs.
    static constexpr int64_t kTailLookUs = 2000;
    bool PreviousPlaybackEnded(int64_t& waitedUs);
    struct Run;
    struct Fast;
    class FastHostOfWindow;
    int64_t ContinueFast();
    int64_t EndFast(bool stored);
    enum class StepResult { Again, Next, Ended };
    void Begin();
    void BeginStep();
    int64_t Wait();
    bool Settled(bool playing) const;
    StepResult ReadStep();
    int64_t Finish();
    int64_t EndFrame(int64_t readSample);
    void Rewind();
    bool OpenGenerator();
    void SendFrequency();
    void Report(const Notices& notices);
    void ReportGeneratorFailure();

    SharedState& m_state;
    MeasureWindow& m_window;
    std::unique_ptr<LevelBuffers> m_buffers;  // per sweep or tone
    PlaybackAlignment m_alignment;
    std::unique_ptr<Run> m_run;    // the sweep in progress
    std::unique_ptr<Fast> m_fast;  // the fast measurement in progress
    SweepStats m_stats;
    FastStats m_fastStats;
    StoreEvents* m_events = nullptr;
    bool m_running = false;
    bool m_abort = false;
    bool m_tone = false;     // PlayTone's loop runs
    bool m_endTone = false;  // asked to end it
    int m_toneRounds = 0;    // 50 ms rounds of the tone so far (-1: none yet)
    double m_toneFrequency = 0.0;
    std::optional<RunningOperation> m_toneRunning;
    bool m_generator = false;        // frequency commands go out
    std::string m_generatorFailure;  // the first failure of the link, shown once
};

// "Clear Spectrum": entries 1 ... 20000 of the slot to 0.0 and its count to 0.
void ClearSpectrum(SharedState& s, int slot);

}  // namespace sonarix
