// The sweep and tone engine.
#include "measurement/Sweep.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>

#include "measurement/GeneratorLink.h"
#include "measurement/Playback.h"
#include "measurement/SweepFastState.h"
#include "measurement/TestSignals.h"
#include "physics/SampleRate.h"
#include "platform/Clock.h"
#include "platform/audio/Audio.h"
#include "platform/serial/TApdComPort.h"

namespace sonarix {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Adds the time a part of the step took to one of the stats, and keeps the longest [ms].
class Timed {
public:
    explicit Timed(double& into, double* longestMs = nullptr)
        : m_into(into), m_longest(longestMs), m_start(Clock::now()) {}
    ~Timed() {
        const double s = Seconds(m_start);
        m_into += s;
        if (m_longest != nullptr) *m_longest = std::max(*m_longest, 1e3 * s);
    }
    Timed(const Timed&) = delete;
    Timed& operator=(const Timed&) = delete;

private:
    double& m_into;
    double* m_longest;
    Clock::time_point m_start;
};

int64_t Position(const SharedState& s) {
    return static_cast<int64_t>(audio::ChannelGetPosition(s.PlayStream));
}

// The process's processor time (all threads) [s].
double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

std::string UnreadMessage(double f) {
    char hz[32];
    std::snprintf(hz, sizeof hz, "%.10g", f);
    return std::string("The sound of the step at ") + hz +
           " Hz could not be read from the recording (the output or the recording stopped, or "
           "the program was held up for longer than the recording is kept): the measurement "
           "ended there. The points before it are kept.";
}
// 2 s without the playback position moving.
constexpr int64_t kStallMicroseconds = 2000000;
// 2 bytes a sample, kSampleRate samples a second.
constexpr double kBytesPerUs = 0.0882;

// The wait's sleep from position pos: until the playback passes byte `target`, at most 2 ms,
// nothing when it has passed.
int64_t UntilPassed(int64_t target, int64_t pos) {
    if (pos > target) return 0;
    const int64_t samples = (target - pos) / 2 + 1;
    return std::min<int64_t>(2000, (samples * 1000000 + kSampleRate - 1) / kSampleRate);
}
// The tone's own length in 50 ms rounds, and 5 s more for a slow start.
constexpr int kToneRounds = static_cast<int>(kToneSeconds * 20) + 100;

}  // namespace

SweepEngine::SweepEngine(SharedState& state, MeasureWindow& window)
    : m_state(state), m_window(window) {}

void SweepEngine::Stop() { m_state.StopRequested = true; }

void SweepEngine::Abort() {
    m_abort = true;
    m_state.StopRequested = true;
}

bool SweepEngine::PreviousPlaybackEnded(int64_t& waitedUs) {
    SharedState& s = m_state;
    if (Playing(s) && !m_abort && waitedUs < kLongestTailMs * 1000) {
        waitedUs += kTailLookUs;
        return false;
    }
    if (Playing(s)) audio::ChannelStop(s.PlayStream);
    return true;
}

bool SweepEngine::OpenGenerator() {
    m_generatorFailure.clear();
    m_generator = false;
    if (m_state.SerialPortNr <= 0 || m_state.SerialPort == nullptr) return false;
    switch (OpenGeneratorLink(m_state)) {
        case LinkResult::Opened:
            m_generator = true;
            break;
        case LinkResult::NotAvailable:
            // The sweep goes on with the sound card alone and sends no commands to the absent
            // port.
            m_window.Report({Notice::Reason::Generator, kPortNotAvailable});
            break;
        case LinkResult::OpenFailed:
            m_generatorFailure = m_state.SerialPort->ErrorString();
            break;
    }
    return m_generator;
}

void SweepEngine::SendFrequency() {
    if (!m_generator) return;
    if (SendCommand(m_state, FrequencyCommand(m_state.CurrentFreq))) return;
    // The device went away or does not take the data: go on without it, say so once.
    m_generator = false;
    if (m_generatorFailure.empty()) m_generatorFailure = m_state.SerialPort->ErrorString();
}

void SweepEngine::Report(const Notices& notices) {
    for (const Notice& n : notices) m_window.Report(n);
}

