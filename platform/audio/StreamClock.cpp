// A playback stream's position from a sound server's reports.
#include "platform/audio/StreamClock.h"

#include <algorithm>

namespace audio {

void StreamClock::Report(int64_t us, double samples) {
    if (m_count == 0) m_firstUs = us;
    m_ticks[m_next] = {us, samples - static_cast<double>(us) * m_perUs};
    m_next = (m_next + 1) % m_ticks.size();
    m_count = std::min(m_count + 1, m_ticks.size());
}

double StreamClock::At(int64_t us) const {
    if (m_count == 0) return 0.0;
    const Tick& newest = m_ticks[(m_next + m_ticks.size() - 1) % m_ticks.size()];
    // The first reports only while there are no others: a server fills its own buffers first
    // and takes more at the start than it plays.
    const bool settled = newest.us - m_firstUs >= kSettleUs;
    double offset = newest.offset;
    for (size_t i = 1; i < m_count; ++i) {
        const Tick& t = m_ticks[(m_next + m_ticks.size() - 1 - i) % m_ticks.size()];
        if (newest.us - t.us > kWindowUs || (settled && t.us - m_firstUs < kSettleUs)) break;
        offset = std::max(offset, t.offset);
    }
    return offset + static_cast<double>(us) * m_perUs;
}

}  // namespace audio
