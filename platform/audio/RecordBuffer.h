// The recording ring buffer shared by both backends, with the sample and FFT reads on it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "physics/SampleRate.h"
#include "platform/audio/Audio.h"

namespace audio {

// The FFTW planner is not thread-safe: every plan of the program is made and destroyed under
// this lock.
std::mutex& FftPlannerMutex();

// Single producer (the backend's recording thread) and any number of readers on the GUI thread.
// The producer never blocks and never allocates; readers copy the latest frames without
// consuming them. Each frame is one 32-bit atomic word (left sample in the low half, right in
// the high half), so a torn frame cannot occur and the only race to detect is the writer
// lapping the reader, which Latest() checks by reading the write count before and after.
class RecordBuffer {
public:
    // Frames, about 11.9 s at 44100 Hz: a level is read from the frames its step produced,
    // also when the program gets to it late.
    static constexpr uint32_t kCapacity = 1u << 19;
    static constexpr uint32_t kLargestBlock = 8192;  // frames one Write call may hand in
    static constexpr uint32_t kLongestRead = 32768;  // frames one sample read may return
    static constexpr int kFftSize = 1024;
    static_assert(kLongestRead + kLargestBlock < kCapacity);

    RecordBuffer();
    ~RecordBuffer();
    RecordBuffer(const RecordBuffer&) = delete;
    RecordBuffer& operator=(const RecordBuffer&) = delete;

    // Starts afresh with the given channel count (1 or 2) and no frames. Call only while no
    // Write can run.
    void Reset(int channels);
    int Channels() const { return m_channels; }

    // Producer side (recording thread): appends interleaved s16 frames. Blocks longer than
    // kLargestBlock are split.
    void Write(const int16_t* frames, uint32_t count);

    // Number of frames written since the last Reset.
    uint64_t Written() const { return m_written.load(std::memory_order_acquire); }
    // Seconds since the newest frame that the last sample read returned was recorded (0 before
    // the first read): how long ago those frames were current. Taken from how early the
    // blocks arrived for their frames (see NoteArrival), not from when the last one came.
    double Age() const;
    // The frame index the recording has reached at this moment, fractional: the frames written
    // and the time since the newest of them was recorded (from the same arrival record as Age).
    double Now() const;

    // Reader side (GUI thread). Follows the ChannelGetData contract: with bit 31 of
    // length set, a Hann-windowed 1024-point magnitude spectrum of the latest 1024 frames as
    // floats (512 values, or 1024 interleaved per channel with kDataFftIndividual), scaled so
    // that a full-scale sine centred on a bin gives 1.0, frames not yet recorded counting as
    // zeros; otherwise up to length bytes (at most kLongestRead frames) of the latest s16
    // frames, oldest first (only frames that exist are written). Returns the bytes written.
    uint32_t GetData(void* buffer, uint32_t length);
    // The same reads of the frames before index `end` (counted since the last Reset) instead of
    // the latest ones: kDataFailed unless all of them are held (recorded, and not yet
    // overwritten); frames before index 0 count as zeros. A read by index: whenever it comes,
    // it takes the same frames.
    uint32_t GetDataBefore(uint64_t end, void* buffer, uint32_t length);
    // The oldest frame index that a read may still take.
    uint64_t Oldest() const;

    // A capture's read (any thread): the frames from index `first` on (counted since the last
    // Reset), at most `max`, of one channel (0 left or mono, 1 right), into out. Frames the ring
    // no longer holds are lost: `lost` counts them and the copy starts at the oldest frame held.
    // Returns the frames copied; 0 when none is new yet.
    uint32_t Copy(uint64_t first, int16_t* out, uint32_t max, int channel, uint64_t& lost) const;

private:
    // Copies the latest n frames (n <= kLongestRead) into out, oldest first; returns how many
    // exist (fewer than n at the start of a recording; those are the last ones of out).
    uint32_t Latest(uint32_t* out, uint32_t n) const;
    // Copies frames end - n ... end - 1 into out (those before index 0 as zeros); false when the
    // writer has not reached `end` or has overwritten the oldest of them.
    bool Before(uint64_t end, uint32_t* out, uint32_t n) const;
    static constexpr uint64_t kLatest = ~uint64_t{0};
    uint32_t Deliver(void* buffer, uint32_t length, uint64_t end);
    uint32_t Fft(float* out, bool individual);

    std::unique_ptr<std::atomic<uint32_t>[]> m_frames;
    std::atomic<uint64_t> m_written{0};
    static constexpr double kFramesPerSecond = kSampleRateHz;
    static constexpr int64_t kArrivalWindowNs = 400'000'000;
    void NoteArrival(int64_t nowNs, uint64_t written);
    // The producer's record of when blocks came: steady clock and when frame 0 would have been
    // recorded had that block's newest frame been recorded as it came (nanoseconds).
    struct Arrival {
        int64_t ns = 0, zero = 0;
    };
    std::array<Arrival, 256> m_arrival{};
    uint64_t m_arrivals = 0;
    std::atomic<int64_t> m_captureZero{0};  // when frame 0 was recorded, best known
    std::atomic<uint64_t> m_served{0};      // frames written when the last sample read copied
    int m_channels = 1;

    std::mutex m_readMutex;  // serialises readers over the scratch below
    std::array<uint32_t, kLongestRead> m_scratch{};
    std::array<float, kFftSize> m_window{};
    float* m_fftIn = nullptr;
    void* m_fftOut = nullptr;  // fftwf_complex[kFftSize / 2 + 1]
    void* m_plan = nullptr;    // fftwf_plan
};

}  // namespace audio
