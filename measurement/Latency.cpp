// The latency calibration.
#include "measurement/Latency.h"

#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>
#include <mutex>
#include <numbers>
#include <optional>

#include "measurement/FixedText.h"
#include "measurement/Playback.h"
#include "measurement/PlaybackAlignment.h"
#include "physics/SampleRate.h"
#include "platform/Clock.h"
#include "platform/audio/Audio.h"
#include "platform/audio/RecordBuffer.h"

namespace sonarix {
namespace {

constexpr size_t kSize = 2 * ChirpFinder::kLongest;  // linear correlation of 32768 frames
constexpr size_t kBins = kSize / 2 + 1;
constexpr double kStartHz = 300.0;
constexpr double kStopHz = 8000.0;
constexpr int kFade = 220;  // 5 ms
// The bins of the excess phase: the chirp's band without its fades.
constexpr size_t kBandLow = 595;     // 400 Hz
constexpr size_t kBandHigh = 11591;  // 7800 Hz
// The excess phase's peak is taken within this many samples of the rising edge (10 ms); a
// peak further off is noise, and the edge stands.
constexpr double kEdgeAgreement = 441.0;
constexpr double kAmplitude = 4000.0 / 32768.0;
// The first snapshot is taken when the position has passed this sample, the next ones every
// kReadingStep samples after it: late enough for a chirp delayed by kCalibrationLongestMs to
// have arrived, early enough for the block of 32768 frames to reach back to its start even
// when the recording runs 30 ms ahead of the reported position.
constexpr int64_t kFirstReading = 31000;
constexpr int64_t kReadingStep = 140;  // 3.2 ms: out of step with 10 ms blocks
constexpr int kStallRounds = 1000;     // 2 s without the position moving

static_assert(kCalibrationLead + kCalibrationChirp +
                  static_cast<int64_t>(kCalibrationLongestMs * kSamplesPerMs) <
              kFirstReading);
static_assert(kFirstReading + (kCalibrationReadings - 1) * kReadingStep < kCalibrationLength);

}  // namespace

std::string LatencyText(const LatencyCalibration& c) {
    return "Latency: " + FixedText(c.samples / kSamplesPerMs, 2) +
           " ms\nConfidence: correlation peak " + FixedText(c.confidenceDb, 0) +
           " dB above its noise; the readings agree within " + FixedText(c.spreadMs, 2) + " ms.";
}

std::vector<float> CalibrationChirp() {
    std::vector<float> c(kCalibrationChirp);
    const double duration = kCalibrationChirp / kSampleRateHz;
    const double rate = (kStopHz - kStartHz) / duration;
    for (int n = 0; n < kCalibrationChirp; ++n) {
        const double t = n / kSampleRateHz;
        double v = std::sin(2.0 * std::numbers::pi * (kStartHz * t + 0.5 * rate * t * t));
        const int edge = std::min(n, kCalibrationChirp - 1 - n);
        if (edge < kFade) v *= 0.5 - 0.5 * std::cos(std::numbers::pi * edge / kFade);
        c[static_cast<size_t>(n)] = static_cast<float>(kAmplitude * v);
    }
    return c;
}

void WriteCalibrationSignal(SharedState& s) {
    const std::vector<float> chirp = CalibrationChirp();
    s.SampleCount = kCalibrationLength;
    s.Header.SetSampleCount(kCalibrationLength);
    s.WavImage.Clear();
    s.WavImage.ResizeForOverwrite(WavHeader::kSize + 2 * size_t{kCalibrationLength});
    s.Header.WriteTo(s.WavImage.Data());
    uint8_t* out = s.WavImage.Data() + WavHeader::kSize;
    std::memset(out, 0, 2 * size_t{kCalibrationLength});
    for (size_t n = 0; n < chirp.size(); ++n) {
        const auto v = static_cast<int16_t>(std::lround(chirp[n] * 32768.0f));
        std::memcpy(out + 2 * (kCalibrationLead + n), &v, 2);
    }
}

struct ChirpFinder::Impl {
    float* in = nullptr;
    fftwf_complex* spectrum = nullptr;
    fftwf_complex* chirp = nullptr;
    fftwf_complex* full = nullptr;
    fftwf_plan forward = nullptr;
    fftwf_plan backward = nullptr;
    fftwf_plan forwardFull = nullptr;
    std::vector<float> envelope;
    std::vector<float> minimumPhase;  // per bin, of the path's magnitude
    double riseOffset = 0.0;  // from the half-height point of the chirp's own peak to its centre
    bool refine = false;      // by the excess phase (once riseOffset is known)
};

ChirpFinder::ChirpFinder() : m(std::make_unique<Impl>()) {
    {
        std::lock_guard lock(audio::FftPlannerMutex());
        m->in = fftwf_alloc_real(kSize);
        m->spectrum = fftwf_alloc_complex(kBins);
        m->chirp = fftwf_alloc_complex(kBins);
        m->full = fftwf_alloc_complex(kSize);
        m->forward =
            fftwf_plan_dft_r2c_1d(static_cast<int>(kSize), m->in, m->spectrum, FFTW_ESTIMATE);
        m->backward = fftwf_plan_dft_1d(static_cast<int>(kSize), m->full, m->full, FFTW_BACKWARD,
                                        FFTW_ESTIMATE);
        m->forwardFull = fftwf_plan_dft_1d(static_cast<int>(kSize), m->full, m->full, FFTW_FORWARD,
                                           FFTW_ESTIMATE);
    }
    m->minimumPhase.resize(kBins);
    const std::vector<float> c = CalibrationChirp();
    std::fill(m->in, m->in + kSize, 0.0f);
    std::copy(c.begin(), c.end(), m->in);
    fftwf_execute(m->forward);
    std::memcpy(m->chirp, m->spectrum, sizeof(fftwf_complex) * kBins);
    m->envelope.reserve(kLongest);
    // The chirp against itself: where its peak's rising edge crosses half height.
    std::vector<float> alone(size_t{kCalibrationChirp} + 2000, 0.0f);
    std::copy(c.begin(), c.end(), alone.begin() + 1000);
    m->riseOffset = 1000.0 - Find(alone.data(), alone.size()).index;
    m->refine = true;
}

ChirpFinder::~ChirpFinder() {
    std::lock_guard lock(audio::FftPlannerMutex());
    fftwf_destroy_plan(m->forward);
    fftwf_destroy_plan(m->backward);
    fftwf_destroy_plan(m->forwardFull);
    fftwf_free(m->in);
    fftwf_free(m->spectrum);
    fftwf_free(m->chirp);
    fftwf_free(m->full);
}

ChirpFinder::Match ChirpFinder::Find(const float* frames, size_t count) {
    count = std::min(count, kLongest);
    if (count < size_t{kCalibrationChirp} + 2) return {};
    std::fill(m->in, m->in + kSize, 0.0f);
    std::copy(frames, frames + count, m->in);
    fftwf_execute(m->forward);
    // The analytic cross-correlation on the positive frequencies, each divided by the
    // recording's magnitude there: a resonator's peaks would otherwise weigh most, and their
    // ringing would move the peak late. Its modulus, the envelope, does not depend on the phase
    // of the path.
    float largest = 0.0f;
    for (size_t k = 0; k < kBins; ++k) {
        largest = std::max(largest, std::hypot(m->spectrum[k][0], m->spectrum[k][1]));
    }
    const float floor = std::max(1e-2f * largest, 1e-30f);
    for (size_t k = 0; k < kSize; ++k) {
        if (k >= kBins) {
            m->full[k][0] = m->full[k][1] = 0.0f;
            continue;
        }
        const float xr = m->spectrum[k][0], xi = m->spectrum[k][1];
        const float cr = m->chirp[k][0], ci = m->chirp[k][1];
        const float g = ((k == 0 || k == kBins - 1) ? 1.0f : 2.0f) / (std::hypot(xr, xi) + floor);
        m->full[k][0] = g * (xr * cr + xi * ci);
        m->full[k][1] = g * (xi * cr - xr * ci);
    }
    fftwf_execute(m->backward);
    const size_t lags = count - kCalibrationChirp + 1;
    m->envelope.resize(lags);
    size_t best = 0;
    for (size_t j = 0; j < lags; ++j) {
        m->envelope[j] = std::hypot(m->full[j][0], m->full[j][1]);
        if (m->envelope[j] > m->envelope[best]) best = j;
    }
    const float peak = m->envelope[best];
    if (!(peak > 0.0f)) return {};
    // The signal's arrival is the rising edge of the peak: through a resonator the envelope
    // goes on rising while the modes ring up, so the peak itself comes late. The edge is where
    // the envelope last crosses half the peak's height before it, interpolated, moved by the
    // chirp's own half width.
    Match match;
    size_t j = best;
    while (j > 0 && m->envelope[j - 1] >= 0.5f * peak) --j;
    double edge = static_cast<double>(j);
    if (j > 0) {
        const double lo = m->envelope[j - 1], hi = m->envelope[j];
        edge -= (hi - 0.5 * peak) / (hi - lo);
    }
    match.index = edge + m->riseOffset;
    // The rising edge still comes late through a resonant path, by how much depending on the
    // path. The excess phase does not: the path's transfer function with its minimum phase
    // (which its magnitude fixes) taken out leaves the transport delay, a sharp peak.
    if (m->refine) {
        const double arrival = ExcessPhaseArrival(match.index);
        if (std::abs(arrival - match.index) < kEdgeAgreement) match.index = arrival;
    }
    // The noise: the median of the envelope away from the peak (the ringing of a resonator
    // after it takes less than half of the lags).
    std::vector<float> rest;
    rest.reserve(lags);
    for (size_t j = 0; j < lags; ++j) {
        if (j + 441 < best || j > best + 441) rest.push_back(m->envelope[j]);
    }
    if (rest.empty()) return match;
    auto mid = rest.begin() + static_cast<std::ptrdiff_t>(rest.size() / 2);
    std::nth_element(rest.begin(), mid, rest.end());
    const double noise = std::max(static_cast<double>(*mid), 1e-30);
    match.snrDb = 20.0 * std::log10(peak / noise);
    return match;
}

ModalArrival ChirpFinder::ModalShift(double index, const ModalArrival* first) {
    std::vector<std::complex<double>> h(kBins);
    for (size_t k = kBandLow; k <= kBandHigh; ++k) {
        const std::complex<double> x(m->spectrum[k][0], m->spectrum[k][1]);
        const std::complex<double> c(m->chirp[k][0], m->chirp[k][1]);
        const double turn =
            2.0 * std::numbers::pi * static_cast<double>(k) * index / static_cast<double>(kSize);
        h[k] = x / c * std::polar(1.0, turn);
    }
    if (first != nullptr) return FollowModalArrival(h, *first, first->shiftSamples);
    return FindModalArrival(h, kSampleRateHz / static_cast<double>(kSize), kBandLow, kBandHigh);
}

double ChirpFinder::ExcessPhaseArrival(double near) {
    // The path's transfer function H = X / C on the chirp's band; beyond it the band's edge
    // values go on, so that the minimum phase sees no step there.
    auto path = [&](size_t k) {
        const size_t b = std::clamp(k, kBandLow, kBandHigh);
        const std::complex<float> x(m->spectrum[b][0], m->spectrum[b][1]);
        const std::complex<float> c(m->chirp[b][0], m->chirp[b][1]);
        return x / c;
    };
    // The minimum phase by the folded real cepstrum of log |H|.
    for (size_t k = 0; k < kBins; ++k) {
        const float logMag = std::log(std::abs(path(k)) + 1e-30f);
        m->full[k][0] = logMag;
        m->full[k][1] = 0.0f;
        if (k > 0 && k < kBins - 1) {
            m->full[kSize - k][0] = logMag;
            m->full[kSize - k][1] = 0.0f;
        }
    }
    fftwf_execute(m->backward);
    const auto scale = static_cast<float>(1.0 / static_cast<double>(kSize));
    for (size_t n = 0; n < kSize; ++n) {
        const float fold = n == 0 || n == kSize / 2 ? 1.0f : n < kSize / 2 ? 2.0f : 0.0f;
        m->full[n][0] *= fold * scale;
        m->full[n][1] *= fold * scale;
    }
    fftwf_execute(m->forwardFull);
    for (size_t k = 0; k < kBins; ++k) m->minimumPhase[k] = m->full[k][1];
    // The excess phase alone on the band, back to time: its peak is the arrival.
    for (size_t k = 0; k < kSize; ++k) {
        m->full[k][0] = m->full[k][1] = 0.0f;
        if (k < kBandLow || k > kBandHigh) continue;
        const float phase = std::arg(path(k)) - m->minimumPhase[k];
        m->full[k][0] = std::cos(phase);
        m->full[k][1] = std::sin(phase);
    }
    fftwf_execute(m->backward);
    auto magnitude = [&](size_t n) { return std::hypot(m->full[n][0], m->full[n][1]); };
    const auto from = static_cast<size_t>(std::max(1.0, near - kEdgeAgreement));
    const auto to = static_cast<size_t>(std::max(1.0, near + kEdgeAgreement));
    size_t best = from;
    for (size_t n = from; n <= to && n + 1 < kSize / 2; ++n) {
        if (magnitude(n) > magnitude(best)) best = n;
    }
    const double a = magnitude(best - 1), b = magnitude(best), c = magnitude(best + 1);
    const double curve = a - 2.0 * b + c;
    return static_cast<double>(best) + (curve < 0.0 ? 0.5 * (a - c) / curve : 0.0);
}

// One calibration between the calls of Continue.
struct CalibrationRun::Impl {
    struct Snapshot {
        double played = 0.0;  // samples, the position read right after the frames
        double age = 0.0;     // of the newest frame, samples
        int64_t newest = -1;  // the newest frame's index in the recording, where known
        std::vector<int16_t> frames;
    };
    std::chrono::steady_clock::time_point begin;
    std::optional<RunningOperation> running;
    std::vector<int16_t> raw;
    std::vector<Snapshot> shots;
    // Where the playback's samples lie in the recording, as the sweep reads them.
    PlaybackAlignment alignment;
    int reading = 0;
    int64_t last = -1;
    int still = 0;
    bool done = true;
};

CalibrationRun::CalibrationRun(SharedState& s, CalibrationWindow& w)
    : m_state(s), m_window(w), m(std::make_unique<Impl>()) {}

CalibrationRun::~CalibrationRun() = default;

bool CalibrationRun::Running() const { return !m->done; }

int64_t CalibrationRun::Fail(const char* message) {
    audio::ChannelStop(m_state.PlayStream);
    m_outcome.message = message;
    m_outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m->begin).count();
    m->running.reset();
    m->done = true;
    return -1;
}

