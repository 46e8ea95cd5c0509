// Where the samples of one playback lie in the recording, so that a level is read from the
// frames that its sound produced, whenever the program gets to read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/audio/AudioTypes.h"

namespace sonarix {

// Frame index = image sample index + Offset(), for the sound current at a reading. Each reading
// takes the playback position and the frame index the recording has reached (audio::RecordNow)
// close together; the offset is their median, so that a reading the system held up, or a
// server's position report a block behind, moves nothing. The playback and the recording run
// on one clock, so the true offset stays while the playback runs uninterrupted, whereas the
// server's reports move by a sample or two as its blocks come, and more in its first few
// hundred ms: once the readings are Settled (64 of them over 0.4 s of playback), their median
// stands for the rest of the playback (a lock-in's phase would otherwise jump with it). A new
// position or a gap in the playback starts it anew. GUI thread; allocates only when made.
class PlaybackAlignment {
public:
    static constexpr std::size_t kKept = 2048;
    // The readings after which the offset stands: this many, over this many samples of the
    // playback.
    static constexpr std::size_t kSettled = 64;
    static constexpr double kSettledSpan = 17640.0;
    // A reading is taken only when the position moved by at most this many samples while it
    // was taken.
    static constexpr double kHeldUpSamples = 22.0;

    PlaybackAlignment();
    // Starts anew: readings count from the moment the position has moved past `fromSample`.
    void Reset(int64_t fromSample);
    // One reading of the playback `stream`, whose image holds `samples` samples. Taken only
    // while the position lies between the Reset's sample and the image's end.
    void Read(audio::Handle stream, int64_t samples);

    int Readings() const { return static_cast<int>(m_count); }
    bool Settled() const { return m_count >= kSettled && Span() >= kSettledSpan; }
    // Samples of playback that the readings span.
    double Span() const { return m_count == 0 ? 0.0 : m_lastSample - m_firstSample; }
    // Recording frame index less image sample index, for the sound current at the readings.
    double Offset();
    // How much further the recording had reached than the frames delivered, on average over
    // the readings (a sound server hands the frames over in blocks; 0 on the manual clock).
    double MeanAge() const;

private:
    std::vector<double> m_offsets;  // ring of the last kKept readings
    std::vector<double> m_ages;
    std::vector<double> m_scratch;
    std::size_t m_count = 0;
    int64_t m_from = 0;
    double m_firstSample = 0.0, m_lastSample = 0.0;
    double m_median = 0.0;
    bool m_fresh = false;   // m_median is up to date
    bool m_frozen = false;  // and stands for the rest of the playback
};

struct SharedState;
struct LevelBuffers;

// The sleep until `frames` more frames have been played or recorded (44100 a second), at least
// 1 us and at most 5 ms, so that readings keep coming meanwhile.
int64_t SleepForFrames(int64_t frames);

// The level of a steady tone that plays from the image (a playback just started): of the 1024
// frames that were the newest when the playback passed sample `readSample`, or with a calibrated
// latency of the frames recorded when that sample arrived; read by their index once they are in
// the recording, so that the wait may end late. The wait sleeps in steps of at most 5 ms and
// processes no messages; a gap in the playback plays the tone again from its start. Nothing when
// the playback ends before it reached `readSample`, or the frames do not come (the output or the
// recording was lost).
std::optional<double> ReadToneLevel(const SharedState& s, int64_t readSample, bool lockIn,
                                    bool fftFilter, LevelBuffers& buffers);

// The same read a piece at a time, for a window that runs it from its event loop: each
// Continue looks once and returns the microseconds after which to look again (0: at once), or
// -1 once it has ended, with Level().
class ToneLevelRead {
public:
    ToneLevelRead(const SharedState& s, int64_t readSample, bool lockIn, bool fftFilter);
    int64_t Continue(LevelBuffers& buffers);
    bool Done() const { return m_done; }
    const std::optional<double>& Level() const { return m_level; }

private:
    int64_t End(std::optional<double> level);

    const SharedState& m_state;
    int64_t m_readSample;
    bool m_lockIn, m_fftFilter;
    PlaybackAlignment m_alignment;
    uint64_t m_gaps;
    double m_reached;        // the recording's reach at the last look
    int64_t m_silentUs = 0;  // how long it has not moved
    int64_t m_sleptUs = 0;   // asked for since the last look
    bool m_done = false;
    std::optional<double> m_level;
};

}  // namespace sonarix
