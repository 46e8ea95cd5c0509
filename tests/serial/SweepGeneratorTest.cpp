// The sweep and the tone with a function generator on a pseudo-terminal: what goes down the
// line and when, and a generator that is absent or goes away.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "measurement/GeneratorLink.h"
#include "measurement/Playback.h"
#include "measurement/Sweep.h"
#include "platform/serial/PortDevices.h"
#include "platform/serial/TApdComPort.h"
#include "tests/ProgramFixture.h"
#include "tests/measurement/FakeMeasureWindow.h"
#include "tests/serial/PtyGenerator.h"

namespace sonarix {
namespace {

class SweepGeneratorTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override {
        MapPorts();
        ASSERT_NO_FATAL_FAILURE(Start());
        w.fields = {"100", "300", "10", "20"};
    }
    // The commands of steps 1 ... n of the sweep.
    static std::string Commands(int n) {
        std::string all;
        for (int i = 1; i <= n; ++i) all += FrequencyCommand(100.0 + 10.0 * i);
        return all;
    }

    test::FakeMeasureWindow w;
    std::unique_ptr<SweepEngine> engine;
    SweepEngine& Engine() {
        if (!engine) engine = std::make_unique<SweepEngine>(*p.state, w);
        return *engine;
    }
};

TEST_F(SweepGeneratorTest, InitialisationThenOneCommandPerPointEachSentBeforeItsLevel) {
    test::PtyGenerator generator;
    devices[1] = generator.Device();
    p.state->SerialPortNr = 1;
    const std::string init = kGeneratorInit;
    int mismatches = 0;
    w.onRedraw = [&] {
        // The step's point has just been stored: its command is complete on the line, the next
        // one not yet sent.
        const int n = p.state->SpecCount[0];
        const std::string expected = init + Commands(n);
        if (generator.WaitFor(expected.size(), std::chrono::seconds(2)) != expected) ++mismatches;
    };
    Engine().Measure();
    EXPECT_TRUE(messages.Messages().empty());
    ASSERT_EQ(p.state->SpecCount[0], 20);
    EXPECT_EQ(mismatches, 0);
    const std::string all = generator.WaitFor(init.size() + Commands(20).size());
    EXPECT_EQ(all, init + Commands(20));
    EXPECT_EQ(all.substr(init.size(), 17), "FRQ: 110.0000000\r");
}

TEST_F(SweepGeneratorTest, AnAbsentPortIsSaidOnceAndTheSweepRunsOnTheSoundCard) {
    p.state->SerialPortNr = 3;  // nothing there
    Engine().Measure();
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], "Seriel port not available");
    EXPECT_EQ(p.state->SpecCount[0], 20);
    EXPECT_TRUE(w.measureShown);
    EXPECT_FALSE(Playing(*p.state));
}

TEST_F(SweepGeneratorTest, AGeneratorUnpluggedDuringTheSweepIsSaidOnceAndNothingIsLost) {
    auto generator = std::make_unique<test::PtyGenerator>();
    devices[1] = generator->Device();
    p.state->SerialPortNr = 1;
    w.onMessages = [&] {
        if (w.messages == 5) generator.reset();
    };
    Engine().Measure();
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_NE(messages.Messages()[0].find("went on without the generator"), std::string::npos)
        << messages.Messages()[0];
    EXPECT_EQ(p.state->SpecCount[0], 20);
    EXPECT_TRUE(w.measureShown);
    EXPECT_FALSE(Playing(*p.state));
}

TEST_F(SweepGeneratorTest, TheToneSetsTheGeneratorWithoutInitialisation) {
    test::PtyGenerator generator;
    devices[1] = generator.Device();
    p.state->SerialPortNr = 1;
    p.state->SerialPort->ComNumber = 1;
    EXPECT_TRUE(Engine().PlayTone(440.0));
    EXPECT_EQ(generator.WaitFor(17), "FRQ: 440.0000000\r");
    EXPECT_TRUE(messages.Messages().empty());
    EXPECT_EQ(p.state->SampleCount, 441000);
}

TEST_F(SweepGeneratorTest, ToneWithAnAbsentPortPlaysAndEnablesMeasureAgain) {
    p.state->SerialPortNr = 3;
    p.state->SerialPort->ComNumber = 3;
    EXPECT_TRUE(Engine().PlayTone(440.0));
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_NE(messages.Messages()[0].find("COM3"), std::string::npos) << messages.Messages()[0];
    EXPECT_TRUE(w.measureEnabled);
    EXPECT_EQ(p.state->SampleCount, 441000);  // the tone played all the same
    EXPECT_FALSE(Playing(*p.state));
}

}  // namespace
}  // namespace sonarix
