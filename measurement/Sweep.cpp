// The sweep and tone engine.
#include "measurement/Sweep.h"

#include <algorithm>
#include <chrono>
#include <cmath>

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
// Steps of at most this many milliseconds wait awake.
constexpr double kAwakeStepMs = 20.0;
// 2 s without the playback position moving.
constexpr int64_t kStallMicroseconds = 2000000;
// 2 bytes a sample, 44100 samples a second.
constexpr double kBytesPerUs = 0.0882;

double BytesIn(int64_t us) { return static_cast<double>(us) * kBytesPerUs; }

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
    const Clock::time_point begin = Clock::now();

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
    const int slot = s.CurrentSlot;
    // The phases are the resonator's only when every point is read phase-locked against the
    // calibrated latency.
    bool phased = s.Latency.valid;
    // With a calibrated latency each level is read once the latest 1024 frames, which it
    // evaluates, are centred on the sound played at the step's target.
    const bool compensate = s.Latency.valid;
    const int64_t delay = compensate ? 2 * std::llround(s.Latency.samples + kLevelFrames / 2.0) : 0;
    const int64_t end = 2 * s.SampleCount;
    // Steps this short stay awake in their waits: a thread put to sleep may be woken
    // milliseconds late when every core is busy, which a step of a few milliseconds cannot
    // absorb. Such a sweep keeps one core busy while it runs.
    void (*const wait)(int64_t) =
        s.StepTime <= kAwakeStepMs ? platform::WaitAwakeMicroseconds : platform::SleepMicroseconds;
    // Once the image has been played, the sound of its last steps is still on its way: the
    // time since the end stands in for the position, 88.2 bytes a millisecond, counted on the
    // clock the waits follow (all of it, the reads and redraws between the waits as well).
    // The end is taken from the last position read short of it, when it was read: the
    // position stops at the end, so one read there may have come well after it.
    bool tail = false;
    double tailBase = 0.0;
    int64_t tailSince = 0;
    int64_t shortPos = 0, shortAt = 0;
    auto tailPosition = [&] { return tailBase + BytesIn(platform::Microseconds() - tailSince); };
    auto position = [&] {
        const int64_t p = Position(s);
        if (p < end) {
            shortPos = p;
            shortAt = platform::Microseconds();
        }
        return p;
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
        // Uncalibrated, the target counts the 44 header bytes as the position does not; a
        // calibrated target is the sample itself, moved by the delay.
        const int64_t target = static_cast<int64_t>(std::nearbyint(v)) + (compensate ? delay : 44);

        int64_t pos = tail ? end : position();
        if (!tail && pos > target) {
            // Late: back to 100 ms before the target (where that lies before the start, the
            // position stays). A chirp that has already played to its end is not started again:
            // this step is read as it is, and the sweep ends with it.
            if (target - kRewindBytes >= 0 && Playing(s)) {
                audio::ChannelSetPosition(s.PlayStream,
                                          static_cast<uint64_t>(target - kRewindBytes));
            }
            m_window.ShowLag(true);
            lagShown = true;
            ++m_stats.lagEvents;
        }
        {
            Timed t(m_stats.commandSeconds);
            SendFrequency();
        }
        {
            // The position is read before the sleep and compared after it; the activity test
            // only when the target has not been passed. The sleep lasts 2 ms, or until the
            // playback passes the target when that comes sooner, and nothing once it has passed:
            // the read comes as soon as the target is passed.
            waitStart = Clock::now();
            Timed t(m_stats.waitSeconds);
            int64_t last = pos;
            int64_t stillUs = 0;
            int64_t slept = 0;
            for (; !tail;) {
                pos = position();
                slept = UntilPassed(target, pos);
                wait(slept);
                if (pos > target || !Playing(s)) break;
                // A playback that stays active without moving (a stalled sound server) would
                // hold the window here for good.
                stillUs = pos == last ? stillUs + slept : 0;
                last = pos;
                if (stillUs >= kStallMicroseconds) break;
            }
            if (stillUs >= kStallMicroseconds) {
                stalled = true;
                break;
            }
            if (compensate && !tail && !Playing(s) && position() >= end) {
                tail = true;
                tailSince = platform::Microseconds();
                tailBase = std::max(static_cast<double>(shortPos) + BytesIn(tailSince - shortAt),
                                    static_cast<double>(end));
            }
            if (tail && tailPosition() <= static_cast<double>(target)) {
                // The sound of the image's last steps is on its way: the time it still needs.
                const auto us = static_cast<int64_t>(
                    std::ceil((static_cast<double>(target) + 1.0 - tailPosition()) / kBytesPerUs));
                platform::SleepMicroseconds(us);
            }
        }
        waitEnd = Clock::now();
        // A playback that ended short of both the target and the end of the image was cut
        // off (the output went away): the step's sound was never played, so it is not read.
        if (!tail && !Playing(s) && Position(s) < std::min(target, end)) break;
        {
            const double late = ((tail ? tailPosition() : static_cast<double>(Position(s))) -
                                 static_cast<double>(target)) /
                                (1000.0 * kBytesPerUs);
            m_stats.readLateMeanMs += late;
            m_stats.readLateMaxMs = std::max(m_stats.readLateMaxMs, late);
        }
        if (lagShown) {
            m_window.ShowLag(false);
            lagShown = false;
        }
        double level;
        double phase = 0.0;
        {
            Timed t(m_stats.levelSeconds);
            phased = phased && m_window.LockInOn();
            if (m_window.LockInOn()) {
                const LockInWork::Result r = ReadLockInLevel(s, s.CurrentFreq, *m_buffers,
                                                             tail ? tailPosition() / 2.0 : -1.0);
                level = r.level;
                phase = r.phaseDegrees;
            } else {
                level = ReadLevel(s, s.CurrentFreq, m_window.FftFilterOn(), *m_buffers);
            }
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
            const double left = tail ? static_cast<double>(end + delay) - tailPosition()
                                     : static_cast<double>(end + delay - Position(s));
            m_window.ShowProgress({MeasureWindow::Progress::Kind::Sweep,
                                   (s.CurrentFreq - s.StartFreq) / (s.StopFreq - s.StartFreq),
                                   std::max(left, 0.0) / (1e6 * kBytesPerUs), s.CurrentFreq});
        }
        m_stats.longestWorkMs =
            std::max(m_stats.longestWorkMs,
                     1e3 * (std::chrono::duration<double>(waitStart - roundStart).count() +
                            Seconds(waitEnd)));
        s.CurrentFreq = s.CurrentFreq + s.StepFreq;
        i = i + 1;
    } while (s.CurrentFreq <= s.StopFreq && (Playing(s) || tail) && !s.StopRequested && i < 20000);
    // The output ended with points still to come: the sound server went away, or something
    // else stopped the stream short of its end. A playback that ran to its end because the
    // sweep fell behind in its last steps is no failure: the points up to there are kept and
    // nothing is said.
    const bool cutOff = audio::OutputLost() || Position(s) < end;
    const bool early =
        !stalled && !s.StopRequested && s.CurrentFreq <= s.StopFreq && i < 20000 && cutOff;

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
    if (m_stats.steps > 0) m_stats.readLateMeanMs /= m_stats.steps;
    m_running = false;
    if (m_events != nullptr) m_events->SweepEnded(slot);
    if (stalled) ShowMessage(kPlaybackStalled);
    if (early) ShowMessage(audio::OutputLost() ? kOutputLostSweep : kOutputEndedSweep);
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