bool CalibrationRun::Start() {
    SharedState& s = m_state;
    m_outcome = CalibrationOutcome{};
    m->begin = std::chrono::steady_clock::now();
    if (Playing(s) || s.Running != Operation::None) {
        m_outcome.message = kCalibrationBusy;
        return false;
    }
    if (s.RecChannel == 0) {
        m_outcome.message = kCalibrationNoRecording;
        return false;
    }
    m->running.emplace(s, Operation::Calibration);
    m->raw.resize(ChirpFinder::kLongest * (s.StereoInput ? 2 : 1));
    m->shots.clear();
    m->shots.reserve(kCalibrationReadings);
    m->alignment.Reset(0);
    m->reading = 0;
    m->last = -1;
    m->still = 0;
    m->done = false;
    WriteCalibrationSignal(s);
    StartPlayback(s, m_window.VolumePosition());
    return true;
}

int64_t CalibrationRun::Continue() {
    if (m->done) return -1;
    SharedState& s = m_state;
    m->alignment.Read(s.PlayStream, kCalibrationLength);
    const uint64_t before = audio::ChannelGetPosition(s.PlayStream);
    if (before == audio::kPositionFailed || !Playing(s)) return Fail(kCalibrationInterrupted);
    const auto pos = static_cast<int64_t>(before / 2);
    if (pos < kFirstReading + m->reading * kReadingStep) {
        m->still = pos == m->last ? m->still + 1 : 0;
        m->last = pos;
        if (m->still >= kStallRounds) return Fail(kCalibrationStalled);
        return 2000;
    }
    const uint32_t frameBytes = s.StereoInput ? 4u : 2u;
    const size_t channel = s.StereoInput && !s.LeftChannel ? 1 : 0;
    const uint64_t counted = audio::RecordFrames();
    const uint32_t got =
        audio::ChannelGetData(s.RecChannel, m->raw.data(), frameBytes * ChirpFinder::kLongest);
    const bool still = audio::RecordFrames() == counted;
    const uint64_t after = audio::ChannelGetPosition(s.PlayStream);
    const double age = audio::RecordAge() * kSampleRateHz;
    ++m->reading;
    if (got != audio::kDataFailed && after != audio::kPositionFailed) {
        // Kept for later: the readings follow each other closely and the correlation takes
        // milliseconds.
        Impl::Snapshot& shot = m->shots.emplace_back();
        shot.played = static_cast<double>(after) / 2.0;
        shot.age = age;
        // Only a read that no block overtook: its newest frame is the last one counted.
        if (still) shot.newest = static_cast<int64_t>(counted) - 1;
        const size_t have = got / frameBytes;
        const size_t stride = s.StereoInput ? 2 : 1;
        shot.frames.resize(have);
        for (size_t j = 0; j < have; ++j) shot.frames[j] = m->raw[stride * j + channel];
    }
    if (m->reading < kCalibrationReadings) return 0;
    audio::ChannelStop(s.PlayStream);
    return Evaluate();
}