void SweepEngine::ReportGeneratorFailure() {
    if (m_generatorFailure.empty()) return;
    m_window.Report({Notice::Reason::Generator,
                     m_generatorFailure + ". The measurement went on without the generator."});
    m_generatorFailure.clear();
}

// One sweep between the calls of Continue: its settings, the step in progress and the wait's
// bookkeeping.
struct SweepEngine::Run {
    enum class Phase { Previous, Step, Wait };
    Phase phase = Phase::Previous;
    std::optional<RunningOperation> running;
    Clock::time_point begin;
    double cpuBegin = 0.0;
    int64_t previousUs = 0;  // waited for a playback still running when "Measure" came
    int slot = 0;
    int32_t i = 1;
    // Points stored in the slot by this sweep. "Clear Spectrum" of the slot between two steps
    // sets its count back; the sweep then goes on from the count it finds, so that the slot
    // holds the points measured since and nothing else.
    int32_t stored = 0;
    bool lagShown = false;
    bool stalled = false;
    double unreadAt = -1.0;  // the frequency whose frames could not be had
    // The phases are the resonator's only when every point is read phase-locked against the
    // calibrated latency.
    bool phased = false;
    // Each level is read by its frames' index in the recording, from where the playback's
    // samples lie in it (m_alignment): uncalibrated, the frames that were the newest when the
    // playback passed the step's target; with a calibrated latency, the 1024 frames centred on
    // the arrival of the step's own sample. Whenever the program gets to them, they are the
    // same frames.
    bool compensate = false;
    int64_t delay = 0;  // bytes from a step's sample to its calibrated target
    int64_t end = 0;    // the image's bytes
    // Without a recording nothing can be read by index: each step then reads when the playback
    // passes its target, and reads nothing.
    bool byIndex = true;
    uint64_t gaps = 0;     // the playback gaps counted when the alignment was made
    double shift = 0.0;    // calibrated: frames end where sample readSample - latency arrived
    int64_t lastRead = 0;  // the last step's read sample, for the time left
    // The step in progress.
    long double v = 0.0L;  // the byte offset where the chirp passes CurrentFreq
    int64_t stepByte = 0, target = 0, readSample = 0;
    int64_t frames = 0;  // where its frames end in the recording, once they are there
    Clock::time_point roundStart, waitStart;
    // The wait's bookkeeping: the position and the recording's reach at the last look, the
    // sleep asked for since, and how long nothing has moved.
    bool waited = false, wasPlaying = false;
    int64_t last = 0, stillUs = 0, silentUs = 0, sleptUs = 0;
    double reached = 0.0;
};

void SweepEngine::Measure() {
    if (!Start()) return;
    for (int64_t us; (us = Continue()) >= 0;) {
        if (us > 0) platform::SleepMicroseconds(us);
    }
}

bool SweepEngine::Start() {
    SharedState& s = m_state;
    // Not inside another operation (a tone, an angle measurement, a calibration).
    if (m_running || s.Running != Operation::None) return false;
    // Refusals are decided before anything changes: the sweep is planned first.
    const MeasureWindow::SweepFields fields = m_window.Fields();
    Notices refused;
    if (!PlanSweep(s, fields.start, fields.stop, fields.step, fields.time, &refused)) {
        Report(refused);
        return false;
    }
    m_abort = false;
    m_running = true;
    m_run = std::make_unique<Run>();
    Run& r = *m_run;
    r.running.emplace(s, Operation::Sweep);
    m_stats = SweepStats{};
    m_stats.reads.reserve(static_cast<size_t>(
        std::clamp((s.StopFreq - s.StartFreq) / s.StepFreq + 1.0, 1.0, 20000.0)));
    r.begin = Clock::now();
    r.cpuBegin = ProcessCpuSeconds();

    // 1. - 3. "Measure" away, the buffers, the slot, the generator.
    m_window.ShowMeasure(false);
    s.StopRequested = false;
    m_buffers = std::make_unique<LevelBuffers>();
    s.CurrentSlot = std::clamp(m_window.SelectedSlot(), 0, kSlots - 1);
    OpenGenerator();
    return true;
}

