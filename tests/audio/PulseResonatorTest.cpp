// Measurements through a resonator inside the sound server: a chain of PipeWire's own peaking
// biquads (scripts/with-pipewire, SONARIX_PIPEWIRE_RESONATOR) between the program's output and
// the recorded monitor. Its response is computed here from the same parameters, and the sweep's
// reads are compared with an ideal read of the same chirp through that response: the frames
// centred on each step's sound, taken from a recording no scheduler delayed.
#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "measurement/FastSweep.h"
#include "measurement/Latency.h"
#include "measurement/Playback.h"
#include "measurement/ReadLevel.h"
#include "measurement/Sweep.h"
#include "platform/Clock.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/AudioBackend.h"
#include "platform/audio/AudioFactory.h"
#include "platform/audio/RecordBuffer.h"
#include "tests/TestSupport.h"
#include "tests/measurement/FakeMeasureWindow.h"

namespace sonarix {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kGraphRate = 48000.0;  // the rate PipeWire runs the filters at

// One peaking biquad of the chain (the audio EQ cookbook's, as PipeWire's bq_peaking).
struct Peaking {
    double f = 0, q = 0, gainDb = 0;
};

std::vector<Peaking> Chain() {
    std::vector<Peaking> chain;
    const char* text = std::getenv("SONARIX_RESONATOR");
    if (text == nullptr) return chain;
    std::istringstream in(text);
    std::string peak;
    while (in >> peak) {
        Peaking p;
        if (std::sscanf(peak.c_str(), "%lf:%lf:%lf", &p.f, &p.q, &p.gainDb) == 3) {
            chain.push_back(p);
        }
    }
    return chain;
}

std::complex<double> Response(const std::vector<Peaking>& chain, double f) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * f / kGraphRate);
    std::complex<double> h = 1.0;
    for (const Peaking& p : chain) {
        const double A = std::pow(10.0, p.gainDb / 40.0), w0 = 2.0 * kPi * p.f / kGraphRate;
        const double alpha = std::sin(w0) / (2.0 * p.q), k = std::cos(w0);
        h *= (1.0 + alpha * A - 2.0 * k * z1 + (1.0 - alpha * A) * z1 * z1) /
             (1.0 + alpha / A - 2.0 * k * z1 + (1.0 - alpha / A) * z1 * z1);
    }
    return h;
}

// The image's samples through the chain, sample for sample (its response applied on a grid of
// 2^19 points, far longer than the chirp and its ringing).
std::vector<float> Filtered(const SharedState& s, const std::vector<Peaking>& chain) {
    constexpr int n = 1 << 19;
    const size_t count = (s.WavImage.Size() - WavHeader::kSize) / 2;
    std::vector<double> x(n, 0.0);
    const uint8_t* image = s.WavImage.Data() + WavHeader::kSize;
    for (size_t i = 0; i < std::min<size_t>(count, n); ++i) {
        int16_t v;
        std::memcpy(&v, image + 2 * i, 2);
        x[i] = v / 32768.0;
    }
    std::vector<std::complex<double>> spectrum(n / 2 + 1);
    fftw_plan forward, backward;
    {
        std::lock_guard lock(audio::FftPlannerMutex());
        auto* c = reinterpret_cast<fftw_complex*>(spectrum.data());
        forward = fftw_plan_dft_r2c_1d(n, x.data(), c, FFTW_ESTIMATE);
        backward = fftw_plan_dft_c2r_1d(n, c, x.data(), FFTW_ESTIMATE);
    }
    fftw_execute(forward);
    for (int k = 0; k <= n / 2; ++k) spectrum[k] *= Response(chain, k * 44100.0 / n) / double(n);
    fftw_execute(backward);
    {
        std::lock_guard lock(audio::FftPlannerMutex());
        fftw_destroy_plan(forward);
        fftw_destroy_plan(backward);
    }
    return std::vector<float>(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(count + 4096));
}