int64_t CalibrationRun::Evaluate() {
    SharedState& s = m_state;
    ChirpFinder finder;
    std::vector<float> frames(ChirpFinder::kLongest);
    std::vector<double> latencies, snrs, ages, arrivals;
    bool first = true;
    for (const Impl::Snapshot& shot : m->shots) {
        const size_t have = shot.frames.size();
        for (size_t j = 0; j < have; ++j) {
            frames[j] = static_cast<float>(shot.frames[j]) / 32768.0f;
        }
        const ChirpFinder::Match match = finder.Find(frames.data(), have);
        if (match.snrDb < kCalibrationTraceDb) continue;
        // Through a resonant cavity the excess phase still holds its propagation: the
        // resonances' residues tell the arrival. The first snapshot finds them; the others,
        // the same recording cut a little later, follow them (each block's excess phase
        // reads a few tenths of a sample differently).
        double index = match.index;
        if (first) {
            first = false;
            m_outcome.modal = finder.ModalShift(match.index);
        }
        if (m_outcome.modal.found) {
            const ModalArrival follow = finder.ModalShift(match.index, &m_outcome.modal);
            index += follow.found ? follow.shiftSamples : m_outcome.modal.shiftSamples;
        }
        // The newest frame holds image sample kCalibrationLead + (have - 1 - index); the
        // latency is the played count minus one minus that.
        latencies.push_back(shot.played - kCalibrationLead - static_cast<double>(have) + index);
        if (shot.newest >= 0) {
            // Recording frame index less image sample index, from where the chirp lies.
            arrivals.push_back(static_cast<double>(shot.newest + 1) - static_cast<double>(have) +
                               index - kCalibrationLead);
        }
        snrs.push_back(match.snrDb);
        ages.push_back(shot.age);
    }
    m_outcome.readings = static_cast<int>(latencies.size());
    if (m_outcome.readings * 2 < kCalibrationReadings) return Fail(kCalibrationNoTrace);
    // A sound server hands the recording over in blocks: between two blocks the delay grows
    // by a block, then drops. The readings fall anywhere in that cycle; their mean is the mean
    // delay the sweep meets. The delay to a frame when it came stays, whatever the cycle: of
    // that the middle readings count, so that one reading the system held up does not move it
    // or make the readings disagree.
    auto mean = [](const std::vector<double>& v) {
        double sum = 0.0;
        for (double x : v) sum += x;
        return sum / static_cast<double>(v.size());
    };
    std::vector<double> arrival(latencies.size());
    for (size_t i = 0; i < latencies.size(); ++i) arrival[i] = latencies[i] - ages[i];
    std::sort(arrival.begin(), arrival.end());
    const size_t cut = arrival.size() / 5;
    const std::vector<double> middle(arrival.begin() + static_cast<std::ptrdiff_t>(cut),
                                     arrival.end() - static_cast<std::ptrdiff_t>(cut));
    const double spread = (middle.back() - middle.front()) / kSamplesPerMs;
    m_outcome.latency.spreadMs = spread;
    if (spread > kCalibrationSteadyMs) return Fail(kCalibrationUnsteady);
    // The same delay from the other side: where the chirp lies in the recording against where
    // the playback's samples lie in it, as the reads by index take them. The two must agree
    // within the readings' spread (at least kCalibrationAgreeMs); both are kept.
    const double ageSamples = mean(ages);
    const double readSide = mean(middle) + ageSamples;
    if (arrivals.empty() || m->alignment.Readings() == 0) return Fail(kCalibrationUnsteady);
    std::nth_element(arrivals.begin(),
                     arrivals.begin() + static_cast<std::ptrdiff_t>(arrivals.size() / 2),
                     arrivals.end());
    const double frameOffset = arrivals[arrivals.size() / 2] - m->alignment.Offset();
    m_outcome.sidesApartMs = (frameOffset - (readSide - ageSamples)) / kSamplesPerMs;
    if (std::abs(m_outcome.sidesApartMs) > std::max(spread, kCalibrationAgreeMs)) {
        return Fail(kCalibrationUnsteady);
    }
    m_outcome.latency.valid = true;
    m_outcome.latency.ageSamples = ageSamples;
    m_outcome.latency.samples = readSide;
    m_outcome.latency.frameOffset = frameOffset;
    m_outcome.latency.confidenceDb = mean(snrs);
    m_outcome.found = true;
    s.Latency = m_outcome.latency;
    m_outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m->begin).count();
    m->running.reset();
    m->done = true;
    return -1;
}

CalibrationOutcome CalibrateLatency(SharedState& s, CalibrationWindow& w) {
    CalibrationRun run(s, w);
    if (run.Start()) {
        for (int64_t us; (us = run.Continue()) >= 0;) {
            w.ProcessMessages();
            if (us > 0) platform::SleepMicroseconds(us);
        }
    }
    return run.Outcome();
}

}  // namespace sonarix