int64_t SweepEngine::Continue() {
    if (m_fast) return ContinueFast();
    if (!m_run) return -1;
    Run& r = *m_run;
    if (r.phase == Run::Phase::Previous) {
        // 4., 5. The chirp, once nothing plays from the image any more (the tail of a tone),
        // and its playback.
        if (!PreviousPlaybackEnded(r.previousUs)) return kTailLookUs;
        if (m_abort) {
            m_window.ShowMeasure(true);
            m_running = false;
            m_run.reset();
            return -1;
        }
        Begin();
    }
    if (r.phase == Run::Phase::Step) BeginStep();
    for (;;) {
        const int64_t us = Wait();
        if (us > 0) return us;
        if (us < 0) return Finish();
        switch (ReadStep()) {
            case StepResult::Again:
                continue;
            case StepResult::Next:
                return 0;
            case StepResult::Ended:
                return Finish();
        }
    }
}

void SweepEngine::Begin() {
    SharedState& s = m_state;
    Run& r = *m_run;
    WriteSweep(s);
    if (m_events != nullptr) m_events->SweepBegins(s.CurrentSlot);
    // The progress shows before the chirp starts: its first showing lays the window out, which
    // the first short steps must not wait for.
    m_window.ShowProgress({MeasureWindow::Progress::Kind::Sweep, 0.0,
                           static_cast<double>(s.SampleCount) / kSampleRateHz, s.StartFreq});
    StartPlayback(s, m_window.VolumePosition());
    // 6. The first point is one step above the start frequency.
    s.CurrentFreq = s.StartFreq + s.StepFreq;
    r.slot = s.CurrentSlot;
    r.phased = s.Latency.valid;
    r.compensate = s.Latency.valid;
    r.delay = r.compensate ? 2 * std::llround(s.Latency.samples + kLevelFrames / 2.0) : 0;
    r.end = 2 * s.SampleCount;
    r.byIndex = s.RecChannel != 0;
    r.shift = r.compensate ? s.Latency.frameOffset - s.Latency.samples : 0.0;
    r.lastRead = r.compensate ? s.SampleCount + r.delay / 2 + 1 : s.SampleCount;
    m_alignment.Reset(0);
    r.gaps = audio::PlaybackGaps();
    r.phase = Run::Phase::Step;
}

int64_t SweepEngine::EndFrame(int64_t readSample) {
    const Run& r = *m_run;
    const double age = r.compensate ? 0.0 : m_alignment.MeanAge();
    return std::llround(static_cast<double>(readSample) + m_alignment.Offset() + r.shift - age);
}

void SweepEngine::Rewind() {
    // Back to 100 ms before the step's sound (or to the start), and the alignment anew.
    Run& r = *m_run;
    const int64_t to = std::max<int64_t>(0, (r.stepByte - kRewindBytes) & ~int64_t{1});
    audio::ChannelSetPosition(m_state.PlayStream, static_cast<uint64_t>(to));
    m_alignment.Reset(to / 2);
    m_window.ShowLag(true);
    r.lagShown = true;
    ++m_stats.lagEvents;
}

void SweepEngine::BeginStep() {
    SharedState& s = m_state;
    Run& r = *m_run;
    r.roundStart = Clock::now();
    {
        Timed t(m_stats.messageSeconds, &m_stats.longestMessagesMs);
        m_window.StepBegins();
    }
    // The byte offset of the sample where the chirp passes CurrentFreq, left to right in
    // extended precision.
    long double v = static_cast<long double>(s.CurrentFreq) - s.StartFreq;
    v = v * 2.0L;
    v = v / (static_cast<long double>(s.StopFreq) - s.StartFreq);
    v = v * static_cast<long double>(s.SampleCount);
    r.v = v;
    r.stepByte = static_cast<int64_t>(std::nearbyint(v));
    // Uncalibrated, the target counts the 44 header bytes as the position does not; a
    // calibrated target is the sample itself, moved by the delay. The step reads the frames
    // current when the position has passed it (uncalibrated: or the image has ended).
    r.target = r.stepByte + (r.compensate ? r.delay : 44);
    r.readSample = r.target / 2 + 1;
    if (!r.compensate) r.readSample = std::min(r.readSample, s.SampleCount);
    {
        Timed t(m_stats.commandSeconds);
        SendFrequency();
    }
    r.waitStart = Clock::now();
    r.waited = false;
    r.stillUs = r.silentUs = r.sleptUs = 0;
    r.phase = Run::Phase::Wait;
}

