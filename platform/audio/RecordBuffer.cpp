// The recording ring buffer and its sample and FFT reads.
#include "platform/audio/RecordBuffer.h"

#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <numbers>

namespace audio {

std::mutex& FftPlannerMutex() {
    static std::mutex m;
    return m;
}

namespace {
int16_t Left(uint32_t frame) { return static_cast<int16_t>(frame & 0xFFFF); }
int16_t Right(uint32_t frame) { return static_cast<int16_t>(frame >> 16); }
}  // namespace

RecordBuffer::RecordBuffer() : m_frames(new std::atomic<uint32_t>[kCapacity]) {
    for (uint32_t i = 0; i < kCapacity; ++i) m_frames[i].store(0, std::memory_order_relaxed);
    // Periodic Hann window; its sum is kFftSize / 2.
    for (int n = 0; n < kFftSize; ++n) {
        m_window[n] = static_cast<float>(
            0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / static_cast<double>(kFftSize)));
    }
    std::lock_guard lock(FftPlannerMutex());
    m_fftIn = fftwf_alloc_real(kFftSize);
    auto* out = fftwf_alloc_complex(kFftSize / 2 + 1);
    m_fftOut = out;
    m_plan = fftwf_plan_dft_r2c_1d(kFftSize, m_fftIn, out, FFTW_ESTIMATE);
}

RecordBuffer::~RecordBuffer() {
    std::lock_guard lock(FftPlannerMutex());
    fftwf_destroy_plan(static_cast<fftwf_plan>(m_plan));
    fftwf_free(m_fftIn);
    fftwf_free(m_fftOut);
}

void RecordBuffer::Reset(int channels) {
    m_channels = channels == 2 ? 2 : 1;
    m_written.store(0, std::memory_order_release);
    m_captureZero.store(0, std::memory_order_release);
    m_served.store(0, std::memory_order_release);
    m_arrivals = 0;
}

namespace {
int64_t NowNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

void RecordBuffer::Write(const int16_t* frames, uint32_t count) {
    uint64_t w = m_written.load(std::memory_order_relaxed);
    while (count > 0) {
        uint32_t n = std::min(count, kLargestBlock);
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t word;
            if (m_channels == 2) {
                word = static_cast<uint16_t>(frames[2 * i]) |
                       (static_cast<uint32_t>(static_cast<uint16_t>(frames[2 * i + 1])) << 16);
            } else {
                word = static_cast<uint16_t>(frames[i]);
            }
            m_frames[(w + i) % kCapacity].store(word, std::memory_order_relaxed);
        }
        frames += static_cast<size_t>(n) * m_channels;
        count -= n;
        w += n;
        // Release: a reader that sees this count (acquire) sees the frames stored before it.
        m_written.store(w, std::memory_order_release);
    }
    NoteArrival(NowNs(), w);
}

// Blocks arrive some time after their newest frame was recorded: at once from PulseAudio's
// small blocks, up to a block's time late on PipeWire, whose blocks of 5 ... 21 ms are handed
// on in fragments of another size. A frame cannot arrive before it was recorded, so the block
// that arrived earliest for its frames, at 44100 frames a second, tells best when frame 0 was
// recorded; the last 400 ms of blocks are looked at (the sound card's clock may run a little
// apart from this one).
void RecordBuffer::NoteArrival(int64_t nowNs, uint64_t written) {
    const auto zero =
        nowNs -
        static_cast<int64_t>(std::llround(static_cast<double>(written) * (1e9 / kFramesPerSecond)));
    m_arrival[m_arrivals % m_arrival.size()] = {nowNs, zero};
    ++m_arrivals;
    int64_t earliest = zero;
    for (size_t i = 0; i < std::min<uint64_t>(m_arrivals, m_arrival.size()); ++i) {
        const Arrival& a = m_arrival[i];
        if (nowNs - a.ns <= kArrivalWindowNs) earliest = std::min(earliest, a.zero);
    }
    m_captureZero.store(earliest, std::memory_order_release);
}

double RecordBuffer::Age() const {
    const uint64_t served = m_served.load(std::memory_order_acquire);
    if (served == 0) return 0.0;
    const double recorded = static_cast<double>(m_captureZero.load(std::memory_order_acquire)) +
                            static_cast<double>(served) * (1e9 / kFramesPerSecond);
    return std::max(static_cast<double>(NowNs()) - recorded, 0.0) * 1e-9;
}

double RecordBuffer::Now() const {
    const uint64_t written = Written();
    if (written == 0) return 0.0;
    const double now =
        static_cast<double>(NowNs() - m_captureZero.load(std::memory_order_acquire)) *
        (kFramesPerSecond * 1e-9);
    return std::max(now, static_cast<double>(written));
}

uint64_t RecordBuffer::Oldest() const {
    const uint64_t end = Written();
    return end > kCapacity - kLargestBlock ? end - (kCapacity - kLargestBlock) : 0;
}

bool RecordBuffer::Before(uint64_t end, uint32_t* out, uint32_t n) const {
    if (end > Written()) return false;
    const uint32_t missing = end < n ? static_cast<uint32_t>(n - end) : 0;
    std::fill(out, out + missing, 0u);
    const uint64_t first = end - (n - missing);
    if (first < Oldest()) return false;
    for (uint32_t i = missing; i < n; ++i) {
        out[i] = m_frames[(first + i - missing) % kCapacity].load(std::memory_order_relaxed);
    }
    // As in Latest: intact unless the writer reached back to the first frame meanwhile.
    std::atomic_thread_fence(std::memory_order_acquire);
    return m_written.load(std::memory_order_relaxed) + kLargestBlock <= first + kCapacity;
}

