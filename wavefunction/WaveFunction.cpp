// The angle measurement and the wave-function files.
#include "wavefunction/WaveFunction.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <optional>

#include "measurement/FixedText.h"
#include "measurement/Messages.h"
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

bool MeasureValue(SharedState& s, WaveValues& values, AngleWindow& w) {
    // Playing, stalled or paused, or inside another operation: the press is ignored.
    if (audio::ChannelIsActive(s.PlayStream) != 0 || s.Running != Operation::None) return false;
    const RunningOperation running(s, Operation::Angle);
    const int k = std::clamp(w.SelectedAngle(), 0, kAngles - 1);
    w.AboutToMeasure(k);
    if (!MakeToneWav(s, 1.0)) return false;
    StartPlayback(s, w.VolumePosition());
    // The level of the frames recorded when the tone had played 500 ms (calibrated: when its
    // sample at 500 ms arrived), read by their index in the recording.
    auto buffers = std::make_unique<LevelBuffers>();
    const std::optional<double> level =
        ReadToneLevel(s, kAngleReadSample, w.LockInOn(), w.FftFilterOn(), *buffers);
    if (!level.has_value()) {
        // The 1 s tone must still sound: what the recording holds now is not its level.
        ShowMessage(kOutputLostAngle);
        return true;
    }
    values[static_cast<size_t>(k)] = *level * 100.0;
    w.Redraw();
    if (k < kAngles - 1) w.SelectAngle(k + 1);
    if (*level > 1.0) {
        w.ShowSaturation(true);
        w.ProcessMessages();
        platform::Sleep(500);
    }
    w.ShowSaturation(false);
    return true;
}

namespace {

// The angle window as a fast measurement's host.
class AngleHost final : public FastHost {
public:
    explicit AngleHost(AngleWindow& w) : m_window(w) {}
    void ProcessMessages() override { m_window.ProcessMessages(); }
    void ShowProgress(double fraction, double secondsLeft, double) override {
        m_window.ShowFastProgress(fraction, secondsLeft);
    }

private:
    AngleWindow& m_window;
};

}  // namespace

bool MeasureSpectrumValue(SharedState& s, const FastPlan& plan, double frequency,
                          WaveValues& values, WaveSeries& series, AngleWindow& w) {
    if (audio::ChannelIsActive(s.PlayStream) != 0 || s.Running != Operation::None) return false;
    const RunningOperation running(s, Operation::Angle);
    const int k = std::clamp(w.SelectedAngle(), 0, kAngles - 1);
    w.AboutToMeasure(k);
    s.StopRequested = false;
    AngleHost host(w);
    auto spectrum = std::make_shared<FastSpectrum>();
    FastStats stats;
    const FastOutcome outcome = RunFastSweep(s, plan, w.VolumePosition(), host, *spectrum, stats);
    w.ShowFastProgress(-1.0, 0.0);
    if (outcome != FastOutcome::Stored) return true;
    series[static_cast<size_t>(k)] = std::move(spectrum);
    values[static_cast<size_t>(k)] = AmplitudeAt(*series[static_cast<size_t>(k)], frequency);
    w.Redraw();
    if (k < kAngles - 1) w.SelectAngle(k + 1);
    if (stats.peak >= 32767.0 / 32768.0) {
        w.ShowSaturation(true);
        w.ProcessMessages();
        platform::Sleep(500);
    }
    w.ShowSaturation(false);
    return true;
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