int64_t SweepEngine::Wait() {
    // Until the step's frames are in the recording, taking readings of where the playback lies
    // in it meanwhile; each sleep lasts until they are due, at most 5 ms. Returns the sleep, 0
    // when the frames are there, -1 when the sweep ends.
    SharedState& s = m_state;
    Run& r = *m_run;
    if (m_abort) return -1;
    Timed t(m_stats.waitSeconds);
    for (;;) {
        const bool playing = Playing(s);
        const int64_t pos = Position(s);
        const double now = audio::RecordNow();
        if (r.waited) {
            // A playback that stays active without moving (a stalled sound server), or a
            // recording that stops coming, would hold the window here for good.
            r.stillUs = r.wasPlaying && pos == r.last ? r.stillUs + r.sleptUs : 0;
            r.silentUs = now == r.reached ? r.silentUs + r.sleptUs : 0;
            if (r.stillUs >= kStallMicroseconds) {
                r.stalled = true;
                return -1;
            }
            if (r.silentUs >= kStallMicroseconds) {
                r.unreadAt = s.CurrentFreq;
                return -1;
            }
        }
        r.waited = false;
        r.wasPlaying = playing;
        r.last = pos;
        r.reached = now;
        if (playing) m_alignment.Read(s.PlayStream, s.SampleCount);
        // A gap in the playback moves its samples against the recording, and the frames around
        // it hold silence: the frames read so far came before it was reported; this step's
        // sound is played again.
        if (const uint64_t g = audio::PlaybackGaps(); g != r.gaps) {
            r.gaps = g;
            if (!playing) {
                r.unreadAt = s.CurrentFreq;
                return -1;
            }
            Rewind();
            continue;
        }
        if (!playing && pos < std::min(r.target, r.end)) {
            // Cut off (the output went away, or the stream was stopped from outside): the
            // step's sound was never played, so it is not read.
            return -1;
        }
        int64_t us = 2000;
        if (!r.byIndex) {
            if (pos > r.target || !playing) return 0;
            us = UntilPassed(r.target, pos);
        } else if (Settled(playing)) {
            const int64_t e = EndFrame(r.readSample);
            const auto have = static_cast<int64_t>(audio::RecordFrames());
            if (e <= have) {
                r.frames = e;
                return 0;
            }
            us = SleepForFrames(e - have);
        } else if (!playing) {
            // Ended before the playback's place in the recording could be read.
            r.unreadAt = s.CurrentFreq;
            return -1;
        }
        r.waited = true;
        r.sleptUs = us;
        return us;
    }
}

// A step is read once the playback's place in the recording stands (PlaybackAlignment): every
// step with the same offset, so that the lock-in's phases do not move from one step to the
// next. The first steps are read a few hundred ms late; their frames are still held.
bool SweepEngine::Settled(bool playing) const {
    return m_alignment.Readings() > 0 && (!playing || m_alignment.Settled());
}

