// The wave function of a resonance: its amplitude at the 19 hemisphere angles 0 ... 180
// degrees, measured one press at a time ("Measure value"), the polar angle of the normal view,
// and the data files. No widgets: the window is driven through AngleWindow.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "measurement/FastSweep.h"
#include "measurement/SharedState.h"
#include "physics/SampleRate.h"

namespace sonarix {

inline constexpr int kAngles = 19;  // 0, 10, ... 180 degrees
using WaveValues = std::array<double, kAngles>;

// The polar angle theta (radians) of hemisphere angle alpha (degrees): pi from 180 on,
// otherwise pi/2 - arctan(h / sqrt(1 - h^2)) with h = 0.5 cos(alpha) - 0.5, so that
// cos(theta) = (cos(alpha) - 1) / 2.
double PolarAngle(double alphaDegrees);

// The figure of the polar plot on a panel of w x h pixels: the centre, the frame radius R,
// the spoke length L, and the polygon's points (36 in the lifted view, 73 in the normal one).
// A point at polar angle phi (clockwise from up) and distance r is (xc + Round(r sin phi),
// yc - Round(r cos phi)), rounded before the centre is added, so mirrored points are exactly
// symmetric; coordinates are clamped to +-2^20 for values that leave the picture.
struct PolarFigure {
    int xc = 0, yc = 0, R = 0, L = 0;
    double scale = 0.0;  // pixels per amplitude unit
    int count = 0;
    std::array<int, 73> x{}, y{};
    uint32_t fill = 0;  // green lifted, blue normal (0x00BBGGRR)
};
PolarFigure MakePolarFigure(const WaveValues& values, int w, int h, bool lifted, bool symmetric);

// What the angle measurement needs of its window (GUI thread).
class AngleWindow {
public:
    virtual ~AngleWindow() = default;
    virtual int SelectedAngle() const = 0;  // 0 ... 18
    virtual void SelectAngle(int index) = 0;
    virtual bool FftFilterOn() const = 0;    // the main window's "FFT-Filter on"
    virtual bool LockInOn() const = 0;       // the main window's "Lock-in"
    virtual int VolumePosition() const = 0;  // the main window's volume slider
    // About to measure angle `index` (the virtual apparatus can turn its hemisphere there).
    virtual void AboutToMeasure(int index) = 0;
    virtual void Redraw() = 0;
    virtual void ShowSaturation(bool shown) = 0;
    // Between the pieces of MeasureValue's and MeasureSpectrumValue's loops (tests), where such
    // a window processes its messages; a window that runs AngleRun from its own event loop is
    // never called here.
    virtual void ProcessMessages() {}
    // A fast measurement's progress (fraction 0 ... 1; a negative fraction: it has ended).
    virtual void ShowFastProgress(double fraction, double secondsLeft) {
        (void)fraction;
        (void)secondsLeft;
    }
    // What the user is to be told: a refused tone, an output lost, frames lost; the window
    // decides how.
    virtual void Report(const Notice& notice) = 0;
};

// "Measure value": unless a playback is active, a 1 s tone at CurrentFreq, 500 ms of waiting
// (without processing messages), the level of the frames recorded then, read by their index
// (ReadToneLevel; with "Lock-in" phase-locked), 100 x level stored
// at the selected angle, the redraw, the next angle selected (up to 180), and "Saturation" for 500
// ms above 1.0. A tone that no longer plays when the level is to be read (the output was lost)
// stores nothing and says so. Returns false when the press was ignored or the tone refused.
bool MeasureValue(SharedState& s, WaveValues& values, AngleWindow& w);

// The tone's sample 500 ms in: the level is that of the frames recorded when it played.
inline constexpr int64_t kAngleReadSample = kSampleRate / 2;
inline constexpr const char* kOutputLostAngle =
    "The sound output was lost (the sound server stopped or the sound card was unplugged): no "
    "value was measured. Start the program again to measure.";

// "Whole spectrum per angle": one fast spectrum per angle; none where nothing was measured.
// Shared and never changed once made, so that undo steps and sessions copy pointers only.
using WaveSeries = std::array<std::shared_ptr<const FastSpectrum>, kAngles>;

// The angle values measured so far and the spectra of a series: measured data, held by the
// program and shared by the wave-function window and the session.
struct AngleData {
    WaveValues values{};
    WaveSeries series{};
};

// What one angle's measurement found.
struct AngleValue {
    int angle = 0;          // 0 ... 18
    bool measured = false;  // nothing to store otherwise (its message has been shown)
    double value = 0.0;     // the angle's new value
    bool saturated = false;
    std::shared_ptr<const FastSpectrum> spectrum;  // "Whole spectrum per angle"
};

// "Measure value" a piece at a time, for a window that runs it from its event loop. Start
// begins the tone of MeasureValue, StartSpectrum the fast measurement of MeasureSpectrumValue
// (false: the press was ignored or refused; nothing runs); each Continue does what is due and
// returns the microseconds after which to call it again (0: at once), or -1 once it has
// ended, with Result(). The window stores the value (StoreAngleValue) and shows the saturation.
// The angle measurement is the running operation from Start to the end.
class AngleRun {
public:
    AngleRun(SharedState& s, AngleWindow& w);
    ~AngleRun();
    bool Start();
    bool StartSpectrum(const FastPlan& plan, double frequency);
    int64_t Continue();
    bool Running() const;
    // A 20 ms round of a fast measurement's recording is about to begin.
    bool RoundBegins() const;
    const AngleValue& Result() const { return m_result; }

private:
    struct Impl;
    // The press taken (nothing plays, no other operation): the angle chosen and announced.
    bool Begin();
    int64_t End();

    SharedState& m_state;
    AngleWindow& m_window;
    std::unique_ptr<Impl> m;
    AngleValue m_result;
};

// The value into `values` (and its spectrum into `series`, if given), the redraw and the next
// angle selected (up to 180). Nothing when nothing was measured.
void StoreAngleValue(const AngleValue& v, WaveValues& values, WaveSeries* series, AngleWindow& w);

// The amplitude of a spectrum at f: linear between its points, 0 outside them.
double AmplitudeAt(const FastSpectrum& spectrum, double f);
// Each angle's amplitude at f, 0 where no spectrum was measured.
void ValuesAt(const WaveSeries& series, double f, WaveValues& values);

// "Measure value" with "Whole spectrum per angle": unless a playback is active, the hemisphere
// turned to the selected angle, a fast measurement over `plan` at the window's volume, its
// spectrum kept at that angle and its amplitude at `frequency` stored as the angle's value,
// the redraw and the next angle selected; "Saturation" for 500 ms when the recording reached
// full scale. A measurement that failed (its message shown) stores nothing. Returns false
// when the press was ignored.
bool MeasureSpectrumValue(SharedState& s, const FastPlan& plan, double frequency,
                          WaveValues& values, WaveSeries& series, AngleWindow& w);

// "Clear": all values 0.0.
void ClearValues(WaveValues& values);

// The data file: per angle "theta value" with 1 and 3 decimals, CR LF.
std::string WaveLines(const WaveValues& values);
// Reads the 19 values by line position (the first number of a line is skipped); missing
// lines give 0.0. Returns 0, or the I/O error code, in which case `values` is unchanged and
// `reason` (if given) says why in plain English.
int ReadWaveFile(const std::string& path, WaveValues& values, std::string* reason = nullptr);
// The same from an open file.
int ReadWaveValues(std::FILE* f, WaveValues& values, std::string* reason = nullptr);

}  // namespace sonarix
