// The position-recording probe: plays a burst after silence and times, on the steady clock,
// how long after the reported playback position passes the burst's start the burst's start
// came in the recording, polling every 0.1 ms: the moment it came is taken back from where it
// lies in the newest frames and how old they are (audio::RecordAge), so the recording's blocks
// do not count. A run whose crossing was not seen within 0.5 ms (the poll held up by a busy
// machine, or the reported position jumping ahead), or whose burst start may lie before the
// frames read, times the probe rather than the path: it is counted as disturbed and left out.
// Works on whatever backend the audio layer has installed.
#pragma once

#include <cstdint>
#include <vector>

namespace audio::test {

struct ProbeResult {
    std::vector<double> ms;  // one per clean run
    int disturbed = 0;       // runs left out as disturbed (those that saw nothing are not counted)
    double mean = 0.0, min = 0.0, max = 0.0;
};

// Bursts until `runs` clean runs, at most 3 x `runs`; mono recording handle `rec` (already
// started).
ProbeResult ProbeLatency(uint32_t rec, int runs);

}  // namespace audio::test