SweepEngine::StepResult SweepEngine::ReadStep() {
    SharedState& s = m_state;
    Run& r = *m_run;
    const Clock::time_point waitEnd = Clock::now();
    double level = 0.0;
    double phase = 0.0;
    {
        Timed t(m_stats.levelSeconds);
        const bool lockIn = m_window.LockInOn();
        r.phased = r.phased && lockIn;
        if (!r.byIndex) {
            if (lockIn) {
                const LockInWork::Result l = ReadLockInLevel(s, s.CurrentFreq, *m_buffers);
                level = l.level;
                phase = l.phaseDegrees;
            } else {
                level = ReadLevel(s, s.CurrentFreq, m_window.FftFilterOn(), *m_buffers);
            }
        } else {
            const auto e = static_cast<uint64_t>(std::max<int64_t>(r.frames, 1));
            std::optional<double> read;
            if (lockIn) {
                // Frame index less the index of the image sample heard in it.
                const std::optional<double> heard =
                    r.compensate
                        ? std::optional<double>(m_alignment.Offset() + s.Latency.frameOffset)
                        : std::nullopt;
                if (const auto l = ReadLockInLevelBefore(s, s.CurrentFreq, *m_buffers, e, heard)) {
                    read = l->level;
                    phase = l->phaseDegrees;
                }
            } else {
                read = ReadLevelBefore(s, s.CurrentFreq, m_window.FftFilterOn(), *m_buffers, e);
            }
            if (!read.has_value()) {
                // The recording no longer holds the frames (the program was held up for longer
                // than it keeps): the step's sound is played again, or, when the image has
                // ended, the sweep ends here.
                if (Playing(s)) {
                    Rewind();
                    return StepResult::Again;
                }
                r.unreadAt = s.CurrentFreq;
                return StepResult::Ended;
            }
            level = *read;
            const double late = (audio::RecordNow() - static_cast<double>(e)) / kSamplesPerMs;
            m_stats.readLateMeanMs += late;
            m_stats.readLateMaxMs = std::max(m_stats.readLateMaxMs, late);
            if (m_stats.reads.size() < m_stats.reads.capacity()) {
                m_stats.reads.push_back({static_cast<double>(r.v) / 2.0, static_cast<double>(e)});
            }
        }
    }
    if (r.lagShown) {
        m_window.ShowLag(false);
        r.lagShown = false;
    }
    const int slot = r.slot;
    r.stored = std::min(r.stored, s.SpecCount[slot]) + 1;
    s.SpecFreq[slot][r.stored] = s.CurrentFreq;
    s.SpecAmp[slot][r.stored] = level * 100.0;
    s.SpecPhase[slot][r.stored] = phase;
    s.SpecCount[slot] = r.stored;
    s.SpecPhased[slot] = r.phased;
    if (m_events != nullptr) m_events->PointStored(slot, r.stored);
    m_window.ShowSaturation(level > 1.0);
    {
        Timed t(m_stats.redrawSeconds, &m_stats.longestRedrawMs);
        m_window.Redraw();
    }
    ++m_stats.steps;
    {
        const double left =
            m_alignment.Readings() > 0
                ? static_cast<double>(EndFrame(r.lastRead)) - audio::RecordNow()
                : static_cast<double>(s.SampleCount) - static_cast<double>(Position(s)) / 2.0;
        m_window.ShowProgress({MeasureWindow::Progress::Kind::Sweep,
                               (s.CurrentFreq - s.StartFreq) / (s.StopFreq - s.StartFreq),
                               std::max(left, 0.0) / kSampleRateHz, s.CurrentFreq});
    }
    m_stats.longestWorkMs =
        std::max(m_stats.longestWorkMs,
                 1e3 * (std::chrono::duration<double>(r.waitStart - r.roundStart).count() +
                        Seconds(waitEnd)));
    s.CurrentFreq = s.CurrentFreq + s.StepFreq;
    r.i = r.i + 1;
    // On while the chirp plays, or has played to its end: the sound of the steps left is then
    // in the recording, or on its way.
    if (s.CurrentFreq <= s.StopFreq && (Playing(s) || Position(s) >= r.end) && !s.StopRequested &&
        r.i < 20000) {
        r.phase = Run::Phase::Step;
        return StepResult::Next;
    }
    return StepResult::Ended;
}

