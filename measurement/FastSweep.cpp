// The fast measurement: the exponential sine sweep, its recording and its deconvolution.
#include "measurement/FastSweep.h"

#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <numbers>

#include "measurement/ModalArrival.h"
#include "measurement/Playback.h"
#include "measurement/ReadNumber.h"
#include "measurement/Sweep.h"
#include "measurement/TestSignals.h"
#include "physics/SampleRate.h"
#include "platform/Clock.h"
#include "platform/audio/Audio.h"
#include "platform/audio/RecordBuffer.h"

namespace sonarix {

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kFadeIn = 0.05;   // s
constexpr double kFadeOut = 0.01;  // s
constexpr double kBefore = 0.05;   // s kept before the response (the band edges ring both ways)
constexpr double kTail = 0.35;     // s recorded after the sweep's end, beyond the latency
// Beyond kTail the recording goes on while the ring-down still decays (a block's level below
// kStillDecaying of the level kDecayStep earlier), and a while after (see Continue), up to
// kLongestTail more: a mode of high Q rings for seconds, and a response cut short widens it.
constexpr double kLongestTail = 3.0;
constexpr double kDecayBlock = 0.05;  // s
constexpr double kDecayStep = 0.2;    // s
constexpr double kStillDecaying = 0.9;
// The longest response kept: the fine grid's 2 s less the part before the arrival.
constexpr double kLongestWindow = 1.9;
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
    const int quietFrom = arrival - static_cast<int>(std::min(0.3, 0.6 * harmonic) * kSampleRateHz);
    const int quietTo = arrival - static_cast<int>((kBefore + 0.01) * kSampleRateHz);
    if (quietTo - quietFrom < 2000) return most;
    double noise = 0.0;
    for (int t = quietFrom; t < quietTo; ++t) noise += at(t) * at(t);
    noise /= quietTo - quietFrom;
    const int block = static_cast<int>(0.01 * kSampleRateHz);
    for (int start = static_cast<int>(0.03 * kSampleRateHz); start + block <= most;
         start += block) {
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
    const int kLo = static_cast<int>(lo * m / kSampleRateHz),
              kHi = static_cast<int>(hi * m / kSampleRateHz);
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

std::optional<Notice> FastOutcomeNotice(FastOutcome outcome) {
    switch (outcome) {
        case FastOutcome::OutputLost:
            return Notice{Notice::Reason::OutputLost, kFastOutputLost};
        case FastOutcome::FramesLost:
            return Notice{Notice::Reason::Late, kFastFramesLost};
        case FastOutcome::PlaybackGap:
            return Notice{Notice::Reason::OutputEnded, kFastPlaybackGap};
        default:
            return std::nullopt;
    }
}

bool PlanFastSweep(std::string_view start, std::string_view stop, const FastSettings& settings,
                   FastPlan& plan, Notices* out) {
    const double f0 = ReadNumber(start, "Start Frequency [Hz]", out);
    const double f1 = ReadNumber(stop, "Stop Frequency [Hz]", out);
    auto refuse = [out](const char* text) {
        Tell(out, Notice::Reason::Refused, text);
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
    p.samples = static_cast<int64_t>(std::llround(p.seconds * kSampleRateHz));
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
    const double fadeIn = kFadeIn * kSampleRateHz, fadeOut = kFadeOut * kSampleRateHz;
    const double k = 2.0 * std::numbers::pi * plan.f1 * plan.rate;
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = static_cast<double>(i) / kSampleRateHz;
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
            (std::norm(xk) + floor) / static_cast<double>(n) * band(k * kSampleRateHz / n);
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
    const int early = static_cast<int>((aligned ? 0.02 : 0.05) * kSampleRateHz);
    const int late = static_cast<int>((aligned ? 0.02 : 0.5) * kSampleRateHz);
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
    const int before = static_cast<int>(kBefore * kSampleRateHz);
    const int after =
        ResponseEnd(big.real, n, arrival, static_cast<int>(plan.window * kSampleRateHz),
                    plan.rate * std::numbers::ln2);
    const int taper = static_cast<int>(0.02 * kSampleRateHz);
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
    if (signal != nullptr && plan.f2 > 1000.0) {
        const double lo = std::max(400.0, plan.f1), hi = std::min(7800.0, plan.f2);
        *signal = TransportDelay(fine.spectrum, m, lo, hi, 441);
        // Through a resonant cavity the excess phase still holds its propagation: where the
        // resonances' residues say otherwise, they place the arrival (as in the calibration).
        if (std::isfinite(signal->samples)) {
            const auto kLo = static_cast<size_t>(lo * m / kSampleRateHz);
            const auto kHi = static_cast<size_t>(hi * m / kSampleRateHz);
            std::vector<std::complex<double>> path(kHi + 1);
            for (size_t k = kLo; k <= kHi; ++k) {
                path[k] = std::complex<double>(fine.spectrum[k][0], fine.spectrum[k][1]) *
                          std::polar(1.0, 2.0 * std::numbers::pi * static_cast<double>(k) *
                                              signal->samples / m);
            }
            const ModalArrival modal = FindModalArrival(path, kSampleRateHz / m, kLo, kHi);
            if (modal.found) signal->samples += modal.shiftSamples;
            signal->resonantUnplaced = !modal.found && modal.resonances > 0;
        }
    } else if (signal != nullptr) {
        *signal = Arrival{};
    }
    std::vector<std::complex<double>> out;
    out.reserve(frequencies.size());
    for (double f : frequencies) {
        const double bin = f * m / kSampleRateHz;
        const int k = std::clamp(static_cast<int>(std::floor(bin)), 0, m / 2 - 1);
        const double a = std::clamp(bin - k, 0.0, 1.0);
        const std::complex<double> lo(fine.spectrum[k][0], fine.spectrum[k][1]);
        const std::complex<double> hi(fine.spectrum[k + 1][0], fine.spectrum[k + 1][1]);
        out.push_back(lo + a * (hi - lo));
    }
    return out;
}

// One playing of the sweep, recorded whole from the start of the playback on (read out of the
// recording's ring every 20 ms; it holds 11.9 s), with the timing's readings of where the
// first sample arrives when calibrated; then the spectrum, computed on a worker thread.
// The level of the recording's last block over the level kDecayStep earlier (1 while the
// recording is too short to tell).
double DecayOverStep(const std::vector<int16_t>& recording) {
    const auto block = static_cast<size_t>(kDecayBlock * kSampleRateHz);
    const auto step = static_cast<size_t>(kDecayStep * kSampleRateHz);
    if (recording.size() < block + step) return 1.0;
    auto power = [&](size_t end) {
        double sum = 0.0;
        for (size_t i = end - block; i < end; ++i)
            sum += static_cast<double>(recording[i]) * recording[i];
        return sum / static_cast<double>(block);
    };
    const double before = power(recording.size() - step);
    return before > 0.0 ? std::sqrt(power(recording.size()) / before) : 1.0;
}

struct FastRun::Impl {
    enum class Phase { Round, Reading, Compute, Ended };
    Phase phase = Phase::Ended;
    FastPlan plan;
    int volume = 0;
    bool calibrated = false;
    std::vector<int16_t> ess;
    int attempt = 0;
    Clock::time_point begin;
    // The capture in progress.
    int channel = 0;
    uint64_t startFrame = 0, next = 0, lost = 0, gapsBefore = 0;
    std::vector<int16_t> recording, block;
    std::vector<double> firstSample;
    double tail = 0.0;
    int64_t tailUs = 0;
    double quietAt = -1.0;  // s into the tail where the ring-down met the noise
    double slowest = 0.0;   // s, the time constant of a decay beyond the usual tail; 0: none
    int reading = 0;        // of the four in a round
    std::future<void> compute;
    FastOutcome outcome = FastOutcome::Stopped;
    FastSpectrum spectrum;
    FastStats stats;
};

FastRun::FastRun(SharedState& s, FastHost& host)
    : m_state(s), m_host(host), m(std::make_unique<Impl>()) {}

FastRun::~FastRun() {
    if (m->compute.valid()) m->compute.wait();
}

void FastRun::Start(const FastPlan& plan, int volume) {
    SharedState& s = m_state;
    *m = Impl{};
    m->begin = Clock::now();
    m->plan = plan;
    m->volume = volume;
    m->calibrated = s.Latency.valid;
    m->ess = EssSamples(plan);
    s.SampleCount = plan.samples;
    s.Header.SetSampleCount(plan.samples);
    s.WavImage.Clear();
    s.WavImage.ResizeForOverwrite(WavHeader::kSize + 2 * m->ess.size());
    s.Header.WriteTo(s.WavImage.Data());
    std::copy(m->ess.begin(), m->ess.end(),
              reinterpret_cast<int16_t*>(s.WavImage.Data() + WavHeader::kSize));
    m_host.ShowProgress(0.0, plan.seconds + kTail, plan.f1);
    m->block.resize(8192);
    BeginCapture();
}

bool FastRun::RoundBegins() const { return m->phase == Impl::Phase::Round; }
bool FastRun::Running() const { return m->phase != Impl::Phase::Ended; }
FastOutcome FastRun::Outcome() const { return m->outcome; }
const FastStats& FastRun::Stats() const { return m->stats; }
FastSpectrum& FastRun::Spectrum() { return m->spectrum; }

void FastRun::BeginCapture() {
    SharedState& s = m_state;
    Impl& r = *m;
    r.channel = s.StereoInput && !s.LeftChannel ? 1 : 0;
    r.startFrame = audio::RecordFrames();
    r.next = r.startFrame;
    r.lost = 0;
    r.recording.clear();
    r.firstSample.clear();
    r.recording.reserve(static_cast<size_t>(r.plan.samples + (kTail + 1.0) * kSampleRateHz));
    r.gapsBefore = audio::PlaybackGaps();
    StartPlayback(s, r.volume);
    r.tail = kTail + (r.calibrated ? s.Latency.samples / kSampleRateHz : 0.1);
    r.tailUs = 0;
    r.quietAt = -1.0;
    r.slowest = 0.0;
    r.reading = 0;
    r.phase = Impl::Phase::Round;
}

void FastRun::Drain() {
    Impl& r = *m;
    for (;;) {
        uint64_t gone = 0;
        const uint32_t n = audio::RecordCopy(r.next, r.block.data(), 8192, r.channel, gone);
        r.lost += gone;
        r.next += gone + n;
        r.recording.insert(r.recording.end(), r.block.begin(), r.block.begin() + n);
        if (n == 0) return;
    }
}

void FastRun::ReadTiming() {
    // Calibrated, where the first sample arrives: at each read the newest frame is the sample
    // played the calibrated delay (on arrival) and the frame's age earlier. Four readings per
    // 20 ms: each is off by where it falls in the server's block cycle, their mean much less.
    SharedState& s = m_state;
    if (!m->calibrated || !Playing(s)) return;
    // Only a read that no block overtook: its newest frame is the last one counted.
    int16_t newest[2];
    const uint64_t counted = audio::RecordFrames();
    audio::ChannelGetData(s.RecChannel, newest, sizeof newest);
    const bool still = audio::RecordFrames() == counted;
    const double frames = static_cast<double>(counted);
    const double played = static_cast<double>(audio::ChannelGetPosition(s.PlayStream)) / 2.0;
    const double age = audio::RecordAge() * kSampleRateHz;
    if (still && played > 0 && played < static_cast<double>(m->plan.samples)) {
        const double newestSample = played - 1.0 - (s.Latency.samples - s.Latency.ageSamples) - age;
        m->firstSample.push_back(frames - 1.0 - newestSample);
    }
}

int64_t FastRun::Continue() {
    SharedState& s = m_state;
    Impl& r = *m;
    switch (r.phase) {
        case Impl::Phase::Ended:
            return -1;
        case Impl::Phase::Round:
            if (s.StopRequested) return EndCapture(false);
            r.phase = Impl::Phase::Reading;
            r.reading = 0;
            return 5000;
        case Impl::Phase::Reading:
            break;
        case Impl::Phase::Compute:
            if (r.compute.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
                return 5000;
            }
            r.compute.get();
            return Stored();
    }
    ReadTiming();
    if (++r.reading < 4) return 5000;
    const bool playing = Playing(s);
    Drain();
    if (r.lost > 0) return EndCapture(false);
    const double position = playing
                                ? static_cast<double>(audio::ChannelGetPosition(s.PlayStream)) / 2.0
                                : static_cast<double>(r.plan.samples);
    if (!playing) {
        if (audio::OutputLost()) return EndCapture(true);
        r.tailUs += 20000;
        const double tail = static_cast<double>(r.tailUs) * 1e-6;
        // A ring-down still decaying when the usual tail has passed is followed until it sinks
        // into the recording's noise; the response computed from the whole sweep stands far
        // clearer of its own noise (by the sweep's length in samples, some 50 dB), so the
        // recording goes on for as many more time constants of that decay (ln 300 of them),
        // within kLongestTail. A response that has died by then ends the recording there.
        if (tail >= r.tail) {
            const double ratio = DecayOverStep(r.recording);
            if (r.quietAt < 0.0 && ratio < kStillDecaying) {
                r.slowest = kDecayStep / std::max(-std::log(ratio), 1e-9);
            } else if (r.quietAt < 0.0) {
                r.quietAt = tail;
            }
            if (r.quietAt >= 0.0 &&
                tail >= r.quietAt + std::min(kLongestTail, std::log(300.0) * r.slowest))
                return EndCapture(false);
        }
        if (tail >= r.tail + kLongestTail) return EndCapture(false);
    }
    const auto samples = static_cast<double>(r.plan.samples);
    m_host.ShowProgress(std::min(1.0, position / samples),
                        std::max(0.0, (samples - position) / kSampleRateHz + r.tail -
                                          static_cast<double>(r.tailUs) * 1e-6),
                        r.plan.f1 * std::exp(position / kSampleRateHz / r.plan.rate));
    r.phase = Impl::Phase::Round;
    return 0;
}

int64_t FastRun::EndCapture(bool outputLost) {
    SharedState& s = m_state;
    Impl& r = *m;
    audio::ChannelStop(s.PlayStream);
    Drain();
    auto end = [&](FastOutcome o) {
        r.stats.captureSeconds = std::chrono::duration<double>(Clock::now() - r.begin).count();
        r.outcome = o;
        r.phase = Impl::Phase::Ended;
        return -1;
    };
    if (outputLost) return end(FastOutcome::OutputLost);
    if (s.StopRequested) return end(FastOutcome::Stopped);
    if (r.lost > 0) return end(FastOutcome::FramesLost);
    if (audio::PlaybackGaps() != r.gapsBefore) {
        // A playback that ran dry in the middle (the system held the program or the server
        // up) has a gap that would ripple the spectrum: it is measured once more before giving
        // up, and said only when the second try has a gap too.
        if (r.attempt++ == 0) {
            BeginCapture();
            return 0;
        }
        return end(FastOutcome::PlaybackGap);
    }
    r.stats.captureSeconds = std::chrono::duration<double>(Clock::now() - r.begin).count();
    // The deconvolution takes a good part of a second for long sweeps: on a worker, while the
    // window keeps answering (the FFT planner is locked for it). On the manual clock at once,
    // so that its time does not move the simulated one.
    if (platform::ManualClock()) {
        Compute();
        return Stored();
    }
    r.phase = Impl::Phase::Compute;
    r.compute = std::async(std::launch::async, [this] { Compute(); });
    return 5000;
}

int64_t FastRun::Stored() {
    m->stats.stored = true;
    m->outcome = FastOutcome::Stored;
    m->phase = Impl::Phase::Ended;
    return -1;
}

void FastRun::Compute() {
    Impl& r = *m;
    FastStats& stats = r.stats;
    const FastPlan& plan = r.plan;
    const std::vector<int16_t>& recording = r.recording;
    stats.frames = static_cast<int64_t>(recording.size());
    // The recording from where the first sample arrives; the fraction of a frame left is
    // turned into the phase below.
    // The mean of the middle three fifths of the readings, as the calibration takes its own:
    // one reading the system held up moves nothing.
    std::vector<double>& firstSample = r.firstSample;
    double first = static_cast<double>(r.startFrame);
    if (!firstSample.empty()) {
        std::sort(firstSample.begin(), firstSample.end());
        const size_t cut = firstSample.size() / 5;
        double sum = 0.0;
        for (size_t i = cut; i < firstSample.size() - cut; ++i) sum += firstSample[i];
        first = sum / static_cast<double>(firstSample.size() - 2 * cut);
    }
    stats.frameOfFirstSample = first - static_cast<double>(r.startFrame);
    const int64_t whole =
        static_cast<int64_t>(std::floor(first)) - static_cast<int64_t>(r.startFrame);
    const double fraction = first - std::floor(first);
    const auto computeStart = Clock::now();
    std::vector<float> played(r.ess.size()), recorded;
    const float gain = static_cast<float>(r.volume) / 100.0f / 32768.0f;
    for (size_t i = 0; i < r.ess.size(); ++i) played[i] = static_cast<float>(r.ess[i]) * gain;
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
    // A response whose ring-down was followed beyond the usual tail is kept as long as the
    // recording went on; ResponseEnd then ends it where it has decayed into the noise.
    FastPlan kept = plan;
    if (r.slowest > 0.0) {
        const double after =
            static_cast<double>(recorded.size()) / kSampleRateHz - plan.seconds - 0.02;
        kept.window = std::clamp(after, plan.window, kLongestWindow - kBefore);
    }
    const std::vector<std::complex<double>> h =
        TransferAt(kept, played, recorded, frequencies, !firstSample.empty(),
                   r.calibrated ? &transport : nullptr);
    // The sweep starts where the timing says, unless the signal's own arrival (found as the
    // calibration finds it) disagrees by more than kTimingTrust: a sound server's reports can
    // be off by a millisecond and more for one playback and not the next, which no
    // calibration can know of; and unless the signal's arrival is itself unclear (a resonant
    // path's all-pass phase, kSignalClarity), or a resonant path's that its resonances did
    // not place.
    double shift = fraction;
    stats.timingDisagreement = transport.samples - fraction;
    stats.signalClarity = transport.clarity;
    if (std::isfinite(transport.samples) && transport.clarity >= kSignalClarity &&
        !transport.resonantUnplaced &&
        std::abs(transport.samples - fraction) > kTimingTrust * kSampleRateHz) {
        shift = transport.samples;
        stats.alignedBySignal = true;
    }
    stats.computeSeconds = std::chrono::duration<double>(Clock::now() - computeStart).count();

    // The level a steady tone at this volume would read (its amplitude times sqrt 1.5, as the
    // FFT read's seven bins give), times 100.
    const double toneLevel = std::sqrt(1.5) * kSampleAmplitude / 32768.0 * r.volume / 100.0;
    FastSpectrum& out = r.spectrum;
    out.freq = frequencies;
    out.amp.resize(frequencies.size());
    out.phase.resize(frequencies.size());
    out.phased = r.calibrated;
    for (size_t k = 0; k < frequencies.size(); ++k) {
        const std::complex<double> v =
            h[k] * std::polar(1.0, 2.0 * std::numbers::pi * frequencies[k] * shift / kSampleRateHz);
        out.amp[k] = 100.0 * toneLevel * std::abs(v);
        out.phase[k] = std::arg(v) * 180.0 / std::numbers::pi;
    }
}

}  // namespace sonarix
