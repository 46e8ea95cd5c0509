// How far a playback stream has played, from a sound server's reports, moving with the steady
// clock in between.
//
// A report says how many samples the server had taken from the stream, less its output latency,
// when it answered. It is never ahead of the truth but often behind: the server takes the
// samples a whole block at a time (PipeWire's blocks are 5 ... 21 ms) and the answer needs time
// to arrive. libpulse's own interpolation averages such reports with a rate it estimates from
// them and on PipeWire ran 0.3 % slow, 6 ms off by the end of a two-second sweep. Here every
// report gives the offset between the samples played and the steady clock at the nominal rate,
// and the largest offset of the last 400 ms, the least delayed report, is taken. Only at the
// start does a server take more than it plays (it fills its own buffers first): the reports of
// the first 100 ms are left out once there are later ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace audio {

class StreamClock {
public:
    explicit StreamClock(double rate) : m_perUs(rate / 1e6) {}

    void Reset() { m_count = 0; }
    // A report: `samples` played as of steady time `us` (microseconds).
    void Report(int64_t us, double samples);
    bool Known() const { return m_count > 0; }
    // Microseconds since the first report.
    int64_t Age(int64_t us) const { return us - m_firstUs; }
    // The samples played at steady time `us`, from the reports of the 400 ms before the newest.
    double At(int64_t us) const;

    static constexpr int64_t kWindowUs = 400000;
    static constexpr int64_t kSettleUs = 100000;

private:
    struct Tick {
        int64_t us;
        double offset;  // samples played less the steady clock's samples
    };
    double m_perUs;
    std::array<Tick, 128> m_ticks{};
    size_t m_count = 0;  // reports kept, the newest at m_next - 1
    size_t m_next = 0;
    int64_t m_firstUs = 0;
};

}  // namespace audio
