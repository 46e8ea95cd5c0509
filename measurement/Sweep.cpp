// The sweep and tone engine.
#include "measurement/Sweep.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>

#include "measurement/GeneratorLink.h"
#include "measurement/Messages.h"
#include "measurement/Playback.h"
#include "measurement/TestSignals.h"
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

// The longest a playback of ours can still run when "Measure" comes: the 10 s tone.
constexpr int kLongestTailMs = 12000;
// The readings of the playback's place in the recording that a step's read waits for: enough
// that one report a block off moves nothing, over 50 ms of the playback.
constexpr int kSettledReadings = 8;
constexpr double kSettledSamples = 2205.0;

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
// 2 bytes a sample, 44100 samples a second.
constexpr double kBytesPerUs = 0.0882;

// The wait's sleep from position pos: until the playback passes byte `target`, at most 2 ms,
// nothing when it has passed.
int64_t UntilPassed(int64_t target, int64_t pos) {
    if (pos > target) return 0;
    const int64_t samples = (target - pos) / 2 + 1;
    return std::min<int64_t>(2000, (samples * 1000000 + 44099) / 44100);
}
// The tone's own length in 50 ms rounds, and 5 s more for a slow start.
constexpr int kToneRounds = static_cast<int>(kToneSeconds * 20) + 100;

}  // namespace

SweepEngine::SweepEngine(SharedState& state, MeasureWindow& window)
    : m_state(state), m_window(window) {}

SweepEngine::~SweepEngine() = default;

void SweepEngine::Stop() { m_state.StopRequested = true; }

void SweepEngine::Abort() {
    m_abort = true;
    m_state.StopRequested = true;
}

