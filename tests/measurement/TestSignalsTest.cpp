// The sweep and tone images: header, samples against the sequential reference, refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "measurement/TestSignals.h"
#include "tests/TestSupport.h"

namespace sonarix {
namespace {

// The algorithm as written, one sample after the other, in extended precision.
std::vector<int16_t> ReferenceSweep(double start, double stop, int64_t n) {
    const double dOmega =
        static_cast<double>((static_cast<long double>(stop) - static_cast<long double>(start)) *
                            kPiL / static_cast<long double>(n));
    double omega = static_cast<double>(kTwoPiL * static_cast<long double>(start));
    double t = 0.0;
    std::vector<int16_t> out(static_cast<size_t>(n));
    for (int64_t k = 1; k <= n; ++k) {
        omega = omega + dOmega;
        long double x = static_cast<long double>(omega) * static_cast<long double>(t);
        out[static_cast<size_t>(k - 1)] =
            static_cast<int16_t>(std::nearbyint(std::sin(x) * static_cast<long double>(4000.0)));
        t = t + kDt;
    }
    return out;
}

const int16_t* Samples(const SharedState& s) {
    return reinterpret_cast<const int16_t*>(s.WavImage.Data() + 44);
}

uint32_t U32At(const SharedState& s, size_t offset) {
    uint32_t v;
    std::memcpy(&v, s.WavImage.Data() + offset, 4);
    return v;
}

class TestSignals : public testing::Test {
protected:
    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    test::MessageRecorder messages;
};

TEST_F(TestSignals, DefaultSweepImage) {
    ASSERT_TRUE(MakeSweepWav(*s, "100", "10000", "10", "50"));
    EXPECT_EQ(s->SampleCount, 2182950);
    ASSERT_EQ(s->WavImage.Size(), 4365944u);
    const uint8_t* p = s->WavImage.Data();
    EXPECT_EQ(std::memcmp(p, "RIFF", 4), 0);
    EXPECT_EQ(U32At(*s, 4), 4365936u);
    EXPECT_EQ(std::memcmp(p + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(U32At(*s, 16), 16u);
    EXPECT_EQ(p[20] | p[21] << 8, 1);
    EXPECT_EQ(p[22] | p[23] << 8, 1);
    EXPECT_EQ(U32At(*s, 24), 44100u);
    EXPECT_EQ(U32At(*s, 28), 88200u);
    EXPECT_EQ(p[32] | p[33] << 8, 2);
    EXPECT_EQ(p[34] | p[35] << 8, 16);
    EXPECT_EQ(std::memcmp(p + 36, "data", 4), 0);
    EXPECT_EQ(U32At(*s, 40), 4365900u);
    EXPECT_EQ(Samples(*s)[0], 0);
    EXPECT_TRUE(messages.Messages().empty());
    EXPECT_FALSE(s->StopRequested);
}

TEST_F(TestSignals, DefaultSweepMatchesReferenceSampleForSample) {
    ASSERT_TRUE(MakeSweepWav(*s, "100", "10000", "10", "50"));
    const std::vector<int16_t> ref = ReferenceSweep(100.0, 10000.0, 2182950);
    const int16_t* got = Samples(*s);
    int64_t mismatches = 0;
    int16_t lo = 0, hi = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
        mismatches += got[i] != ref[i];
        lo = std::min(lo, got[i]);
        hi = std::max(hi, got[i]);
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(lo, -4000);
    EXPECT_EQ(hi, 4000);
}

TEST_F(TestSignals, TenMinuteSweepMatchesReferenceSampleForSample) {
    ASSERT_TRUE(MakeSweepWav(*s, "100", "10100", "10", "600"));
    ASSERT_EQ(s->SampleCount, 26460000);  // 600 s
    const std::vector<int16_t> ref = ReferenceSweep(100.0, 10100.0, s->SampleCount);
    const int16_t* got = Samples(*s);
    int64_t mismatches = 0;
    for (size_t i = 0; i < ref.size(); ++i) mismatches += got[i] != ref[i];
    EXPECT_EQ(mismatches, 0);
}

TEST_F(TestSignals, OddSweepsMatchReference) {
    // Fractional steps and a downward-rounded count through the fields; frequencies far from
    // zero, or below it, which the fields refuse, straight into the synthesis.
    ASSERT_TRUE(MakeSweepWav(*s, "37.5", "4410.25", "0.25", "0.3"));
    std::vector<int16_t> ref = ReferenceSweep(s->StartFreq, s->StopFreq, s->SampleCount);
    EXPECT_EQ(std::memcmp(Samples(*s), ref.data(), ref.size() * 2), 0);
    struct Case {
        double start, stop;
        int64_t samples;
    };
    for (const Case& c :
         {Case{1e6, 1.00002e6, 2058}, Case{-50, 50, 88200}, Case{1e9, 1.0000001e9, 22050}}) {
        s->StartFreq = c.start;
        s->StopFreq = c.stop;
        s->SampleCount = c.samples;
        WriteSweep(*s);
        ref = ReferenceSweep(c.start, c.stop, c.samples);
        EXPECT_EQ(std::memcmp(Samples(*s), ref.data(), ref.size() * 2), 0) << c.start;
    }
}

TEST(SynthesizeChirp, ArgumentsNextToARoundingBoundaryTakeTheExactPath) {
    // Arguments whose 4000 sin(x) lies within 1e-12 of a half: the fast sine alone cannot
    // decide these, so they show that the boundary test reaches the exact path.
    int checked = 0;
    for (int m = -3999; m < 4000; m += 97) {
        const long double target = (m + 0.5L) / 4000.0L;
        for (long double turns : {0.0L, 12345.0L, 3.0e6L}) {
            const long double x = std::asin(target) + turns * kTwoPiL;
            // One-sample chirp: omega * t with t = 0 is 0, so drive the kernel through a
            // two-sample chirp whose second argument is x: omega = x / kDt.
            const double omega = static_cast<double>(x / static_cast<long double>(kDt));
            const long double exact =
                static_cast<long double>(omega) * static_cast<long double>(kDt);
            int16_t out[2];
            SynthesizeChirp(out, 2, omega, 0.0);
            EXPECT_EQ(out[0], 0);
            EXPECT_EQ(out[1], ExactSample(exact)) << static_cast<double>(x);
            ++checked;
        }
    }
    EXPECT_GT(checked, 200);
}

TEST_F(TestSignals, ToneRepeatsQuarterPeriodValues) {
    s->CurrentFreq = 11025.0;
    ASSERT_TRUE(MakeToneWav(*s, 1.0));
    EXPECT_EQ(s->SampleCount, 44100);
    ASSERT_EQ(s->WavImage.Size(), 44u + 88200u);
    const int16_t* x = Samples(*s);
    const int16_t pattern[4] = {0, 4000, 0, -4000};
    for (int i = 0; i < 44100; ++i) EXPECT_NEAR(x[i], pattern[i % 4], 1) << i;
}

TEST_F(TestSignals, ToneLengthsAndTheirSamples) {
    s->CurrentFreq = 440.0;
    ASSERT_TRUE(MakeToneWav(*s, 10.0));
    EXPECT_EQ(s->SampleCount, 441000);
    const int16_t* x = Samples(*s);
    EXPECT_EQ(x[0], 0);
    // The tone as written: omega constant, t accumulated.
    const double omega = static_cast<double>(kTwoPiL * 440.0L);
    double t = 0.0;
    int mismatches = 0;
    for (int k = 0; k < 441000; ++k) {
        mismatches += x[k] != ExactSample(static_cast<long double>(omega) * t);
        t += kDt;
    }
    EXPECT_EQ(mismatches, 0);
}

TEST_F(TestSignals, ARefusedSweepLeavesTheParametersInForce) {
    ASSERT_TRUE(MakeSweepWav(*s, "200", "300", "5", "20"));
    const int64_t samples = s->SampleCount;
    EXPECT_FALSE(MakeSweepWav(*s, "5", "20000000", "1", "50"));
    EXPECT_EQ(s->StartFreq, 200.0);
    EXPECT_EQ(s->StopFreq, 300.0);
    EXPECT_EQ(s->StepFreq, 5.0);
    EXPECT_EQ(s->StepTime, 20.0);
    EXPECT_EQ(s->SampleCount, samples);
    // So a tone still plays after a sweep refused for too many points.
    EXPECT_FALSE(MakeSweepWav(*s, "100", "10000", "0.1", "5"));
    s->CurrentFreq = 440.0;
    EXPECT_TRUE(MakeToneWav(*s, 1.0));
}

TEST_F(TestSignals, HourLimit) {
    // 1000 steps of 3600 ms = exactly 3600 s.
    ASSERT_TRUE(MakeSweepWav(*s, "0", "1000", "1", "3600"));
    EXPECT_EQ(s->SampleCount, 158760000);
    EXPECT_EQ(s->WavImage.Size(), 44u + 2u * 158760000u);
    EXPECT_TRUE(messages.Messages().empty());

    // One sample more.
    s->CurrentFreq = 1000.0;
    ASSERT_TRUE(MakeToneWav(*s, 0.5));
    const std::vector<uint8_t> before(s->WavImage.Data(), s->WavImage.Data() + s->WavImage.Size());
    EXPECT_FALSE(MakeSweepWav(*s, "0", "1000", "1", "3600.0000226757"));
    EXPECT_EQ(s->SampleCount, 22050);  // the tone's, still in force
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], "Sweep longer than an hour");
    EXPECT_TRUE(s->StopRequested);
    ASSERT_EQ(s->WavImage.Size(), before.size());
    EXPECT_EQ(std::memcmp(s->WavImage.Data(), before.data(), before.size()), 0);
}

TEST_F(TestSignals, StepLimit) {
    ASSERT_TRUE(MakeSweepWav(*s, "0", "19999", "1", "1"));
    EXPECT_TRUE(messages.Messages().empty());
    const size_t size = s->WavImage.Size();
    EXPECT_FALSE(MakeSweepWav(*s, "0", "19999.5", "1", "1"));
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], "Too many data points");
    EXPECT_TRUE(s->StopRequested);
    EXPECT_EQ(s->WavImage.Size(), size);
}

