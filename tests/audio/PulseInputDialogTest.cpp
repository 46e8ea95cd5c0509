// The "Input" dialog on the real sound backend, against the private sound server.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QSlider>
#include <cstdlib>

#include "config/InputSwitching.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/AudioBackend.h"
#include "platform/audio/AudioFactory.h"
#include "ui/config/InputDialog.h"

namespace sonarix {
namespace {

TEST(PulseInputDialog, ListsSwitchesAndSetsTheLevelOfTheServersInputs) {
    ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run under scripts/with-sound-server";
    const platform::ContextScope context(audio::CreateSoundCardBackend());
    ASSERT_TRUE(audio::Init(-1, 44100, 0, nullptr, nullptr));
    ASSERT_TRUE(audio::RecordInit(-1));
    const InputList inputs = ListInputs();
    ASSERT_GE(inputs.names.size(), 1u);
    InputDialog d;
    d.FillInputs(inputs);
    EXPECT_EQ(d.InputBox->count(), static_cast<int>(inputs.names.size()));
    d.InputBox->setCurrentIndex(0);
    d.OnInputChosen();
    int on = 0;
    for (int n = 0; n < d.InputBox->count(); ++n) {
        on += (audio::RecordGetInput(n) & audio::kInputOff) == 0 ? 1 : 0;
    }
    EXPECT_EQ(on, 1);  // exactly the selected input
    audio::RecordSetInput(0, audio::kInputLevel | 30);
    d.ShowInputState();
    EXPECT_EQ(d.VolumeSlider->value(), 70);
    d.VolumeSlider->setValue(0);
    EXPECT_EQ(audio::RecordGetInput(0) & 0xFFFF, 100u);
    EXPECT_FALSE(d.InputKindLabel->text().isEmpty());
    audio::Free();
}

}  // namespace
}  // namespace sonarix
