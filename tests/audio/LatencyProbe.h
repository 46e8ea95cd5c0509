// The position-recording probe: plays a burst after silence and times, on the steady clock,
// how long after the reported playback position passes the burst's start the burst's start
// came in the recording, polling every 0.1 ms: the moment it came is taken back from where it
// lies in the newest frames and how old they are (audio::RecordAge), so the recording's blocks
// do not count. Works on whatever backend the audio layer has installed.
#pragma once

#include <cstdint>
#include <vector>

namespace audio::test {

struct ProbeResult {
    std::vector<double> ms;  // one per run; runs that saw nothing are left out
    double mean = 0.0, min = 0.0, max = 0.0;
};

// `runs` bursts, mono recording handle `rec` (already started).
ProbeResult ProbeLatency(uint32_t rec, int runs);

}  // namespace audio::test