TEST_F(TestSignals, RefusedToneKeepsPreviousImageAndRefusedCount) {
    s->CurrentFreq = 1000.0;
    ASSERT_TRUE(MakeToneWav(*s, 1.0));
    const std::vector<uint8_t> before(s->WavImage.Data(), s->WavImage.Data() + s->WavImage.Size());
    EXPECT_FALSE(MakeToneWav(*s, 3600.5));
    EXPECT_EQ(s->SampleCount, 158782050);
    EXPECT_EQ(messages.Messages().back(), "Sweep longer than an hour");

    // The stored sweep parameters decide "Too many data points" for a tone too.
    s->StartFreq = 0.0;
    s->StopFreq = 20000.0;
    s->StepFreq = 1.0;
    s->StopRequested = false;
    EXPECT_FALSE(MakeToneWav(*s, 10.0));
    EXPECT_EQ(s->SampleCount, 441000);
    EXPECT_EQ(messages.Messages().back(), "Too many data points");
    EXPECT_TRUE(s->StopRequested);
    ASSERT_EQ(s->WavImage.Size(), before.size());
    EXPECT_EQ(std::memcmp(s->WavImage.Data(), before.data(), before.size()), 0);
}

TEST_F(TestSignals, ParametersWithoutSamplesAreRefusedBeforeAnything) {
    struct Case {
        const char *start, *stop, *step, *time, *message;
    };
    const Case cases[] = {
        {"100", "10000", "0", "50", kStepIsZero},
        {"100", "10000", "abc", "50", kStepIsZero},  // unreadable: counts as 0
        {"100", "100", "10", "50", kStopNotAboveStart},
        {"1000", "100", "10", "50", kStopNotAboveStart},
        {"1000", "100", "-10", "50", kStopNotAboveStart},
        {"100", "10000", "-10", "50", kStepNotPositive},
        {"100", "10000", "-10", "-50", kStepNotPositive},  // would sweep down to -9900 Hz
        {"100", "10000", "10", "0", kTimeNotPositive},
        {"100", "10000", "10", "-5", kTimeNotPositive},
        {"-100", "1000", "10", "50", kStartNegative},
        {"-1000", "-100", "10", "50", kStartNegative},
        {"0", "-100", "10", "50", kStopNegative},
        {"100", "200", "500", "50", kStepBeyondRange},  // one point at 600 Hz
        {"100", "22050.5", "10", "1", kStopAboveHalfRate},
        {"100", "110", "10", "0.0001", kNoSamples},  // rounds to no sample
    };
    s->CurrentFreq = 1000.0;
    ASSERT_TRUE(MakeToneWav(*s, 0.1));
    const std::vector<uint8_t> before(s->WavImage.Data(), s->WavImage.Data() + s->WavImage.Size());
    for (const Case& c : cases) {
        messages.Clear();
        s->StopRequested = false;
        EXPECT_FALSE(MakeSweepWav(*s, c.start, c.stop, c.step, c.time)) << c.step;
        ASSERT_FALSE(messages.Messages().empty());
        EXPECT_EQ(messages.Messages().back(), c.message) << c.start << " " << c.step;
        EXPECT_TRUE(s->StopRequested);
        EXPECT_EQ(std::memcmp(s->WavImage.Data(), before.data(), before.size()), 0);
    }
}

TEST_F(TestSignals, UnreadableFieldCountsAsZero) {
    EXPECT_TRUE(MakeSweepWav(*s, "1,5", "1000", "10", "50"));
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0],
              "Input number can not be read\nStart Frequency [Hz]: \"1,5\"");
    EXPECT_EQ(s->StartFreq, 0.0);
    EXPECT_EQ(s->SampleCount, 220500);
}

TEST(ByteStream, ReusesAndReleasesItsBlock) {
    ByteStream b;
    b.ResizeForOverwrite(1000);
    const uint8_t* first = b.Data();
    b.ResizeForOverwrite(500);
    EXPECT_EQ(b.Data(), first);
    EXPECT_EQ(b.Size(), 500u);
    b.ResizeForOverwrite(100u << 20);
    EXPECT_GE(b.Capacity(), 100u << 20);
    b.ResizeForOverwrite(1000);
    EXPECT_LT(b.Capacity(), 100u << 20);  // a short tone after a long sweep frees the memory
}

}  // namespace
}  // namespace sonarix