// An ideal read of step i: the lock-in of the frames centred on the step's sample (where the
// sweep reads them), against the image samples played in them.
LockInWork::Result IdealRead(LockInWork& work, const SharedState& s, const std::vector<float>& y,
                             double stepSample) {
    const int64_t first = std::llround(stepSample) + 513 - kLevelFrames;
    std::vector<float> x(kLevelFrames, 0.0f), r(kLevelFrames, 0.0f);
    const size_t count = (s.WavImage.Size() - WavHeader::kSize) / 2;
    const uint8_t* image = s.WavImage.Data() + WavHeader::kSize;
    size_t from = kLevelFrames, to = 0;
    for (int64_t j = 0; j < kLevelFrames; ++j) {
        const int64_t k = first + j;
        if (k < 0 || static_cast<size_t>(k) >= count) continue;
        const auto u = static_cast<size_t>(j);
        x[u] = y[static_cast<size_t>(k)];
        int16_t v;
        std::memcpy(&v, image + 2 * static_cast<size_t>(k), 2);
        r[u] = v / 32768.0f;
        from = std::min(from, u);
        to = u;
    }
    return work.Correlate(x.data(), r.data(), from, to);
}

// An ideal read of step i with the FFT filter: the seven bins around f of the same frames,
// through the recording buffer's own spectrum.
double IdealFftRead(audio::RecordBuffer& ideal, double f, double stepSample) {
    std::array<float, 512> spectrum{};
    const auto end = static_cast<uint64_t>(std::llround(stepSample) + 513);
    if (ideal.GetDataBefore(end, spectrum.data(), audio::kDataFft1024) == audio::kDataFailed) {
        return 0.0;
    }
    const int k = LevelBin(f);
    double sum = 0.0;
    for (int j = std::max(k - kLevelHalfBand, 0); j <= std::min(k + kLevelHalfBand, 511); ++j) {
        sum += static_cast<double>(spectrum[static_cast<size_t>(j)]) *
               spectrum[static_cast<size_t>(j)];
    }
    return std::sqrt(sum);
}

// The largest point within `half` Hz of f, placed between its neighbours by a parabola, in
// steps from the first point.
double PeakAt(const std::vector<double>& freq, const std::vector<double>& amp, double f,
              double half) {
    size_t best = 0;
    for (size_t i = 1; i + 1 < amp.size(); ++i) {
        if (std::fabs(freq[i] - f) <= half && (best == 0 || amp[i] > amp[best])) best = i;
    }
    const double a = amp[best - 1], b = amp[best], c = amp[best + 1];
    return static_cast<double>(best) + 0.5 * (a - c) / (a - 2.0 * b + c);
}

// Phases in degrees made continuous along the points, by the whole turns that put a straight
// line through them nearest to 0 degrees at 0 Hz (the points start above 0 Hz; a delay of
// half a millisecond turns the phase by more than half a turn on the way), and the one delay
// that best explains them: the slope [degrees per Hz] of a line through 0 Hz.
std::vector<double> Unwrapped(const std::vector<double>& freq, std::vector<double> degrees) {
    for (size_t i = 1; i < degrees.size(); ++i) {
        degrees[i] = degrees[i - 1] + std::remainder(degrees[i] - degrees[i - 1], 360.0);
    }
    double sf = 0, sp = 0, sff = 0, sfp = 0;
    const auto n = static_cast<double>(freq.size());
    for (size_t i = 0; i < freq.size(); ++i) {
        sf += freq[i];
        sp += degrees[i];
        sff += freq[i] * freq[i];
        sfp += freq[i] * degrees[i];
    }
    const double slope = (n * sfp - sf * sp) / (n * sff - sf * sf);
    const double turns = std::round((sp - slope * sf) / n / 360.0);
    for (double& d : degrees) d -= 360.0 * turns;
    return degrees;
}
double DelaySlope(const std::vector<double>& freq, const std::vector<double>& degrees) {
    double sxy = 0, sxx = 0;
    for (size_t i = 0; i < freq.size(); ++i) {
        sxy += freq[i] * degrees[i];
        sxx += freq[i] * freq[i];
    }
    return sxy / sxx;
}

