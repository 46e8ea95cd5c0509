// The fast measurement: the exponential sine sweep, its recording and its deconvolution.
#include "measurement/FastSweep.h"

#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

#include "measurement/Messages.h"
#include "measurement/Playback.h"
#include "measurement/ReadNumber.h"
#include "measurement/Sweep.h"
#include "measurement/TestSignals.h"
#include "platform/Clock.h"
#include "platform/audio/Audio.h"
#include "platform/audio/RecordBuffer.h"

namespace sonarix {

namespace {

constexpr double kRate = 44100.0;
constexpr double kFadeIn = 0.05;   // s
constexpr double kFadeOut = 0.01;  // s
constexpr double kBefore = 0.05;   // s kept before the response (the band edges ring both ways)
constexpr double kTail = 0.35;     // s recorded after the sweep's end, beyond the latency
constexpr double kLowestSweep = 10.0;
constexpr double kHighestSweep = 21500.0;

// One FFTW plan's worth of arrays, made and freed under the planner's lock. In double
// precision: the deep notches between modes lie 60 dB and more below the peaks.
struct Fft {
    explicit Fft(int n) : n(n) {
        std::lock_guard lock(audio::FftPlannerMutex());
        real = fftw_alloc_real(static_cast<size_t>(n));
        spectrum = fftw_alloc_complex(static_cast<size_t>(n / 2 + 1));
        forward = fftw_plan_dft_r2c_1d(n, real, spectrum, FFTW_ESTIMATE);
        backward = fftw_plan_dft_c2r_1d(n, spectrum, real, FFTW_ESTIMATE);
    }
    ~Fft() {
        std::lock_guard lock(audio::FftPlannerMutex());
        fftw_destroy_plan(forward);
        fftw_destroy_plan(backward);
        fftw_free(real);
        fftw_free(spectrum);
    }
    Fft(const Fft&) = delete;
    Fft& operator=(const Fft&) = delete;
    int n;
    double* real;
    fftw_complex* spectrum;
    fftw_plan forward, backward;
};

// Where the response has died into the noise: the end of the first 10 ms block after its
// first 30 ms whose RMS is below twice the noise's, the noise measured where only noise lies
// (after the second harmonic's response, which comes `harmonic` seconds early, and before the
// linear one). Every sample kept beyond it would add noise and nothing else. At most `most`.
int ResponseEnd(const double* h, int n, int arrival, int most, double harmonic) {
    auto at = [&](int t) { return h[((t % n) + n) % n]; };
    const int quietFrom = arrival - static_cast<int>(std::min(0.3, 0.6 * harmonic) * kRate);
    const int quietTo = arrival - static_cast<int>((kBefore + 0.01) * kRate);
    if (quietTo - quietFrom < 2000) return most;
    double noise = 0.0;
    for (int t = quietFrom; t < quietTo; ++t) noise += at(t) * at(t);
    noise /= quietTo - quietFrom;
    const int block = static_cast<int>(0.01 * kRate);
    for (int start = static_cast<int>(0.03 * kRate); start + block <= most; start += block) {
        double power = 0.0;
        for (int t = start; t < start + block; ++t) power += at(arrival + t) * at(arrival + t);
        if (power / block < 4.0 * noise) return start + block;
    }
    return most;
}

// The transport delay of the path whose spectrum (bins 0 ... m/2 of an m-point transform,
// time 0 at index 0) is given, as the latency calibration finds it: the minimum phase, which
// the magnitude fixes, taken off the phase on the band lo ... hi Hz leaves the excess phase,
// whose pulse peaks at the delay. In samples, within +-`within` of 0, with the peak's height
// as a share of a pure delay's.
Arrival TransportDelay(const fftw_complex* h, int m, double lo, double hi, int within) {
    const int bins = m / 2 + 1;
    const int kLo = static_cast<int>(lo * m / kRate), kHi = static_cast<int>(hi * m / kRate);
    auto at = [&](int k) {
        const int b = std::clamp(k, kLo, kHi);
        return std::complex<double>(h[b][0], h[b][1]);
    };
    std::vector<std::complex<double>> buffer(static_cast<size_t>(m));
    auto* data = reinterpret_cast<fftw_complex*>(buffer.data());
    fftw_plan plan;
    {
        std::lock_guard lock(audio::FftPlannerMutex());
        plan = fftw_plan_dft_1d(m, data, data, FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    // The real cepstrum of log |H| (beyond the band its edge values go on), folded, and
    // transformed forward (a backward transform of the conjugate, conjugated): its imaginary
    // part is the minimum phase.
    for (int k = 0; k < m; ++k) {
        buffer[static_cast<size_t>(k)] = std::log(std::abs(at(k < bins ? k : m - k)) + 1e-300);
    }
    fftw_execute(plan);
    for (int n = 0; n < m; ++n) {
        const double fold = n == 0 || n == m / 2 ? 1.0 : n < m / 2 ? 2.0 : 0.0;
        buffer[static_cast<size_t>(n)] =
            std::conj(buffer[static_cast<size_t>(n)] * fold / double(m));
    }
    fftw_execute(plan);
    // The excess phase alone on the band, back to time.
    for (int k = 0; k < m; ++k) {
        std::complex<double>& v = buffer[static_cast<size_t>(k)];
        const double minimumPhase = -v.imag();
        v = k >= kLo && k <= kHi ? std::polar(1.0, std::arg(at(k)) - minimumPhase) : 0.0;
    }
    fftw_execute(plan);
    {
        std::lock_guard lock(audio::FftPlannerMutex());
        fftw_destroy_plan(plan);
    }
    auto magnitude = [&](int n) { return std::abs(buffer[static_cast<size_t>((n % m + m) % m)]); };
    int best = 0;
    for (int n = -within; n <= within; ++n) {
        if (magnitude(n) > magnitude(best)) best = n;
    }
    const double a = magnitude(best - 1), b = magnitude(best), c = magnitude(best + 1);
    const double curve = a - 2.0 * b + c;
    return {best + (curve < 0.0 ? 0.5 * (a - c) / curve : 0.0), b / (kHi - kLo + 1)};
}

int PowerOfTwoAtLeast(size_t n) {
    int p = 1;
    while (static_cast<size_t>(p) < n) p *= 2;
    return p;
}

}  // namespace

bool PlanFastSweep(std::string_view start, std::string_view stop, const FastSettings& settings,
                   FastPlan& plan) {
    const double f0 = ReadNumber(start, "Start Frequency [Hz]");
    const double f1 = ReadNumber(stop, "Stop Frequency [Hz]");
    auto refuse = [](const char* text) {
        ShowMessage(text);
        return false;
    };
    if (f0 < 0.0) return refuse(kStartNegative);
    if (f1 < 0.0) return refuse(kStopNegative);
    if (!(f1 > f0)) return refuse(kStopNotAboveStart);
    if (f1 > kHighestFrequency) return refuse(kStopAboveHalfRate);
    const double spacing = settings.spacing > 0.0 ? settings.spacing : 1.0;
    const double count = std::floor((f1 - f0) / spacing + 1e-9);
    if (count > kMostSweepSteps) return refuse(kFastTooManyPoints);
    if (count < 1.0) return refuse(kStepBeyondRange);
    FastPlan p;
    p.start = f0;
    p.stop = f1;
    p.spacing = spacing;
    p.points = static_cast<int>(count);
    // The sweep covers the points with room for its fades at both ends.
    p.f1 = std::max(kLowestSweep, (f0 + spacing) / 1.5);
    p.f2 = std::min(kHighestSweep, f1 * 1.15);
    const double octaves = std::log(p.f2 / p.f1);
    p.seconds = std::max(1.0, 0.6 * octaves) * std::clamp(settings.lengthFactor, 1, 64);
    p.samples = static_cast<int64_t>(std::llround(p.seconds * kRate));
    p.rate = p.seconds / octaves;
    // The second harmonic's response lies rate * ln 2 before the linear one: the window ends
    // well before it comes round.
    p.window = std::min(0.3, 0.7 * p.rate * std::numbers::ln2 - kBefore);
    plan = p;
    return true;
}

std::vector<int16_t> EssSamples(const FastPlan& plan) {
    std::vector<int16_t> out(static_cast<size_t>(plan.samples));
    const double n = static_cast<double>(plan.samples);
    const double fadeIn = kFadeIn * kRate, fadeOut = kFadeOut * kRate;
    const double k = 2.0 * std::numbers::pi * plan.f1 * plan.rate;
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        double gain = 1.0;
        const double fromEnd = n - 1.0 - static_cast<double>(i);
        if (static_cast<double>(i) < fadeIn) {
            gain = 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(i) / fadeIn);
        } else if (fromEnd < fadeOut) {
            gain = 0.5 - 0.5 * std::cos(std::numbers::pi * fromEnd / fadeOut);
        }
        const double phase = k * std::expm1(t / plan.rate);
        out[i] = static_cast<int16_t>(std::lround(kSampleAmplitude * gain * std::sin(phase)));
    }
    return out;
}

std::vector<std::complex<double>> TransferAt(const FastPlan& plan, const std::vector<float>& played,
                                             const std::vector<float>& recorded,
                                             const std::vector<double>& frequencies, bool aligned,
                                             Arrival* signal) {
    // H = Y X* / (|X|^2 + e) over a length that holds both without wrapping into each other.
    const int n = PowerOfTwoAtLeast(played.size() + recorded.size());
    Fft big(n);
    std::vector<std::complex<double>> x(static_cast<size_t>(n / 2 + 1));
    std::fill(big.real, big.real + n, 0.0);
    std::copy(played.begin(), played.end(), big.real);
    fftw_execute(big.forward);
    double most = 0.0;
    for (int k = 0; k <= n / 2; ++k) {
        x[static_cast<size_t>(k)] = {big.spectrum[k][0], big.spectrum[k][1]};
        most = std::max(most, std::norm(x[static_cast<size_t>(k)]));
    }
    std::fill(big.real, big.real + n, 0.0);
    std::copy(recorded.begin(), recorded.end(), big.real);
    fftw_execute(big.forward);
    // Only within the sweep's band, with raised-cosine edges: outside it X is all but zero and
    // the division would blow up whatever the recording holds there (hum, an amplifier's offset).
    const double floor = 1e-9 * most;
    const double lowEdge = plan.f1 * 1.2, highEdge = plan.f2 / 1.08;
    auto band = [&](double f) {
        if (f <= plan.f1 || f >= plan.f2) return 0.0;
        if (f < lowEdge)
            return 0.5 - 0.5 * std::cos(std::numbers::pi * (f - plan.f1) / (lowEdge - plan.f1));
        if (f > highEdge)
            return 0.5 - 0.5 * std::cos(std::numbers::pi * (plan.f2 - f) / (plan.f2 - highEdge));
        return 1.0;
    };
    for (int k = 0; k <= n / 2; ++k) {
        const std::complex<double> xk = x[static_cast<size_t>(k)];
        const std::complex<double> h =
            std::complex<double>(big.spectrum[k][0], big.spectrum[k][1]) * std::conj(xk) /
            (std::norm(xk) + floor) / static_cast<double>(n) * band(k * kRate / n);
        big.spectrum[k][0] = h.real();
        big.spectrum[k][1] = h.imag();
    }
    fftw_execute(big.backward);  // the impulse response, time 0 at index 0

    // Where the response arrives: its largest value near time 0 (the calibrated alignment
    // puts it within a few samples of 0; without one the recording starts with the playback
    // and the response comes after the path's latency, which a sound server may even report
    // a little negative).
    int arrival = 0;
    double largest = -1.0;
    const int early = static_cast<int>((aligned ? 0.02 : 0.05) * kRate);
    const int late = static_cast<int>((aligned ? 0.02 : 0.5) * kRate);
    for (int t = -early; t < late; ++t) {
        const double v = std::abs(big.real[(t + n) % n]);
        if (v > largest) {
            largest = v;
            arrival = t;
        }
    }
    // From kBefore before it to plan.window after, tapered at both ends, on a grid of 0.5 Hz
    // with time t at index t mod m: the phase keeps its time origin.
    const int m = 88200;
    const int before = static_cast<int>(kBefore * kRate);
    const int after = ResponseEnd(big.real, n, arrival, static_cast<int>(plan.window * kRate),
                                  plan.rate * std::numbers::ln2);
    const int taper = static_cast<int>(0.02 * kRate);
    Fft fine(m);
    std::fill(fine.real, fine.real + m, 0.0);
    for (int u = -before; u < after; ++u) {
        double w = 1.0;
        if (u < 0) w = 0.5 - 0.5 * std::cos(std::numbers::pi * (u + before) / before);
        if (after - u < taper) w = 0.5 - 0.5 * std::cos(std::numbers::pi * (after - u) / taper);
        const int t = arrival + u;
        fine.real[((t % m) + m) % m] = w * big.real[((t % n) + n) % n];
    }
    fftw_execute(fine.forward);
    if (signal != nullptr) {
        *signal = plan.f2 > 1000.0 ? TransportDelay(fine.spectrum, m, std::max(400.0, plan.f1),
                                                    std::min(7800.0, plan.f2), 441)
                                   : Arrival{};
    }
    std::vector<std::complex<double>> out;
    out.reserve(frequencies.size());
    for (double f : frequencies) {
        const double bin = f * m / kRate;
        const int k = std::clamp(static_cast<int>(std::floor(bin)), 0, m / 2 - 1);
        const double a = std::clamp(bin - k, 0.0, 1.0);
        const std::complex<double> lo(fine.spectrum[k][0], fine.spectrum[k][1]);
        const std::complex<double> hi(fine.spectrum[k + 1][0], fine.spectrum[k + 1][1]);
        out.push_back(lo + a * (hi - lo));
    }
    return out;
}

// One playing of the sweep, recorded whole from the start of the playback on (read out of the
// recording's ring every 20 ms; it holds 1.5 s), with the timing's readings of where the first
// sample arrives when calibrated. PlaybackGap (said only when `retried`) when the playback ran
// dry in the middle.
FastOutcome CaptureSweep(SharedState& s, const FastPlan& plan, int volume, FastHost& host,
                         bool retried, uint64_t& startFrame, std::vector<int16_t>& recording,
                         std::vector<double>& firstSample) {
    const bool calibrated = s.Latency.valid;
    const int channel = s.StereoInput && !s.LeftChannel ? 1 : 0;
    startFrame = audio::RecordFrames();
    recording.clear();
    firstSample.clear();
    recording.reserve(static_cast<size_t>(plan.samples + (kTail + 1.0) * kRate));
    uint64_t next = startFrame, lost = 0;
    std::vector<int16_t> block(8192);
    auto drain = [&] {
        for (;;) {
            uint64_t gone = 0;
            const uint32_t n = audio::RecordCopy(next, block.data(), 8192, channel, gone);
            lost += gone;
            next += gone + n;
            recording.insert(recording.end(), block.begin(), block.begin() + n);
            if (n == 0) return;
        }
    };
    const uint64_t gapsBefore = audio::PlaybackGaps();
    StartPlayback(s, volume);
    // Calibrated, where the first sample arrives: at each read the newest frame is the sample
    // played the calibrated delay (on arrival) and the frame's age earlier.
    const double tail = kTail + (calibrated ? s.Latency.samples / kRate : 0.1);
    int64_t tailUs = 0;
    bool outputLost = false;
    while (!s.StopRequested) {
        host.ProcessMessages();
        if (s.StopRequested) break;
        // Four readings of where the first sample arrives per 20 ms: each is off by where it
        // falls in the server's block cycle, their mean much less.
        for (int r = 0; r < 4; ++r) {
            platform::SleepMicroseconds(5000);
            if (calibrated && Playing(s)) {
                // Only a read that no block overtook: its newest frame is the last one counted.
                int16_t newest[2];
                const uint64_t counted = audio::RecordFrames();
                audio::ChannelGetData(s.RecChannel, newest, sizeof newest);
                const bool still = audio::RecordFrames() == counted;
                const double frames = static_cast<double>(counted);
                const double played =
                    static_cast<double>(audio::ChannelGetPosition(s.PlayStream)) / 2.0;
                const double age = audio::RecordAge() * kRate;
                if (still && played > 0 && played < static_cast<double>(plan.samples)) {
                    const double newestSample =
                        played - 1.0 - (s.Latency.samples - s.Latency.ageSamples) - age;
                    firstSample.push_back(frames - 1.0 - newestSample);
                }
            }
        }
        const bool playing = Playing(s);
        drain();
        if (lost > 0) break;
        const double position =
            playing ? static_cast<double>(audio::ChannelGetPosition(s.PlayStream)) / 2.0
                    : static_cast<double>(plan.samples);
        if (!playing) {
            if (audio::OutputLost()) {
                outputLost = true;
                break;
            }
            tailUs += 20000;
            if (static_cast<double>(tailUs) * 1e-6 >= tail) break;
        }
        host.ShowProgress(std::min(1.0, position / static_cast<double>(plan.samples)),
                          std::max(0.0, (static_cast<double>(plan.samples) - position) / kRate +
                                            tail - static_cast<double>(tailUs) * 1e-6),
                          plan.f1 * std::exp(position / kRate / plan.rate));
    }
    audio::ChannelStop(s.PlayStream);
    drain();
    if (outputLost) {
        ShowMessage(kFastOutputLost);
        return FastOutcome::OutputLost;
    }
    if (s.StopRequested) return FastOutcome::Stopped;
    if (lost > 0) {
        ShowMessage(kFastFramesLost);
        return FastOutcome::FramesLost;
    }
    if (audio::PlaybackGaps() != gapsBefore) {
        // Said only when the second try has a gap too.
        if (retried) ShowMessage(kFastPlaybackGap);
        return FastOutcome::PlaybackGap;
    }
    return FastOutcome::Stored;
}

FastOutcome RunFastSweep(SharedState& s, const FastPlan& plan, int volume, FastHost& host,
                         FastSpectrum& out, FastStats& stats) {
    const auto begin = std::chrono::steady_clock::now();
    stats = FastStats{};
    const std::vector<int16_t> ess = EssSamples(plan);
    s.SampleCount = plan.samples;
    s.Header.SetSampleCount(plan.samples);
    s.WavImage.Clear();
    s.WavImage.ResizeForOverwrite(WavHeader::kSize + 2 * ess.size());
    s.Header.WriteTo(s.WavImage.Data());
    std::copy(ess.begin(), ess.end(),
              reinterpret_cast<int16_t*>(s.WavImage.Data() + WavHeader::kSize));
    host.ShowProgress(0.0, plan.seconds + kTail, plan.f1);

    const bool calibrated = s.Latency.valid;
    // A playback that ran dry in the middle (the system held the program or the server up)
    // has a gap that would ripple the spectrum: it is measured once more before giving up.
    uint64_t startFrame = 0;
    std::vector<int16_t> recording;
    std::vector<double> firstSample;
    for (int attempt = 0;; ++attempt) {
        const FastOutcome o =
            CaptureSweep(s, plan, volume, host, attempt > 0, startFrame, recording, firstSample);
        if (o == FastOutcome::Stored) break;
        if (o == FastOutcome::PlaybackGap && attempt == 0) continue;
        stats.captureSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        return o;
    }
    stats.captureSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    stats.frames = static_cast<int64_t>(recording.size());

    // The recording from where the first sample arrives; the fraction of a frame left is
    // turned into the phase below.
    // The mean of the middle three fifths of the readings, as the calibration takes its own:
    // one reading the system held up moves nothing.
    double first = static_cast<double>(startFrame);
    if (!firstSample.empty()) {
        std::sort(firstSample.begin(), firstSample.end());
        const size_t cut = firstSample.size() / 5;
        double sum = 0.0;
        for (size_t i = cut; i < firstSample.size() - cut; ++i) sum += firstSample[i];
        first = sum / static_cast<double>(firstSample.size() - 2 * cut);
    }
    stats.frameOfFirstSample = first - static_cast<double>(startFrame);
    const int64_t whole =
        static_cast<int64_t>(std::floor(first)) - static_cast<int64_t>(startFrame);
    const double fraction = first - std::floor(first);
    const auto computeStart = std::chrono::steady_clock::now();
    std::vector<float> played(ess.size()), recorded;
    const float gain = static_cast<float>(volume) / 100.0f / 32768.0f;
    for (size_t i = 0; i < ess.size(); ++i) played[i] = static_cast<float>(ess[i]) * gain;
    recorded.reserve(recording.size());
    for (int64_t i = std::max<int64_t>(whole, 0); i < static_cast<int64_t>(recording.size()); ++i) {
        recorded.push_back(static_cast<float>(recording[static_cast<size_t>(i)]) / 32768.0f);
    }
    if (whole < 0) recorded.insert(recorded.begin(), static_cast<size_t>(-whole), 0.0f);
    for (int16_t v : recording) stats.peak = std::max(stats.peak, std::abs(v / 32768.0));
    std::vector<double> frequencies(static_cast<size_t>(plan.points));
    for (int k = 1; k <= plan.points; ++k)
        frequencies[static_cast<size_t>(k - 1)] = plan.start + k * plan.spacing;
    Arrival transport;
    const std::vector<std::complex<double>> h =
        TransferAt(plan, played, recorded, frequencies, !firstSample.empty(),
                   calibrated ? &transport : nullptr);
    // The sweep starts where the timing says, unless the signal's own arrival (found as the
    // calibration finds it) disagrees by more than kTimingTrust: a sound server's reports can
    // be off by a millisecond and more for one playback and not the next, which no
    // calibration can know of; and unless the signal's arrival is itself unclear (a resonant
    // path's all-pass phase, kSignalClarity).
    double shift = fraction;
    stats.timingDisagreement = transport.samples - fraction;
    stats.signalClarity = transport.clarity;
    if (std::isfinite(transport.samples) && transport.clarity >= kSignalClarity &&
        std::abs(transport.samples - fraction) > kTimingTrust * kRate) {
        shift = transport.samples;
        stats.alignedBySignal = true;
    }
    stats.computeSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - computeStart).count();

