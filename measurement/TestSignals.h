// The two test signals, a linear sine sweep and a fixed tone, as WAV images in memory.
#pragma once

#include <cstdint>
#include <string_view>

#include "measurement/Notice.h"
#include "measurement/SharedState.h"
#include "physics/SampleRate.h"

namespace sonarix {

inline constexpr int64_t kLongestSignal = int64_t{3600} * kSampleRate;  // 3600 s
inline constexpr double kMostSweepSteps = 19999.0;
inline constexpr double kSampleAmplitude = 4000.0;
inline constexpr double kDt = 1.0 / kSampleRateHz;            // the double nearest 1/44100
inline constexpr long double kPiL = 0xc90fdaa22168c235p-62L;  // pi, 64-bit mantissa
inline constexpr long double kTwoPiL = 2.0L * kPiL;

inline constexpr const char* kSweepTooLong = "Sweep longer than an hour";
inline constexpr const char* kTooManyPoints = "Too many data points";
inline constexpr const char* kStepIsZero = "Step [Hz] must not be 0";
inline constexpr const char* kStopNotAboveStart = "Stop Frequency must be above Start Frequency";
inline constexpr double kHighestFrequency = kSampleRateHz / 2;  // half the sampling rate
inline constexpr const char* kStartNegative = "Start Frequency [Hz] must not be negative";
inline constexpr const char* kStopNegative = "Stop Frequency [Hz] must not be negative";
inline constexpr const char* kStepNotPositive = "Step [Hz] must be above 0";
inline constexpr const char* kTimeNotPositive = "Time per Step [ms] must be above 0";
inline constexpr const char* kStopAboveHalfRate =
    "Stop Frequency [Hz] must not be above 22050: the sound card plays at 44100 Hz, which "
    "holds frequencies up to half of that";
inline constexpr const char* kStepBeyondRange =
    "Step [Hz] must not be larger than the range from Start Frequency to Stop Frequency: the "
    "first point lies one step above the start";
inline constexpr const char* kNoSamples =
    "The sweep has no samples: Step and Time per Step must be above 0";
inline constexpr const char* kNegativeDuration = "The tone has no samples";

// Reads the four sweep fields (start, stop, step [Hz], time per step [ms]) through ReadNumber
// and, unless refused, stores them and SampleCount in the state and leaves the chirp in
// WavImage. A refusal tells its message (naming the field) to `out`, or shows it without one,
// sets StopRequested, leaves the parameters in force and WavImage untouched and returns false.
// Must not be called while PlayStream plays from WavImage.
bool MakeSweepWav(SharedState& s, std::string_view start, std::string_view stop,
                  std::string_view step, std::string_view time, Notices* out = nullptr);

// The first half of MakeSweepWav: reads the fields, computes SampleCount and decides the
// refusals (with their messages), without touching WavImage.
bool PlanSweep(SharedState& s, std::string_view start, std::string_view stop, std::string_view step,
               std::string_view time, Notices* out = nullptr);
// The second half: the chirp of the planned sweep into WavImage. Only after PlanSweep
// succeeded, and not while PlayStream plays from WavImage.
void WriteSweep(SharedState& s);

// The tone at CurrentFreq for duration seconds; refusals as for the sweep.
bool MakeToneWav(SharedState& s, double duration, Notices* out = nullptr);

// Round(sin(x) * 4000.0) with the sine and the product in extended precision, ties to even.
int16_t ExactSample(long double x);

// Writes samples k = 1 ... n of the signal whose angular frequency starts at omega and grows
// by dOmega before each sample: omega += dOmega; out = Round(sin(omega * t) * 4000); t += kDt,
// omega and t accumulated in double as written, the product and the sine in extended
// precision. Gives the same samples as that sequential loop, but reduces the argument exactly
// and uses a fast sine, falling back to ExactSample where the result lies within 1e-8 of a
// rounding boundary; large signals are split over threads.
void SynthesizeChirp(int16_t* out, int64_t n, double omega, double dOmega);

}  // namespace sonarix
