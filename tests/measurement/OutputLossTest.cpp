// The sound output lost in the middle of a sweep and of a tone, on the virtual apparatus's
// manual clock: the engine ends in order, keeps what it measured and says what happened.
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "measurement/Playback.h"
#include "measurement/Sweep.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "tests/TestSupport.h"
#include "tests/measurement/ApparatusSetup.h"
#include "tests/measurement/FakeMeasureWindow.h"

namespace sonarix {
namespace {

class OutputLossTest : public testing::Test {
protected:
    void SetUp() override { test::InstallApparatus(context, *s, apparatus); }
    void TearDown() override { context.reset(); }

    test::MessageRecorder messages;
    std::optional<platform::ContextScope> context;
    std::unique_ptr<SharedState> s = std::make_unique<SharedState>();
    test::FakeMeasureWindow w;
    SweepEngine engine{*s, w};
    audio::VirtualApparatus* apparatus = nullptr;
};

TEST_F(OutputLossTest, ASweepEndsKeepingItsPointsAndSaysTheOutputWasLost) {
    w.fields = {"1000", "5000", "10", "20"};
    w.onMessages = [&] {
        if (w.messages == 150) apparatus->LoseOutput();
    };
    engine.Measure();
    EXPECT_EQ(s->SpecCount[0], 149);
    for (int i = 1; i <= 149; ++i) ASSERT_GT(s->SpecAmp[0][i], 0.0) << i;
    EXPECT_FALSE(Playing(*s));
    EXPECT_TRUE(w.measureShown);
    EXPECT_FALSE(engine.Running());
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], kOutputLostSweep);

    // The next "Measure" has no output: it ends at once with the same message, and the points
    // of the first stay where they are.
    w.onMessages = {};
    w.slot = 1;
    engine.Measure();
    EXPECT_EQ(s->SpecCount[1], 0);
    EXPECT_EQ(s->SpecCount[0], 149);
    ASSERT_EQ(messages.Messages().size(), 2u);
    EXPECT_EQ(messages.Messages()[1], kOutputLostSweep);
}

TEST_F(OutputLossTest, AStreamStoppedFromOutsideEndsTheSweepWithItsOwnMessage) {
    w.fields = {"1000", "5000", "10", "20"};
    w.onMessages = [&] {
        if (w.messages == 50) audio::ChannelStop(s->PlayStream);
    };
    engine.Measure();
    EXPECT_EQ(s->SpecCount[0], 49);
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], kOutputEndedSweep);
    // A sweep that runs to its end or is stopped says nothing.
    w.onMessages = [&] {
        if (w.messages == 80) engine.Stop();
    };
    engine.Measure();
    w.onMessages = {};
    engine.Measure();
    EXPECT_EQ(s->SpecCount[0], 400);
    EXPECT_EQ(messages.Messages().size(), 1u);
}

TEST_F(OutputLossTest, AToneEndsAndSaysSo) {
    w.onMessages = [&] {
        if (w.messages == 20) apparatus->LoseOutput();
    };
    ASSERT_TRUE(engine.PlayTone(1000.0));
    EXPECT_EQ(w.messages, 20);  // ended at once, not after 10 s
    EXPECT_TRUE(w.measureEnabled);
    EXPECT_FALSE(Playing(*s));
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], kOutputLostTone);
}

}  // namespace
}  // namespace sonarix