bool SweepEngine::WaitForPlaybackEnd() {
    for (int waited = 0; Playing(m_state); waited += 2) {
        if (waited >= kLongestTailMs || m_abort) {
            audio::ChannelStop(m_state.PlayStream);
            break;
        }
        platform::Sleep(2);
    }
    return !m_abort;
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
            // "Seriel port not available" has been shown: the sweep goes on with the sound
            // card alone and sends no commands to the absent port.
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

void SweepEngine::ReportGeneratorFailure() {
    if (m_generatorFailure.empty()) return;
    ShowMessage(m_generatorFailure + ". The measurement went on without the generator.");
    m_generatorFailure.clear();
}

void SweepEngine::Measure() {
    SharedState& s = m_state;
    // Not inside another operation (a tone, an angle measurement, a calibration).
    if (m_running || s.Running != Operation::None) return;
    // Refusals are decided before anything changes: the sweep is planned first.
    const MeasureWindow::SweepFields fields = m_window.Fields();
    if (!PlanSweep(s, fields.start, fields.stop, fields.step, fields.time)) return;
    m_abort = false;
    m_running = true;
    const RunningOperation running(s, Operation::Sweep);
    m_stats = SweepStats{};
    m_stats.reads.reserve(static_cast<size_t>(
        std::clamp((s.StopFreq - s.StartFreq) / s.StepFreq + 1.0, 1.0, 20000.0)));
    const Clock::time_point begin = Clock::now();
    const double cpuBegin = ProcessCpuSeconds();

    // 1. - 3. "Measure" away, the buffers, the slot, the generator.
    m_window.ShowMeasure(false);
    s.StopRequested = false;
    m_buffers = std::make_unique<LevelBuffers>();
    s.CurrentSlot = std::clamp(m_window.SelectedSlot(), 0, kSlots - 1);
    OpenGenerator();
    // 4., 5. The chirp, once nothing plays from the image any more, and its playback.
    if (!WaitForPlaybackEnd()) {
        m_window.ShowMeasure(true);
        m_running = false;
        return;
    }
    WriteSweep(s);
    if (m_events != nullptr) m_events->SweepBegins(s.CurrentSlot);
    // The progress shows before the chirp starts: its first showing lays the window out, which
    // the first short steps must not wait for.
    m_window.ShowProgress({MeasureWindow::Progress::Kind::Sweep, 0.0,
                           static_cast<double>(s.SampleCount) / 44100.0, s.StartFreq});
    StartPlayback(s, m_window.VolumePosition());

    // 6. The first point is one step above the start frequency.
    s.CurrentFreq = s.StartFreq + s.StepFreq;
    int32_t i = 1;
    // Points stored in the slot by this sweep. "Clear Spectrum" of the slot between two steps
    // sets its count back; the sweep then goes on from the count it finds, so that the slot
    // holds the points measured since and nothing else.
    int32_t stored = 0;
    bool lagShown = false;
    bool stalled = false;
    bool cutOff = false;     // the playback ended short of a step's sound
    double unreadAt = -1.0;  // the frequency whose frames could not be had
    const int slot = s.CurrentSlot;
    // The phases are the resonator's only when every point is read phase-locked against the
    // calibrated latency.
    bool phased = s.Latency.valid;
    // Each level is read by its frames' index in the recording, from where the playback's
    // samples lie in it (m_alignment): uncalibrated, the frames that were the newest when the
    // playback passed the step's target; with a calibrated latency, the 1024 frames centred on
    // the arrival of the step's own sample. Whenever the program gets to them, they are the
    // same frames.
    const bool compensate = s.Latency.valid;
    const int64_t delay = compensate ? 2 * std::llround(s.Latency.samples + kLevelFrames / 2.0) : 0;
    const int64_t end = 2 * s.SampleCount;
    // Without a recording nothing can be read by index: each step then reads when the
    // playback passes its target, and reads nothing.
    const bool byIndex = s.RecChannel != 0;
    m_alignment.Reset(0);
    uint64_t gaps = audio::PlaybackGaps();
    // Where step `readSample`'s frames end in the recording, once the alignment is known.
    auto endFrame = [&](int64_t readSample) {
        const double age = compensate ? s.Latency.ageSamples : m_alignment.MeanAge();
        return std::llround(static_cast<double>(readSample) + m_alignment.Offset() - age);
    };
    auto settled = [&](bool playing) {
        return m_alignment.Readings() > 0 &&
               (!playing || (m_alignment.Readings() >= kSettledReadings &&
                             m_alignment.Span() >= kSettledSamples));
    };
    // The last step's frames, for the time left.
    const int64_t lastRead = compensate ? s.SampleCount + delay / 2 + 1 : s.SampleCount;
    auto rewind = [&](int64_t stepByte) {
        // Back to 100 ms before the step's sound (or to the start), and the alignment anew.
        const int64_t to = std::max<int64_t>(0, (stepByte - kRewindBytes) & ~int64_t{1});
        audio::ChannelSetPosition(s.PlayStream, static_cast<uint64_t>(to));
        m_alignment.Reset(to / 2);
        m_window.ShowLag(true);
        lagShown = true;
        ++m_stats.lagEvents;
    };
    Clock::time_point roundStart, waitStart, waitEnd;
    do {
        roundStart = Clock::now();
        {
            Timed t(m_stats.messageSeconds, &m_stats.longestMessagesMs);
            m_window.ProcessMessages();
        }
        // The byte offset of the sample where the chirp passes CurrentFreq, left to right in
        // extended precision.
        long double v = static_cast<long double>(s.CurrentFreq) - s.StartFreq;
        v = v * 2.0L;
        v = v / (static_cast<long double>(s.StopFreq) - s.StartFreq);
        v = v * static_cast<long double>(s.SampleCount);
        const auto stepByte = static_cast<int64_t>(std::nearbyint(v));
        // Uncalibrated, the target counts the 44 header bytes as the position does not; a
        // calibrated target is the sample itself, moved by the delay. The step reads the frames
        // current when the position has passed it (uncalibrated: or the image has ended).
        const int64_t target = stepByte + (compensate ? delay : 44);
        int64_t readSample = target / 2 + 1;
        if (!compensate) readSample = std::min(readSample, s.SampleCount);
        {
            Timed t(m_stats.commandSeconds);
            SendFrequency();
        }
        // Wait until the step's frames are in the recording, taking readings of where the
        // playback lies in it meanwhile; the wait sleeps until they are due, at most 5 ms.
        waitStart = Clock::now();
        std::optional<int64_t> frames;
        {
            Timed t(m_stats.waitSeconds);
            int64_t last = Position(s), stillUs = 0, silentUs = 0;
            double reached = audio::RecordNow();
            for (;;) {
                const bool playing = Playing(s);
                const int64_t pos = Position(s);
                if (playing) m_alignment.Read(s.PlayStream, s.SampleCount);
                // A gap in the playback moves its samples against the recording, and the
                // frames around it hold silence: the frames read so far came before it was
                // reported; this step's sound is played again.
                if (const uint64_t g = audio::PlaybackGaps(); g != gaps) {
                    gaps = g;
                    if (!playing) {
                        unreadAt = s.CurrentFreq;
                        break;
                    }
                    rewind(stepByte);
                    continue;
                }
                if (!playing && pos < std::min(target, end)) {
                    // Cut off (the output went away, or the stream was stopped from outside):
                    // the step's sound was never played, so it is not read.
                    cutOff = true;
                    break;
                }
                int64_t us = 2000;
                if (!byIndex) {
                    if (pos > target || !playing) break;
                    us = UntilPassed(target, pos);
                } else if (settled(playing)) {
                    const int64_t e = endFrame(readSample);
                    const auto have = static_cast<int64_t>(audio::RecordFrames());
                    if (e <= have) {
                        frames = e;
                        break;
                    }
                    us = std::clamp<int64_t>((e - have) * 1000000 / 44100 + 1, 1, 5000);
                } else if (!playing) {
                    // Ended before the playback's place in the recording could be read.
                    unreadAt = s.CurrentFreq;
                    break;
                }
                platform::SleepMicroseconds(us);
                // A playback that stays active without moving (a stalled sound server), or a
                // recording that stops coming, would hold the window here for good.
                stillUs = playing && pos == last ? stillUs + us : 0;
                last = pos;
                const double now = audio::RecordNow();
                silentUs = now == reached ? silentUs + us : 0;
                reached = now;
                if (stillUs >= kStallMicroseconds) {
                    stalled = true;
                    break;
                }
                if (silentUs >= kStallMicroseconds) {
                    unreadAt = s.CurrentFreq;
                    break;
                }
            }
        }
        if (stalled || cutOff || unreadAt >= 0.0) break;
        waitEnd = Clock::now();
        double level = 0.0;
        double phase = 0.0;
        {
            Timed t(m_stats.levelSeconds);
            const bool lockIn = m_window.LockInOn();
            phased = phased && lockIn;
            if (!frames.has_value()) {
                if (lockIn) {
                    const LockInWork::Result r = ReadLockInLevel(s, s.CurrentFreq, *m_buffers);
                    level = r.level;
                    phase = r.phaseDegrees;
                } else {
                    level = ReadLevel(s, s.CurrentFreq, m_window.FftFilterOn(), *m_buffers);
                }
            } else {
                const auto e = static_cast<uint64_t>(std::max<int64_t>(*frames, 1));
                std::optional<double> read;
                if (lockIn) {
                    // Frame index less the index of the image sample heard in it.
                    const std::optional<double> heard =
                        compensate
                            ? std::optional<double>(m_alignment.Offset() + s.Latency.frameOffset)
                            : std::nullopt;
                    if (const auto r =
                            ReadLockInLevelBefore(s, s.CurrentFreq, *m_buffers, e, heard)) {
                        read = r->level;
                        phase = r->phaseDegrees;
                    }
                } else {
                    read = ReadLevelBefore(s, s.CurrentFreq, m_window.FftFilterOn(), *m_buffers, e);
                }
                if (!read.has_value()) {
                    // The recording no longer holds the frames (the program was held up for
                    // longer than it keeps): the step's sound is played again, or, when the
                    // image has ended, the sweep ends here.
                    if (Playing(s)) {
                        rewind(stepByte);
                        continue;
                    }
                    unreadAt = s.CurrentFreq;
                    break;
                }
                level = *read;
                m_stats.readLateMeanMs += (audio::RecordNow() - static_cast<double>(e)) / 44.1;
                m_stats.readLateMaxMs = std::max(
                    m_stats.readLateMaxMs, (audio::RecordNow() - static_cast<double>(e)) / 44.1);
                if (m_stats.reads.size() < m_stats.reads.capacity()) {
                    m_stats.reads.push_back({static_cast<double>(v) / 2.0, static_cast<double>(e)});
                }
            }
        }
        if (lagShown) {
            m_window.ShowLag(false);
            lagShown = false;
        }
        stored = std::min(stored, s.SpecCount[slot]) + 1;
        s.SpecFreq[slot][stored] = s.CurrentFreq;
        s.SpecAmp[slot][stored] = level * 100.0;
        s.SpecPhase[slot][stored] = phase;
        s.SpecCount[slot] = stored;
        s.SpecPhased[slot] = phased;
        if (m_events != nullptr) m_events->PointStored(slot, stored);
        m_window.ShowSaturation(level > 1.0);
        {
            Timed t(m_stats.redrawSeconds, &m_stats.longestRedrawMs);
            m_window.Redraw();
        }
        ++m_stats.steps;
        {
            const double left =
                m_alignment.Readings() > 0
                    ? static_cast<double>(endFrame(lastRead)) - audio::RecordNow()
                    : static_cast<double>(s.SampleCount) - static_cast<double>(Position(s)) / 2.0;
            m_window.ShowProgress({MeasureWindow::Progress::Kind::Sweep,
                                   (s.CurrentFreq - s.StartFreq) / (s.StopFreq - s.StartFreq),
                                   std::max(left, 0.0) / 44100.0, s.CurrentFreq});
        }
        m_stats.longestWorkMs =
            std::max(m_stats.longestWorkMs,
                     1e3 * (std::chrono::duration<double>(waitStart - roundStart).count() +
                            Seconds(waitEnd)));
        s.CurrentFreq = s.CurrentFreq + s.StepFreq;
        i = i + 1;
        // On while the chirp plays, or has played to its end: the sound of the steps left is
        // then in the recording, or on its way.
    } while (s.CurrentFreq <= s.StopFreq && (Playing(s) || Position(s) >= end) &&
             !s.StopRequested && i < 20000);
    // The output ended with points still to come: the sound server went away, or something
    // else stopped the stream short of its end.
    const bool early = !stalled && !s.StopRequested && s.CurrentFreq <= s.StopFreq && i < 20000 &&
                       unreadAt < 0.0 && (audio::OutputLost() || Position(s) < end);

    // 8., 9. Silence at once, "Measure" back; the lag indicator goes with the sweep whichever
    // way it ended.
    audio::ChannelStop(s.PlayStream);
    m_window.ShowProgress({});
    if (lagShown) m_window.ShowLag(false);
    m_window.ShowMeasure(true);
    m_window.Redraw();
    m_window.ShowSaturation(false);
    m_buffers.reset();
    m_stats.totalSeconds = Seconds(begin);
    m_stats.cpuSeconds = ProcessCpuSeconds() - cpuBegin;
    if (m_stats.steps > 0) m_stats.readLateMeanMs /= m_stats.steps;
    m_running = false;
    if (m_events != nullptr) m_events->SweepEnded(slot);
    if (stalled) ShowMessage(kPlaybackStalled);
    if (early) ShowMessage(audio::OutputLost() ? kOutputLostSweep : kOutputEndedSweep);
    if (unreadAt >= 0.0) ShowMessage(UnreadMessage(unreadAt));
    ReportGeneratorFailure();
}

bool SweepEngine::PlayTone(double f) {
    SharedState& s = m_state;
    // A sweep, a tone or an angle measurement plays, or a sweep reads the last steps after
    // its image has ended.
    if (Playing(s) || s.Running != Operation::None) return false;
    const RunningOperation running(s, Operation::Tone);
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
    if (!MakeToneWav(s, kToneSeconds)) {
        m_window.EnableMeasure(true);
        ReportGeneratorFailure();
        return true;
    }
    StartPlayback(s, m_window.VolumePosition());
    ReportGeneratorFailure();
    m_tone = true;
    m_endTone = false;
    const double length = 2.0 * static_cast<double>(s.SampleCount);
    int rounds = 0;
    do {
        const double played = std::min(static_cast<double>(Position(s)), length);
        m_window.ShowProgress({MeasureWindow::Progress::Kind::Tone, played / length,
                               (length - played) / (1e6 * kBytesPerUs), f});
        platform::Sleep(50);
        m_window.ProcessMessages();
    } while (Playing(s) && !m_abort && !m_endTone && ++rounds < kToneRounds);
    // Closing, "End Tone", or a stalled output.
    if (Playing(s)) audio::ChannelStop(s.PlayStream);
    m_tone = false;
    m_window.ShowProgress({});
    m_window.EnableMeasure(true);
    if (audio::OutputLost() && !m_abort) ShowMessage(kOutputLostTone);
    return true;
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
}

}  // namespace sonarix