// Whether the server recorded what the chain makes of the played sound over every step's
// frames: the recording against the image through the chain, at the offset that lines them up
// best (found here, independent of the program's alignment), level by level over each step's
// 1024 frames. A sound server that falls behind under load may record silence for a block or
// two without any report to its client; such a sweep cannot be judged. Returns the frequency
// of the first step whose recorded level is more than 2 % off, or 0.
double ServerDropout(const SharedState& s, const std::vector<float>& y,
                     const std::vector<SweepStats::Read>& reads, int slot) {
    if (reads.empty()) return 0.0;
    std::vector<int64_t> offsets;
    for (const auto& read : reads) {
        offsets.push_back(std::llround(read.endFrame) - (std::llround(read.sample) + 513));
    }
    std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
    const int64_t guess = offsets[offsets.size() / 2], reach = 200;
    const int64_t firstSample = std::max<int64_t>(std::llround(reads.front().sample) - 1024, 0);
    const int64_t lastSample =
        std::min<int64_t>(std::llround(reads.back().sample) + 513, static_cast<int64_t>(y.size()));
    const int64_t from = firstSample + guess - reach;
    std::vector<int16_t> rec(static_cast<size_t>(lastSample - firstSample + 2 * reach), 0);
    for (size_t done = 0; done < rec.size();) {
        uint64_t lost = 0;
        const uint32_t n = audio::RecordCopy(static_cast<uint64_t>(from) + done, rec.data() + done,
                                             static_cast<uint32_t>(rec.size() - done), 0, lost);
        if (n == 0 || lost != 0) return reads.front().sample;  // not held: cannot be judged
        done += n;
    }
    int64_t best = guess;
    double bestSum = -1e300;
    for (int64_t lag = guess - reach; lag <= guess + reach; ++lag) {
        double sum = 0;
        for (int64_t k = firstSample; k < lastSample; k += 2) {
            sum += y[static_cast<size_t>(k)] * rec[static_cast<size_t>(k + lag - from)];
        }
        if (sum > bestSum) {
            bestSum = sum;
            best = lag;
        }
    }
    std::vector<double> ratio;
    for (const auto& read : reads) {
        const int64_t end = std::llround(read.sample) + 513;
        double sy = 0, sr = 0;
        for (int64_t k = std::max<int64_t>(end - kLevelFrames, 0); k < end; ++k) {
            sy += double(y[static_cast<size_t>(k)]) * y[static_cast<size_t>(k)];
            const double r = rec[static_cast<size_t>(k + best - from)] / 32768.0;
            sr += r * r;
        }
        ratio.push_back(sy > 0 ? std::sqrt(sr / sy) : 1.0);
    }
    std::vector<double> sorted = ratio;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    for (size_t i = 0; i + 2 < ratio.size(); ++i) {
        if (std::fabs(ratio[i] / median - 1.0) > 0.02) return s.SpecFreq[slot][i + 1];
    }
    return 0.0;
}

// A calibration may refuse on a busy machine ("try again"): up to three tries, as a user would.
class Calibrator : public CalibrationWindow {
public:
    int VolumePosition() const override { return 50; }
};