    // The level a steady tone at this volume would read (its amplitude times sqrt 1.5, as the
    // FFT read's seven bins give), times 100.
    const double toneLevel = std::sqrt(1.5) * kSampleAmplitude / 32768.0 * volume / 100.0;
    out.freq = frequencies;
    out.amp.resize(frequencies.size());
    out.phase.resize(frequencies.size());
    out.phased = calibrated;
    for (size_t k = 0; k < frequencies.size(); ++k) {
        const std::complex<double> v =
            h[k] * std::polar(1.0, 2.0 * std::numbers::pi * frequencies[k] * shift / kRate);
        out.amp[k] = 100.0 * toneLevel * std::abs(v);
        out.phase[k] = std::arg(v) * 180.0 / std::numbers::pi;
    }
    stats.stored = true;
    return FastOutcome::Stored;
}

namespace {

// The main window's progress bar as a fast measurement's host.
class SweepHost final : public FastHost {
public:
    explicit SweepHost(MeasureWindow& w) : m_window(w) {}
    void ProcessMessages() override { m_window.ProcessMessages(); }
    void ShowProgress(double fraction, double secondsLeft, double frequency) override {
        m_window.ShowProgress(
            {MeasureWindow::Progress::Kind::Sweep, fraction, secondsLeft, frequency});
    }

private:
    MeasureWindow& m_window;
};

}  // namespace

