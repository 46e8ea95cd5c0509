// The playback's place in the recording.
#include "measurement/PlaybackAlignment.h"

#include <algorithm>
#include <cmath>

#include "measurement/Playback.h"
#include "measurement/ReadLevel.h"
#include "measurement/SharedState.h"
#include "physics/SampleRate.h"
#include "platform/Clock.h"
#include "platform/audio/Audio.h"

namespace sonarix {

PlaybackAlignment::PlaybackAlignment() : m_offsets(kKept), m_ages(kKept), m_scratch(kKept) {}

void PlaybackAlignment::Reset(int64_t fromSample) {
    m_count = 0;
    m_from = fromSample;
    m_fresh = false;
    m_frozen = false;
}

void PlaybackAlignment::Read(audio::Handle stream, int64_t samples) {
    const uint64_t before = audio::ChannelGetPosition(stream);
    const uint64_t frames = audio::RecordFrames();
    const double now = audio::RecordNow();
    const uint64_t after = audio::ChannelGetPosition(stream);
    if (before == audio::kPositionFailed || after == audio::kPositionFailed || after < before) {
        return;
    }
    const double first = static_cast<double>(before) / 2.0;
    const double last = static_cast<double>(after) / 2.0;
    if (last - first > kHeldUpSamples) return;
    if (first <= static_cast<double>(m_from) || last >= static_cast<double>(samples)) return;
    if (m_frozen) return;  // the offset stands
    const double played = 0.5 * (first + last);
    const size_t slot = m_count % kKept;
    m_offsets[slot] = now - played;
    m_ages[slot] = now - static_cast<double>(frames);
    if (m_count == 0) m_firstSample = played;
    m_lastSample = played;
    ++m_count;
    m_fresh = false;
}

double PlaybackAlignment::Offset() {
    if (m_frozen || (m_fresh && !Settled()) || m_count == 0) return m_median;
    // Once settled, the median of the readings so far stands for the rest of the playback.
    m_frozen = Settled();
    const size_t n = std::min(m_count, kKept);
    std::copy(m_offsets.begin(), m_offsets.begin() + static_cast<std::ptrdiff_t>(n),
              m_scratch.begin());
    const auto middle = m_scratch.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(m_scratch.begin(), middle, m_scratch.begin() + static_cast<std::ptrdiff_t>(n));
    m_median = *middle;
    if (n % 2 == 0) {
        // The mean of the two middle readings: the lower one is the largest below the middle.
        m_median = 0.5 * (m_median + *std::max_element(m_scratch.begin(), middle));
    }
    m_fresh = true;
    return m_median;
}

double PlaybackAlignment::MeanAge() const {
    const size_t n = std::min(m_count, kKept);
    if (n == 0) return 0.0;
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) sum += m_ages[i];
    return sum / static_cast<double>(n);
}

int64_t SleepForFrames(int64_t frames) {
    return std::clamp<int64_t>(frames * 1000000 / kSampleRate + 1, 1, 5000);
}

ToneLevelRead::ToneLevelRead(const SharedState& s, int64_t readSample, bool lockIn, bool fftFilter)
    : m_state(s),
      m_readSample(readSample),
      m_lockIn(lockIn),
      m_fftFilter(fftFilter),
      m_gaps(audio::PlaybackGaps()),
      m_reached(audio::RecordNow()) {
    m_alignment.Reset(0);
}

int64_t ToneLevelRead::End(std::optional<double> level) {
    m_level = level;
    m_done = true;
    return -1;
}

int64_t ToneLevelRead::Continue(LevelBuffers& buffers) {
    constexpr int64_t kGiveUpUs = 2000000;  // nothing new recorded for 2 s
    if (m_done) return -1;
    const SharedState& s = m_state;
    if (m_sleptUs > 0) {
        const double now = audio::RecordNow();
        m_silentUs = now == m_reached ? m_silentUs + m_sleptUs : 0;
        m_reached = now;
        m_sleptUs = 0;
        if (m_silentUs >= kGiveUpUs) return End(std::nullopt);
    }
    const bool calibrated = s.Latency.valid;
    const bool playing = Playing(s);
    const auto pos = static_cast<int64_t>(audio::ChannelGetPosition(s.PlayStream) / 2);
    if (playing) m_alignment.Read(s.PlayStream, s.SampleCount);
    if (const uint64_t g = audio::PlaybackGaps(); g != m_gaps) {
        m_gaps = g;
        if (!playing) return End(std::nullopt);
        audio::ChannelSetPosition(s.PlayStream, 0);
        m_alignment.Reset(0);
        return 0;
    }
    if (!playing && pos < m_readSample) return End(std::nullopt);
    int64_t us = 5000;
    if (pos >= m_readSample || !playing) {
        if (m_alignment.Readings() == 0) return End(std::nullopt);
        // Frame index = sample + offset for the sound current at a reading; calibrated, the
        // sound of the sample arrives the latency later.
        const double shift = calibrated ? s.Latency.frameOffset : -m_alignment.MeanAge();
        const int64_t end = std::max<int64_t>(
            1, std::llround(static_cast<double>(m_readSample) + m_alignment.Offset() + shift));
        const auto have = static_cast<int64_t>(audio::RecordFrames());
        if (end <= have) {
            if (!m_lockIn) {
                return End(ReadLevelBefore(s, s.CurrentFreq, m_fftFilter, buffers,
                                           static_cast<uint64_t>(end)));
            }
            const auto heard =
                calibrated ? std::optional<double>(m_alignment.Offset() + shift) : std::nullopt;
            const auto r =
                ReadLockInLevelBefore(s, s.CurrentFreq, buffers, static_cast<uint64_t>(end), heard);
            return End(r.has_value() ? std::optional<double>(r->level) : std::nullopt);
        }
        us = SleepForFrames(end - have);
    } else {
        us = SleepForFrames(m_readSample - pos);
    }
    m_sleptUs = us;
    return us;
}

std::optional<double> ReadToneLevel(const SharedState& s, int64_t readSample, bool lockIn,
                                    bool fftFilter, LevelBuffers& buffers) {
    ToneLevelRead read(s, readSample, lockIn, fftFilter);
    for (int64_t us; (us = read.Continue(buffers)) >= 0;) {
        if (us > 0) platform::SleepMicroseconds(us);
    }
    return read.Level();
}

}  // namespace sonarix