int64_t SweepEngine::Finish() {
    SharedState& s = m_state;
    Run& r = *m_run;
    // The output ended with points still to come: the sound server went away, or something
    // else stopped the stream short of its end.
    const bool early = !r.stalled && !s.StopRequested && s.CurrentFreq <= s.StopFreq &&
                       r.i < 20000 && r.unreadAt < 0.0 &&
                       (audio::OutputLost() || Position(s) < r.end);
    // 8., 9. Silence at once, "Measure" back; the lag indicator goes with the sweep whichever
    // way it ended.
    audio::ChannelStop(s.PlayStream);
    m_window.ShowProgress({});
    if (r.lagShown) m_window.ShowLag(false);
    m_window.ShowMeasure(true);
    m_window.Redraw();
    m_window.ShowSaturation(false);
    m_buffers.reset();
    m_stats.totalSeconds = Seconds(r.begin);
    m_stats.cpuSeconds = ProcessCpuSeconds() - r.cpuBegin;
    if (m_stats.steps > 0) m_stats.readLateMeanMs /= m_stats.steps;
    const int slot = r.slot;
    const bool stalled = r.stalled;
    const double unreadAt = r.unreadAt;
    m_run.reset();  // the operation ends here
    m_running = false;
    if (m_events != nullptr) m_events->SweepEnded(slot);
    if (stalled) m_window.Report({Notice::Reason::OutputEnded, kPlaybackStalled});
    if (early) {
        m_window.Report(audio::OutputLost()
                            ? Notice{Notice::Reason::OutputLost, kOutputLostSweep}
                            : Notice{Notice::Reason::OutputEnded, kOutputEndedSweep});
    }
    if (unreadAt >= 0.0) m_window.Report({Notice::Reason::Late, UnreadMessage(unreadAt)});
    ReportGeneratorFailure();
    return -1;
}

bool SweepEngine::PlayTone(double f) {
    if (!StartTone(f)) return false;
    for (int64_t us; (us = ContinueTone()) >= 0;) {
        platform::SleepMicroseconds(us);
        m_window.ProcessMessages();
    }
    return true;
}

bool SweepEngine::StartTone(double f) {
    SharedState& s = m_state;
    // A sweep, a tone or an angle measurement plays, or a sweep reads the last steps after
    // its image has ended.
    if (Playing(s) || s.Running != Operation::None) return false;
    m_abort = false;
    m_window.EnableMeasure(false);
    s.CurrentFreq = f;
    if (s.SerialPortNr > 0 && s.SerialPort != nullptr) {
        // No initialisation here: the port is as "Measure" or the serial dialog left it.
        m_generator = true;
        m_generatorFailure.clear();
        SendFrequency();
        m_generator = false;
    }
    {
        const RunningOperation running(s, Operation::Tone);
        Notices refused;
        if (!MakeToneWav(s, kToneSeconds, &refused)) {
            Report(refused);
            m_window.EnableMeasure(true);
            ReportGeneratorFailure();
            return true;
        }
    }
    StartPlayback(s, m_window.VolumePosition());
    ReportGeneratorFailure();
    m_toneRunning.emplace(s, Operation::Tone);
    m_tone = true;
    m_endTone = false;
    m_toneRounds = -1;
    m_toneFrequency = f;
    return true;
}

int64_t SweepEngine::ContinueTone() {
    if (!m_tone) return -1;
    SharedState& s = m_state;
    // Every 50 ms: the progress, until the tone has played, "End Tone", closing, or a stalled
    // output.
    if (m_toneRounds >= 0 &&
        !(Playing(s) && !m_abort && !m_endTone && ++m_toneRounds < kToneRounds)) {
        if (Playing(s)) audio::ChannelStop(s.PlayStream);
        m_tone = false;
        m_toneRunning.reset();
        m_window.ShowProgress({});
        m_window.EnableMeasure(true);
        if (audio::OutputLost() && !m_abort) {
            m_window.Report({Notice::Reason::OutputLost, kOutputLostTone});
        }
        return -1;
    }
    m_toneRounds = std::max(m_toneRounds, 0);
    const double length = 2.0 * static_cast<double>(s.SampleCount);
    const double played = std::min(static_cast<double>(Position(s)), length);
    m_window.ShowProgress({MeasureWindow::Progress::Kind::Tone, played / length,
                           (length - played) / (1e6 * kBytesPerUs), m_toneFrequency});
    return 50000;
}

void SweepEngine::EndTone() {
    if (m_tone) m_endTone = true;
}

void ClearSpectrum(SharedState& s, int slot) {
    if (slot < 0 || slot >= kSlots) return;
    for (int i = 1; i <= kSlotCapacity; ++i) {
        s.SpecFreq[slot][i] = 0.0;
        s.SpecAmp[slot][i] = 0.0;
        s.SpecPhase[slot][i] = 0.0;
    }
    s.SpecCount[slot] = 0;
    s.SpecPhased[slot] = false;
    ++s.SpecReplaced;
}

SweepEngine::~SweepEngine() = default;

}  // namespace sonarix