bool SweepEngine::FastMeasure(const FastSettings& settings) {
    SharedState& s = m_state;
    if (m_running || s.Running != Operation::None) return false;
    const MeasureWindow::SweepFields fields = m_window.Fields();
    FastPlan plan;
    if (!PlanFastSweep(fields.start, fields.stop, settings, plan)) return false;
    const int volume = m_window.VolumePosition();
    if (volume <= 0) {
        ShowMessage(kFastNoVolume);
        return false;
    }
    m_abort = false;
    m_running = true;
    const RunningOperation running(s, Operation::Sweep);
    m_window.ShowMeasure(false);
    s.StopRequested = false;
    const int slot = std::clamp(m_window.SelectedSlot(), 0, kSlots - 1);
    s.CurrentSlot = slot;
    // The parameters of the measurement in force, as a sweep leaves them: its points lie at
    // StartFreq + k StepFreq up to StopFreq.
    s.StartFreq = plan.start;
    s.StopFreq = plan.stop;
    s.StepFreq = plan.spacing;
    auto finish = [&] {
        m_window.ShowProgress({});
        m_window.ShowMeasure(true);
        m_running = false;
    };
    if (!WaitForPlaybackEnd()) {
        finish();
        return false;
    }
    SweepHost host(m_window);
    FastSpectrum spectrum;
    if (RunFastSweep(s, plan, volume, host, spectrum, m_fastStats) != FastOutcome::Stored) {
        finish();
        return false;
    }
    // Into the slot as a sweep stores its points.
    if (m_events != nullptr) m_events->SweepBegins(slot);
    for (int k = 1; k <= plan.points; ++k) {
        const size_t i = static_cast<size_t>(k - 1);
        s.SpecFreq[slot][k] = spectrum.freq[i];
        s.SpecAmp[slot][k] = spectrum.amp[i];
        s.SpecPhase[slot][k] = spectrum.phase[i];
        s.SpecCount[slot] = k;
        s.SpecPhased[slot] = spectrum.phased;
        if (m_events != nullptr) m_events->PointStored(slot, k);
    }
    s.CurrentFreq = plan.start + plan.points * plan.spacing;
    if (m_events != nullptr) m_events->SweepEnded(slot);
    finish();
    m_window.Redraw();
    return true;
}

}  // namespace sonarix
