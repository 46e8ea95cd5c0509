// What a lab session builds up, as plain values: the four spectrum slots, the angle values,
// and the saved value of every registered part (the main window's fields and plot settings,
// the fit window's peaks and range, the calibrated latency, ...). The session file, the
// journal and the undo history all speak it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fitting/FitRun.h"
#include "measurement/SharedState.h"
#include "wavefunction/WaveFunction.h"

namespace sonarix {

// One slot of the store: points 1 ... count as entries 0 ... count - 1. The arrays may run on
// past count: the entries a shorter sweep or file left behind (the undo history keeps them, so
// that an undone action gives back the slot entry for entry; files and the journal do not).
struct SlotContent {
    int32_t count = 0;
    std::vector<double> freq, amp, phase;
    bool phased = false;
    uint32_t color = 0;
    bool operator==(const SlotContent&) const = default;
    size_t Bytes() const { return sizeof(double) * (freq.size() + amp.size() + phase.size()); }
};

// The slot as it is in the store; with leftovers, also the non-zero entries past its count.
SlotContent TakeSlot(const SharedState& s, int slot, bool leftovers);
// Puts the content into the slot; every entry past it becomes 0.0.
void PutSlot(SharedState& s, int slot, const SlotContent& content);

// The main window's fields and plot settings.
struct WindowSettings {
    std::string start = "100", stop = "10000", step = "10", time = "50";  // the sweep fields
    int currentSlot = 0;                                                  // "Current Spectrum"
    int display = 0;                                                      // "Display", 0 ... 3
    bool fftFilter = true;                                                // "FFT-Filter on"
    bool lockIn = false;                                                  // "Lock-in"
    int volume = 100;                                                     // the output slider
    std::string font;                                                     // QFont::toString()
    uint32_t fontColor = 0;
    int penWidth = 1;
    double fastSpacing = 1.0;  // the Measure menu's choices for "Fast Measure"
    int fastLength = 1;
    bool operator==(const WindowSettings&) const = default;
};

// The fit window's peaks and its range fields.
struct FitSession {
    PeakTable peaks;
    std::string from, to;
    bool operator==(const FitSession& o) const;
};

// The 19 angle values, the frequency they were measured at, and the spectra of a "Whole
// spectrum per angle" series (compared by pointer: a measured spectrum is never changed).
struct WaveState {
    WaveValues values{};
    double frequency = 1000.0;
    WaveSeries series{};
    bool operator==(const WaveState&) const = default;
};

struct SessionData {
    std::array<SlotContent, kSlots> spectra;
    WaveState wave;
    // The parts' values by key, each a JSON object on one line. A part the data lacks keeps
    // its value when the data is applied.
    std::map<std::string, std::string> parts;
    SessionData();
};

// Every double of both alike to the bit (NaN payloads and the sign of zero included; the
// parts' doubles are written so that equal bits give equal text).
bool SameBits(double a, double b);
bool SameBits(const SlotContent& a, const SlotContent& b);
bool SameBits(const WaveSeries& a, const WaveSeries& b);
bool SameBits(const SessionData& a, const SessionData& b);

}  // namespace sonarix