class PulseResonator : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run under scripts/with-pipewire";
        chain = Chain();
        ASSERT_FALSE(chain.empty()) << "set SONARIX_PIPEWIRE_RESONATOR for scripts/with-pipewire";
        context.emplace(audio::CreateSoundCardBackend());
        ASSERT_TRUE(audio::Init(-1, 44100, 0, nullptr, nullptr));
        ASSERT_TRUE(audio::RecordInit(-1));
        StartRecording(*s);
        ASSERT_NE(s->RecChannel, 0u);
        platform::Sleep(800);
        Calibrator calibrator;
        CalibrationOutcome c;
        for (int attempt = 0; attempt < 3 && !c.found; ++attempt) {
            c = CalibrateLatency(*s, calibrator);
            if (!c.found) platform::Sleep(200);
        }
        ASSERT_TRUE(c.found) << c.message;
        // Through the resonator: its two sides agree as through a pure delay.
        std::printf(
            "calibration through the resonator: %.2f ms on arrival, spread %.2f ms, the "
            "chirp's place %.3f ms from the reads'\n",
            (c.latency.samples - c.latency.ageSamples) / 44.1, c.latency.spreadMs, c.sidesApartMs);
        messages.Clear();
    }
    void TearDown() override {
        audio::Free();
        context.reset();
    }
    // A stepped sweep of 800 ... 3200 Hz in 20 Hz steps of `ms`, played again when the
    // playback ran dry or the server recorded something else than the chain's sound.
    void Sweep(bool lockIn, const char* ms) {
        w.fields = {"800", "3200", "20", ms};
        w.lockIn = lockIn;
        for (int attempt = 0; attempt < 3; ++attempt) {
            const uint64_t gaps = audio::PlaybackGaps();
            engine.Measure();
            if (audio::PlaybackGaps() != gaps) continue;
            const double at = ServerDropout(*s, Filtered(*s, chain), engine.LastStats().reads, 0);
            if (at == 0.0) break;
            std::printf("the server recorded less than the chain's sound near %.0f Hz: again\n",
                        at);
        }
        ASSERT_EQ(s->SpecCount[0], 120);
        ASSERT_EQ(engine.LastStats().reads.size(), 120u);
        EXPECT_EQ(engine.LastStats().lagEvents, 0);
        EXPECT_TRUE(messages.Messages().empty());
    }
    // The measured points against an ideal read of the same chirp through the chain: the
    // levels' ratio everywhere (worst deviation from their median), the maxima (in steps) and,
    // with the lock-in, the phases after one delay.
    void Compare(bool lockIn, bool positions) {
        const std::vector<float> y = Filtered(*s, chain);
        LockInWork work;
        auto recording = std::make_unique<audio::RecordBuffer>();
        recording->Reset(1);
        std::vector<int16_t> frames(y.size());
        for (size_t i = 0; i < y.size(); ++i) {
            frames[i] =
                static_cast<int16_t>(std::lround(std::clamp(y[i] * 32768.0f, -32768.0f, 32767.0f)));
        }
        for (size_t i = 0; i < frames.size(); i += audio::RecordBuffer::kLargestBlock) {
            recording->Write(frames.data() + i,
                             static_cast<uint32_t>(std::min<size_t>(
                                 audio::RecordBuffer::kLargestBlock, frames.size() - i)));
        }
        std::vector<double> freq, measured, ideal, phaseError;
        for (int i = 1; i <= 120; ++i) {
            const auto& read = engine.LastStats().reads[static_cast<size_t>(i - 1)];
            const LockInWork::Result r = IdealRead(work, *s, y, read.sample);
            freq.push_back(s->SpecFreq[0][i]);
            measured.push_back(s->SpecAmp[0][i]);
            ideal.push_back(lockIn ? r.level : IdealFftRead(*recording, freq.back(), read.sample));
            if (lockIn) phaseError.push_back(s->SpecPhase[0][i] - r.phaseDegrees);
        }
        // No point is the point before it, stored again under the next frequency.
        for (size_t i = 1; i < measured.size(); ++i) EXPECT_NE(measured[i], measured[i - 1]) << i;
        std::vector<double> ratio(measured.size());
        for (size_t i = 0; i < ratio.size(); ++i) ratio[i] = measured[i] / ideal[i];
        std::vector<double> sorted = ratio;
        std::sort(sorted.begin(), sorted.end());
        const double median = sorted[sorted.size() / 2];
        double worst = 0;
        for (size_t i = 0; i + 2 < ratio.size(); ++i) {  // the last two: past the sound's end
            worst = std::max(worst, std::fabs(ratio[i] / median - 1.0));
            EXPECT_NEAR(ratio[i] / median, 1.0, 0.02) << freq[i] << " Hz";
        }
        double worstPeak = 0;
        for (const Peaking& p : chain) {
            const double m = PeakAt(freq, measured, p.f, 100), t = PeakAt(freq, ideal, p.f, 100);
            worstPeak = std::max(worstPeak, std::fabs(m - t));
            if (positions) {
                EXPECT_NEAR(m, t, 0.03) << p.f << " Hz";
            }
        }
        double worstPhase = 0;
        if (lockIn) {
            // One delay: the phase error's slope against frequency, through 0 Hz.
            phaseError = Unwrapped(freq, phaseError);
            const double slope = DelaySlope(freq, phaseError);
            for (size_t i = 0; i + 2 < phaseError.size(); ++i) {
                const double left = phaseError[i] - slope * freq[i];
                worstPhase = std::max(worstPhase, std::fabs(left));
                EXPECT_NEAR(left, 0.0, 3.0) << freq[i] << " Hz";
            }
            std::printf("one delay of %.3f samples taken out of the phases\n",
                        -slope / 360.0 * 44100.0);
        }
        std::printf(
            "%s, %s ms steps, through the resonator: levels within %.2f %% of an ideal read, "
            "maxima within %.4f step%s",
            lockIn ? "lock-in" : "FFT filter", w.fields.time.c_str(), 100 * worst, worstPeak,
            lockIn ? ", phases within " : "\n");
        if (lockIn) std::printf("%.2f degrees\n", worstPhase);
    }

    std::vector<Peaking> chain;
    test::MessageRecorder messages;
    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    std::optional<platform::ContextScope> context;
    test::FakeMeasureWindow w;
    SweepEngine engine{*s, w};
};