uint32_t RecordBuffer::Latest(uint32_t* out, uint32_t n) const {
    for (;;) {
        uint64_t end = m_written.load(std::memory_order_acquire);
        uint32_t have = static_cast<uint32_t>(std::min<uint64_t>(end, n));
        uint32_t missing = n - have;
        std::fill(out, out + missing, 0u);
        uint64_t first = end - have;
        for (uint32_t i = 0; i < have; ++i) {
            out[missing + i] = m_frames[(first + i) % kCapacity].load(std::memory_order_relaxed);
        }
        // The writer may be storing up to kLargestBlock frames beyond the count it published;
        // the copy is intact unless those reached back to our first frame.
        std::atomic_thread_fence(std::memory_order_acquire);
        uint64_t after = m_written.load(std::memory_order_relaxed);
        if (after + kLargestBlock <= first + kCapacity) return have;
    }
}

uint32_t RecordBuffer::Copy(uint64_t first, int16_t* out, uint32_t max, int channel,
                            uint64_t& lost) const {
    const int shift = channel == 1 && m_channels == 2 ? 16 : 0;
    for (;;) {
        const uint64_t end = m_written.load(std::memory_order_acquire);
        // The writer may be storing up to kLargestBlock frames past `end`: those places are
        // not read.
        const uint64_t oldest =
            end > kCapacity - kLargestBlock ? end - (kCapacity - kLargestBlock) : 0;
        lost = first < oldest ? oldest - first : 0;
        const uint64_t from = std::max(first, oldest);
        if (from >= end) return 0;
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(end - from, max));
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t word = m_frames[(from + i) % kCapacity].load(std::memory_order_relaxed);
            out[i] = static_cast<int16_t>(static_cast<uint16_t>(word >> shift));
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        const uint64_t after = m_written.load(std::memory_order_relaxed);
        if (after + kLargestBlock <= from + kCapacity) return n;
    }
}

uint32_t RecordBuffer::GetData(void* buffer, uint32_t length) {
    std::lock_guard lock(m_readMutex);
    return Deliver(buffer, length, kLatest);
}

uint32_t RecordBuffer::GetDataBefore(uint64_t end, void* buffer, uint32_t length) {
    std::lock_guard lock(m_readMutex);
    return Deliver(buffer, length, end);
}

// end kLatest: the latest frames; otherwise the frames before index end.
uint32_t RecordBuffer::Deliver(void* buffer, uint32_t length, uint64_t end) {
    if (length & kDataFft) {
        if ((length & 0x7) != (kDataFft1024 & 0x7)) return kDataFailed;  // only 1024 points
        if (end == kLatest) {
            Latest(m_scratch.data(), kFftSize);
        } else if (!Before(end, m_scratch.data(), kFftSize)) {
            return kDataFailed;
        }
        return Fft(static_cast<float*>(buffer), (length & kDataFftIndividual) != 0);
    }
    uint32_t frameBytes = 2u * static_cast<uint32_t>(m_channels);
    uint32_t want = std::min(length / frameBytes, kLongestRead);
    uint32_t have = want;
    if (end == kLatest) {
        // The frames written before the copy: a block written during it makes the frames
        // newer, not older, than that says.
        m_served.store(m_written.load(std::memory_order_acquire), std::memory_order_release);
        have = Latest(m_scratch.data(), want);
    } else if (!Before(end, m_scratch.data(), want)) {
        return kDataFailed;
    }
    auto* out = static_cast<int16_t*>(buffer);
    const uint32_t* src = m_scratch.data() + (want - have);
    for (uint32_t i = 0; i < have; ++i) {
        if (m_channels == 2) {
            out[2 * i] = Left(src[i]);
            out[2 * i + 1] = Right(src[i]);
        } else {
            out[i] = Left(src[i]);
        }
    }
    return have * frameBytes;
}

// The spectrum of the frames in m_scratch.
uint32_t RecordBuffer::Fft(float* out, bool individual) {
    auto* spectrum = static_cast<fftwf_complex*>(m_fftOut);
    // |X_k| * 2 / sum(w) for samples scaled to +-1.0.
    const float scale = 2.0f / (static_cast<float>(kFftSize) / 2.0f) / 32768.0f;
    const int channels = m_channels;
    const int passes = (channels == 2 && individual) ? 2 : 1;
    for (int c = 0; c < passes; ++c) {
        for (int n = 0; n < kFftSize; ++n) {
            uint32_t f = m_scratch[n];
            float v;
            if (channels == 2 && !individual) {
                v = (static_cast<float>(Left(f)) + static_cast<float>(Right(f))) * 0.5f;
            } else {
                v = static_cast<float>(c == 0 ? Left(f) : Right(f));
            }
            m_fftIn[n] = v * m_window[n];
        }
        fftwf_execute_dft_r2c(static_cast<fftwf_plan>(m_plan), m_fftIn, spectrum);
        for (int k = 0; k < kFftSize / 2; ++k) {
            float mag = std::hypot(spectrum[k][0], spectrum[k][1]) * scale;
            out[passes == 2 ? 2 * k + c : k] = mag;
        }
    }
    return static_cast<uint32_t>(passes * kFftSize / 2 * sizeof(float));
}

}  // namespace audio
