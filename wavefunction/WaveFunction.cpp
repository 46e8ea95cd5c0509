// The angle measurement and the wave-function files.
#include "wavefunction/WaveFunction.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <optional>

#include "measurement/FixedText.h"
#include "measurement/Playback.h"
#include "measurement/PlaybackAlignment.h"
#include "measurement/ReadLevel.h"
#include "measurement/Rounding.h"
#include "measurement/TestSignals.h"
#include "measurement/TextFiles.h"
#include "platform/Clock.h"
#include "platform/audio/Audio.h"

namespace sonarix {

double PolarAngle(double alphaDegrees) {
    constexpr double kPi = std::numbers::pi;
    if (alphaDegrees >= 180.0) return kPi;
    const double h = 0.5 * std::cos(alphaDegrees * kPi / 180.0) - 0.5;
    return kPi / 2 - std::atan(h / std::sqrt(1 - h * h));
}

PolarFigure MakePolarFigure(const WaveValues& values, int w, int h, bool lifted, bool symmetric) {
    constexpr double kPi = std::numbers::pi;
    constexpr int64_t kFar = int64_t{1} << 20;
    PolarFigure f;
    double m = 1e-10;
    for (double v : values) {
        if (v > m) m = v;
    }
    f.xc = w / 2;
    f.yc = h / 2;
    f.R = std::min(f.xc, f.yc);
    f.scale = f.R * 0.85 / m;
    f.L = static_cast<int>(Round(f.R * 0.9));
    auto set = [&](int index, int64_t x, int64_t y) {
        f.x[static_cast<size_t>(index)] = static_cast<int>(std::clamp(x, -kFar, kFar));
        f.y[static_cast<size_t>(index)] = static_cast<int>(std::clamp(y, -kFar, kFar));
    };
    for (int k = 0; k < kAngles; ++k) {
        const double r = f.scale * values[static_cast<size_t>(k)];
        const double phi = lifted ? 10.0 * k * kPi / 180.0 : PolarAngle(10.0 * k);
        const int64_t S = Round(r * std::sin(phi)), C = Round(r * std::cos(phi));
        const int64_t xc = f.xc, yc = f.yc;
        if (lifted) {
            // The mirror first, the measured point last, so that it stands where they meet.
            set(36 - k, symmetric ? xc - S : xc, symmetric ? yc - C : yc);
            set(k, xc + S, yc - C);
        } else {
            set(18 - k, symmetric ? xc + S : xc, symmetric ? yc + C : yc);
            set(54 + k, symmetric ? xc - S : xc, symmetric ? yc + C : yc);
            set(54 - k, symmetric ? xc - S : xc, symmetric ? yc - C : yc);
            set(18 + k, xc + S, yc - C);
        }
    }
    f.count = lifted ? 36 : 73;
    f.fill = lifted ? 0x008000 : 0xFF0000;
    return f;
}

namespace {

// The angle window as a fast measurement's host.
class AngleHost final : public FastHost {
public:
    explicit AngleHost(AngleWindow& w) : m_window(w) {}
    void ShowProgress(double fraction, double secondsLeft, double) override {
        m_window.ShowFastProgress(fraction, secondsLeft);
    }

private:
    AngleWindow& m_window;
};

// Runs an angle's measurement to its end (a fast one processes the window's messages between
// its 20 ms rounds, a tone's wait none), then stores it; "Saturation" shows for 500 ms. For tests
// and scripts.
bool RunToEnd(AngleRun& run, WaveValues& values, WaveSeries* series, AngleWindow& w) {
    for (;;) {
        if (run.RoundBegins()) w.ProcessMessages();
        const int64_t us = run.Continue();
        if (us < 0) break;
        if (us > 0) platform::SleepMicroseconds(us);
    }
    const AngleValue& v = run.Result();
    StoreAngleValue(v, values, series, w);
    if (v.saturated) {
        w.ShowSaturation(true);
        w.ProcessMessages();
        platform::Sleep(500);
    }
    w.ShowSaturation(false);
    return true;
}

}  // namespace

struct AngleRun::Impl {
    std::optional<RunningOperation> running;
    // The tone's read, or the fast measurement's run.
    std::unique_ptr<LevelBuffers> buffers;
    std::optional<ToneLevelRead> read;
    std::unique_ptr<AngleHost> host;
    std::unique_ptr<FastRun> fast;
    double frequency = 0.0;
};

AngleRun::AngleRun(SharedState& s, AngleWindow& w)
    : m_state(s), m_window(w), m(std::make_unique<Impl>()) {}

AngleRun::~AngleRun() = default;

bool AngleRun::Running() const { return m->running.has_value(); }
bool AngleRun::RoundBegins() const { return m->fast && m->fast->RoundBegins(); }

bool AngleRun::Begin() {
    SharedState& s = m_state;
    // Playing, stalled or paused, or inside another operation: the press is ignored.
    if (audio::ChannelIsActive(s.PlayStream) != 0 || s.Running != Operation::None) return false;
    m->running.emplace(s, Operation::Angle);
    m_result = AngleValue{};
    m_result.angle = std::clamp(m_window.SelectedAngle(), 0, kAngles - 1);
    m_window.AboutToMeasure(m_result.angle);
    return true;
}

bool AngleRun::Start() {
    SharedState& s = m_state;
    if (!Begin()) return false;
    Notices refused;
    if (!MakeToneWav(s, 1.0, &refused)) {
        for (const Notice& n : refused) m_window.Report(n);
        m->running.reset();
        return false;
    }
    StartPlayback(s, m_window.VolumePosition());
    // The level of the frames recorded when the tone had played 500 ms (calibrated: when its
    // sample at 500 ms arrived), read by their index in the recording.
    m->buffers = std::make_unique<LevelBuffers>();
    m->read.emplace(s, kAngleReadSample, m_window.LockInOn(), m_window.FftFilterOn());
    return true;
}

bool AngleRun::StartSpectrum(const FastPlan& plan, double frequency) {
    SharedState& s = m_state;
    if (!Begin()) return false;
    s.StopRequested = false;
    m->frequency = frequency;
    m->host = std::make_unique<AngleHost>(m_window);
    m->fast = std::make_unique<FastRun>(s, *m->host);
    m->fast->Start(plan, m_window.VolumePosition());
    return true;
}

int64_t AngleRun::Continue() {
    if (!m->running) return -1;
    if (m->read) {
        const int64_t us = m->read->Continue(*m->buffers);
        if (us >= 0) return us;
        const std::optional<double>& level = m->read->Level();
        if (!level.has_value()) {
            // The 1 s tone must still sound: what the recording holds now is not its level.
            m_window.Report({Notice::Reason::OutputLost, kOutputLostAngle});
        } else {
            m_result.measured = true;
            m_result.value = *level * 100.0;
            m_result.saturated = *level > 1.0;
        }
        return End();
    }
    const int64_t us = m->fast->Continue();
    if (us >= 0) return us;
    m_window.ShowFastProgress(-1.0, 0.0);
    if (const auto notice = FastOutcomeNotice(m->fast->Outcome())) m_window.Report(*notice);
    if (m->fast->Outcome() == FastOutcome::Stored) {
        auto spectrum = std::make_shared<FastSpectrum>(std::move(m->fast->Spectrum()));
        m_result.measured = true;
        m_result.value = AmplitudeAt(*spectrum, m->frequency);
        m_result.saturated = m->fast->Stats().peak >= 32767.0 / 32768.0;
        m_result.spectrum = std::move(spectrum);
    }
    return End();
}

int64_t AngleRun::End() {
    m->read.reset();
    m->fast.reset();
    m->host.reset();
    m->buffers.reset();
    m->running.reset();
    return -1;
}

void StoreAngleValue(const AngleValue& v, WaveValues& values, WaveSeries* series, AngleWindow& w) {
    if (!v.measured) return;
    const auto k = static_cast<size_t>(v.angle);
    if (series != nullptr && v.spectrum) (*series)[k] = v.spectrum;
    values[k] = v.value;
    w.Redraw();
    if (v.angle < kAngles - 1) w.SelectAngle(v.angle + 1);
}

bool MeasureValue(SharedState& s, WaveValues& values, AngleWindow& w) {
    AngleRun run(s, w);
    if (!run.Start()) return false;
    return RunToEnd(run, values, nullptr, w);
}

bool MeasureSpectrumValue(SharedState& s, const FastPlan& plan, double frequency,
                          WaveValues& values, WaveSeries& series, AngleWindow& w) {
    AngleRun run(s, w);
    if (!run.StartSpectrum(plan, frequency)) return false;
    return RunToEnd(run, values, &series, w);
}

double AmplitudeAt(const FastSpectrum& spectrum, double f) {
    const std::vector<double>& x = spectrum.freq;
    if (x.empty() || !(f >= x.front()) || !(f <= x.back())) return 0.0;
    const auto hi = std::lower_bound(x.begin(), x.end(), f);
    const size_t j = static_cast<size_t>(hi - x.begin());
    if (j == 0 || *hi == f) return spectrum.amp[j];
    const double a = (f - x[j - 1]) / (x[j] - x[j - 1]);
    return spectrum.amp[j - 1] + a * (spectrum.amp[j] - spectrum.amp[j - 1]);
}

void ValuesAt(const WaveSeries& series, double f, WaveValues& values) {
    for (size_t k = 0; k < series.size(); ++k) {
        values[k] = series[k] ? AmplitudeAt(*series[k], f) : 0.0;
    }
}

void ClearValues(WaveValues& values) { values.fill(0.0); }

std::string WaveLines(const WaveValues& values) {
    std::string out;
    for (int k = 0; k < kAngles; ++k) {
        out += FixedText(PolarAngle(10.0 * k) * 180.0 / std::numbers::pi, 1);
        out += ' ';
        AppendFixed3(out, values[static_cast<size_t>(k)]);
        out += "\r\n";
    }
    return out;
}

}  // namespace sonarix