// Steps of 20 ms, shorter than PipeWire's blocks of 21.3 ms, and of 50 ms: each point from
// frames of its own, its level and (lock-in) phase those of an ideal read. The maxima are held
// to 0.03 step at 50 ms: the server's position reports put a playback as a whole up to 0.65 ms
// (0.03 step at 20 ms) off from one playback to the next, which moves no level or phase
// within it (one delay) but the maxima by that much; at 20 ms they are reported.
TEST_F(PulseResonator, TheStepsReadWhatTheirSoundProduced) {
    for (const bool lockIn : {false, true}) {
        for (const char* ms : {"20", "50"}) {
            Sweep(lockIn, ms);
            Compare(lockIn, ms == std::string("50"));
        }
    }
}

// The fast measurement against the chain's response: magnitude and, after one delay, phase
// at every point, and the maxima.
TEST_F(PulseResonator, TheFastMeasurementIsTheChainsResponse) {
    w.fields = {"800", "3200", "20", "20"};
    ASSERT_TRUE(engine.FastMeasure(FastSettings{}))
        << test::FirstLine(messages.Messages().empty() ? std::string() : messages.Messages()[0]);
    const int n = s->SpecCount[0];
    ASSERT_GT(n, 2000);
    std::vector<double> freq, ratioDb, phase;
    for (int i = 1; i <= n; ++i) {
        const double f = s->SpecFreq[0][i];
        const std::complex<double> h = Response(chain, f);
        freq.push_back(f);
        ratioDb.push_back(20.0 * std::log10(s->SpecAmp[0][i] / std::abs(h)));
        phase.push_back(std::remainder(s->SpecPhase[0][i] - std::arg(h) * 180.0 / kPi, 360.0));
    }
    std::vector<double> sorted = ratioDb;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    double worstDb = 0;
    for (double r : ratioDb) worstDb = std::max(worstDb, std::fabs(r - median));
    phase = Unwrapped(freq, phase);
    const double slope = DelaySlope(freq, phase);
    double worstPhase = 0;
    size_t worstAt = 0;
    for (size_t i = 0; i < freq.size(); ++i) {
        if (std::fabs(phase[i] - slope * freq[i]) > worstPhase) {
            worstPhase = std::fabs(phase[i] - slope * freq[i]);
            worstAt = i;
        }
    }
    if (worstPhase >= 1.0) {
        for (size_t i = worstAt > 3 ? worstAt - 3 : 0; i < std::min(freq.size(), worstAt + 4);
             ++i) {
            std::printf("%.1f Hz: %.2f degrees, unwrapped %.2f, line %.2f\n", freq[i],
                        s->SpecPhase[0][i + 1], phase[i], slope * freq[i]);
        }
    }
    // The maxima against the response's own, found on a grid of 0.001 Hz.
    std::vector<double> amp(s->SpecAmp[0].begin() + 1, s->SpecAmp[0].begin() + 1 + n);
    double worstHz = 0;
    for (const Peaking& p : chain) {
        double truth = p.f, largest = 0;
        for (double f = p.f - 20; f <= p.f + 20; f += 0.001) {
            if (const double a = std::abs(Response(chain, f)); a > largest) {
                largest = a;
                truth = f;
            }
        }
        const double at = freq[0] + PeakAt(freq, amp, p.f, 20) * (freq[1] - freq[0]);
        worstHz = std::max(worstHz, std::fabs(at - truth));
        EXPECT_NEAR(at, truth, 0.05) << p.f << " Hz";
    }
    std::printf(
        "fast measurement through the resonator: magnitude within %.3f dB, phase within %.2f "
        "degrees after a delay of %.3f samples, maxima within %.4f Hz\n",
        worstDb, worstPhase, -slope / 360.0 * 44100.0, worstHz);
    EXPECT_LT(worstDb, 0.1);
    EXPECT_LT(worstPhase, 1.0);
}

}  // namespace
}  // namespace sonarix
