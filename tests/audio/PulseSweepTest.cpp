// A whole sweep on the sound card backend against a private sound server whose null sink's
// monitor is the recording: what is recorded is the played chirp itself, so the measured
// response is flat. Run under scripts/with-sound-server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "measurement/Playback.h"
#include "measurement/Sweep.h"
#include "platform/audio/Audio.h"
#include "platform/audio/AudioBackend.h"
#include "platform/audio/AudioFactory.h"
#include "tests/TestSupport.h"
#include "tests/measurement/FakeMeasureWindow.h"

namespace sonarix {
namespace {

TEST(PulseSweep, ChirpThroughTheNullSinkMeasuresFlatWithoutLag) {
    ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run under scripts/with-sound-server";
    test::MessageRecorder messages;
    audio::UseBackend(audio::CreateSoundCardBackend());
    ASSERT_TRUE(audio::Init(-1, 44100, 0, nullptr, nullptr));
    ASSERT_TRUE(audio::RecordInit(-1));
    auto s = std::make_unique<SharedState>();
    StartRecording(*s);
    ASSERT_NE(s->RecChannel, 0u);
    test::FakeMeasureWindow w;
    w.fields = {"1000", "3000", "20", "20"};
    SweepEngine engine(*s, w);
    engine.Measure();
    EXPECT_TRUE(messages.Messages().empty());
    ASSERT_EQ(s->SpecCount[0], 100);
    std::vector<double> amps(s->SpecAmp[0].begin() + 1, s->SpecAmp[0].begin() + 101);
    std::vector<double> sorted = amps;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[50];
    // Amplitude 4000 at volume 50 over the seven bins: 100 x 0.5 x 4000 / 32768 x sqrt(1.5).
    EXPECT_NEAR(median, 7.47, 0.75);
    for (int i = 0; i < 100; ++i) {
        EXPECT_NEAR(amps[static_cast<size_t>(i)], median, 0.2 * median) << s->SpecFreq[0][i + 1];
    }
    EXPECT_EQ(engine.LastStats().lagEvents, 0);
    EXPECT_EQ(w.lagShows, 0);
    EXPECT_FALSE(Playing(*s));
    audio::Free();
    audio::UseBackend(nullptr);
}

}  // namespace
}  // namespace sonarix
