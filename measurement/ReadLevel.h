// ReadLevel: the level of the microphone signal at one frequency, from seven FFT bins or from
// the mean absolute sample, for the chosen channel; ReadLockInLevel: the same level detected
// phase-locked to the played signal. Used by the sweep and the angle measurement.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "measurement/SharedState.h"

namespace sonarix {

inline constexpr int kLevelFrames = 1024;  // the frames a level is taken from

// The lock-in's FFTW buffers and plans. Made on the GUI thread.
class LockInWork {
public:
    LockInWork();
    ~LockInWork();
    LockInWork(const LockInWork&) = delete;
    LockInWork& operator=(const LockInWork&) = delete;

    struct Result {
        double level = 0.0;
        double phaseDegrees = 0.0;
    };
    // x: the recorded frames, r: the reference, kLevelFrames each, full scale 1.0. Both are
    // windowed alike here; the result is the level of x's component along r (both
    // quadratures) in the scale of the FFT level, and its phase against r in degrees. The
    // reference's amplitude is taken over frames first ... last only (where it exists; past
    // the end of the signal it is silence that was not played).
    Result Correlate(const float* x, const float* r, size_t first, size_t last);

private:
    float* m_in = nullptr;
    void* m_x = nullptr;  // fftwf_complex[kLevelFrames / 2 + 1]
    void* m_r = nullptr;
    void* m_plan = nullptr;
    std::array<float, kLevelFrames> m_window{};
};

// The working buffers of one measurement: 2048 samples and 2048 spectrum values, zero-filled
// when made. A read that delivers less leaves the rest as it was. The lock-in's work space is
// made by its first read.
struct LevelBuffers {
    std::array<int16_t, 2048> samples{};
    std::array<float, 2048> spectrum{};
    std::array<float, kLevelFrames> frames{};
    std::array<float, kLevelFrames> reference{};
    std::unique_ptr<LockInWork> lockIn;
};

// The FFT read's flag word: a 1024-point FFT, each channel on its own.
inline constexpr uint32_t kLevelFftFlags = 0x80000011;
// Bins k - 3 ... k + 3 around the nearest bin k.
inline constexpr int kLevelHalfBand = 3;

// The bin nearest to f: Round(f / 44100 * 1024), halves to even.
int LevelBin(double f);

// With fftFilter: the square root of the sum of the squared magnitudes of bins k - 3 ... k + 3
// (bins outside 0 ... 511 contribute nothing), summed in extended precision. Without: the sum
// of the absolute values of the latest 1024 frames / 2^24. In stereo the left channel if
// LeftChannel, else the right. Reads RecChannel into `buffers`. GUI thread.
double ReadLevel(const SharedState& s, double f, bool fftFilter, LevelBuffers& buffers);
// The same level of the 1024 frames before recording frame index `end` (a read by index, which
// takes the same frames whenever it comes); nothing when the recording does not hold them all.
std::optional<double> ReadLevelBefore(const SharedState& s, double f, bool fftFilter,
                                      LevelBuffers& buffers, uint64_t end);

// The latest 1024 frames of the chosen channel correlated with what was played while they were
// recorded: with a calibrated latency the image samples at the frames' playback positions
// (from the position read right after the frames and how old they were then, or `played`
// samples when given: after the image has ended the position stands still), otherwise, or
// where those lie outside the image, a pure tone at f. A pure tone gives the same level as the FFT
// method. The phase is that of the recording against the reference, in degrees (-180 ... 180).
LockInWork::Result ReadLockInLevel(const SharedState& s, double f, LevelBuffers& buffers,
                                   double played = -1.0);
// The lock-in of the 1024 frames before recording frame index `end`, against the image samples
// heard in them when `frameLessSample` (recording frame index less the index of the image sample
// it holds) is given, otherwise a pure tone at f; nothing when the recording does not hold them.
std::optional<LockInWork::Result> ReadLockInLevelBefore(const SharedState& s, double f,
                                                        LevelBuffers& buffers, uint64_t end,
                                                        std::optional<double> frameLessSample);

}  // namespace sonarix
