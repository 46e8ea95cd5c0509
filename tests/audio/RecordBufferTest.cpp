// The recording ring buffer: order, channel layout, missing frames, FFT scale, concurrency.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

#include "platform/audio/RecordBuffer.h"

namespace audio {
namespace {

std::vector<int16_t> Ramp(int from, int count, int channels) {
    std::vector<int16_t> v;
    for (int i = 0; i < count; ++i) {
        v.push_back(static_cast<int16_t>(from + i));
        if (channels == 2) v.push_back(static_cast<int16_t>(-(from + i)));
    }
    return v;
}

TEST(RecordBuffer, SampleReadGivesLatestFramesOldestFirstWithoutConsuming) {
    RecordBuffer b;
    b.Reset(1);
    auto data = Ramp(0, 5000, 1);
    b.Write(data.data(), 5000);
    std::vector<int16_t> out(1024, 7);
    EXPECT_EQ(b.GetData(out.data(), 2048), 2048u);
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(out[i], 5000 - 1024 + i);
    std::vector<int16_t> again(1024);
    b.GetData(again.data(), 2048);
    EXPECT_EQ(again, out);
}

TEST(RecordBuffer, StereoFramesInterleaveLeftFirst) {
    RecordBuffer b;
    b.Reset(2);
    auto data = Ramp(1, 3000, 2);
    b.Write(data.data(), 3000);
    std::vector<int16_t> out(2048);
    EXPECT_EQ(b.GetData(out.data(), 4096), 4096u);
    for (int i = 0; i < 1024; ++i) {
        ASSERT_EQ(out[2 * i], 3000 - 1024 + 1 + i);
        ASSERT_EQ(out[2 * i + 1], -(3000 - 1024 + 1 + i));
    }
}

TEST(RecordBuffer, StartOfRecordingDeliversOnlyWhatExists) {
    RecordBuffer b;
    b.Reset(1);
    auto data = Ramp(100, 10, 1);
    b.Write(data.data(), 10);
    std::vector<int16_t> out(1024, -1);
    EXPECT_EQ(b.GetData(out.data(), 2048), 20u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(out[i], 100 + i);
    EXPECT_EQ(out[10], -1);  // untouched
}

TEST(RecordBuffer, WrapsAroundItsCapacity) {
    RecordBuffer b;
    b.Reset(1);
    std::vector<int16_t> block(4000);
    int next = 0;
    for (int round = 0; round < 40; ++round) {
        for (auto& v : block) v = static_cast<int16_t>(next++ % 30000);
        b.Write(block.data(), 4000);
    }
    std::vector<int16_t> out(1024);
    b.GetData(out.data(), 2048);
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(out[i], (next - 1024 + i) % 30000);
}

// A full-scale sine on bin centre k gives 1.0 in bin k, 0.5 in its neighbours (Hann).
TEST(RecordBuffer, FftScaleAndBinLayout) {
    for (int channels : {1, 2}) {
        RecordBuffer b;
        b.Reset(channels);
        const int k = 40;
        std::vector<int16_t> data;
        for (int n = 0; n < 1024; ++n) {
            const double x = std::sin(2.0 * std::numbers::pi * k * n / 1024.0);
            data.push_back(static_cast<int16_t>(std::lround(32767.0 * x)));
            if (channels == 2) data.push_back(static_cast<int16_t>(std::lround(16384.0 * x)));
        }
        b.Write(data.data(), 1024);
        std::vector<float> fft(2048, 0.0f);
        const uint32_t bytes = b.GetData(fft.data(), kDataFft1024 | kDataFftIndividual);
        if (channels == 1) {
            EXPECT_EQ(bytes, 512u * 4);
            EXPECT_NEAR(fft[k], 1.0, 1e-3);
            EXPECT_NEAR(fft[k - 1], 0.5, 1e-3);
            EXPECT_NEAR(fft[k + 1], 0.5, 1e-3);
            EXPECT_NEAR(fft[k + 5], 0.0, 1e-3);
            EXPECT_EQ(fft[512], 0.0f);  // beyond the 512 values: untouched
        } else {
            EXPECT_EQ(bytes, 1024u * 4);
            EXPECT_NEAR(fft[2 * k], 1.0, 1e-3);      // left
            EXPECT_NEAR(fft[2 * k + 1], 0.5, 1e-3);  // right
            EXPECT_NEAR(fft[2 * (k + 1) + 1], 0.25, 1e-3);
        }
    }
}

TEST(RecordBuffer, FftCountsMissingFramesAsZeros) {
    RecordBuffer b;
    b.Reset(1);
    std::vector<float> fft(2048, 3.0f);
    b.GetData(fft.data(), kDataFft1024 | kDataFftIndividual);
    for (int i = 0; i < 512; ++i) ASSERT_EQ(fft[i], 0.0f);
    EXPECT_EQ(fft[512], 3.0f);
    // Half a buffer of DC: the windowed half carries half the weight.
    std::vector<int16_t> dc(512, 16384);
    b.Write(dc.data(), 512);
    b.GetData(fft.data(), kDataFft1024);
    EXPECT_NEAR(fft[0], 0.5, 0.01);
}

TEST(RecordBuffer, ReadersNeverSeeATornOrReorderedCopy) {
    RecordBuffer b;
    b.Reset(2);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::vector<int16_t> block(2 * 441);
        uint32_t n = 0;
        for (int round = 0; round < 20000; ++round) {
            for (int i = 0; i < 441; ++i, ++n) {
                block[2 * i] = static_cast<int16_t>(n & 0x7FFF);
                block[2 * i + 1] = static_cast<int16_t>((n + 1) & 0x7FFF);
            }
            b.Write(block.data(), 441);
        }
        done = true;
    });
    std::vector<int16_t> out(2048);
    int reads = 0;
    while (!done) {
        const uint32_t bytes = b.GetData(out.data(), 4096);
        const int frames = static_cast<int>(bytes / 4);
        for (int i = 0; i + 1 < frames; ++i) {
            ASSERT_EQ((out[2 * i] + 1) & 0x7FFF, out[2 * (i + 1)]);
            ASSERT_EQ((out[2 * i] + 1) & 0x7FFF, out[2 * i + 1]);
        }
        ++reads;
    }
    writer.join();
    EXPECT_GT(reads, 10);
}

}  // namespace
}  // namespace audio
