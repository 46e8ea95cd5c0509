// The "Input" and "Configure Sound Card" dialogs and the two live microphone views.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <cmath>

#include "config/InputSwitching.h"
#include "measurement/Playback.h"
#include "measurement/TestSignals.h"
#include "platform/audio/Audio.h"
#include "plot/Canvas.h"
#include "plot/Controls.h"
#include "tests/ProgramFixture.h"
#include "ui/config/InputDialog.h"
#include "ui/config/SoundCardDialog.h"
#include "ui/main/LiveViews.h"
#include "ui/main/MainWindow.h"

namespace sonarix {
namespace {

// The apparatus with a state query that can be made to fail.
class QueryFailing : public audio::VirtualApparatus {
public:
    QueryFailing() : VirtualApparatus(Clock::Manual) {}
    bool fail = false;
    uint32_t RecordGetInput(int input) override {
        return fail ? audio::kInputFailed : VirtualApparatus::RecordGetInput(input);
    }
};

class SoundInputTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override {
        auto b = std::make_unique<QueryFailing>();
        failing = b.get();
        ASSERT_NO_FATAL_FAILURE(Start(std::move(b)));
    }
    QRgb Pixel(LiveView& v, int x, int y) { return v.PlotImage->Picture.pixel(x, y); }
    // A 1 kHz tone playing for 200 ms.
    void s_Tone() {
        p.state->CurrentFreq = 1000.0;
        ASSERT_TRUE(MakeToneWav(*p.state, 1.0));
        StartPlayback(*p.state, 100);
        apparatus->AdvanceMs(200);
    }
    QueryFailing* failing = nullptr;
};

TEST(InputKinds, TextsOfTheKinds) {
    EXPECT_STREQ(InputKindText(0x03000000), "Microphone");
    EXPECT_STREQ(InputKindText(0x02000032), "Line-In");
    EXPECT_STREQ(InputKindText(0x0A000000), "Analog");
    EXPECT_STREQ(InputKindText(0x0B000000), "Undefined");
    EXPECT_STREQ(InputKindText(0x80000000), "Undefined");
    EXPECT_STREQ(InputKindText(0), "Undefined");
}

TEST_F(SoundInputTest, TheInputDialogListsSwitchesAndSetsTheLevel) {
    InputDialog& d = *p.inputDialog;
    ASSERT_EQ(d.InputBox->count(), 1);
    EXPECT_EQ(d.InputBox->itemText(0), "Virtual microphone");
    EXPECT_EQ(d.InputBox->currentIndex(), 0);
    EXPECT_EQ(d.InputKindLabel->text(), "Microphone");
    EXPECT_EQ(d.InputKindLabel->x() + d.InputKindLabel->width() / 2, 100);
    EXPECT_EQ(audio::RecordGetInput(0) & audio::kInputOff, 0u);  // the one input is on
    audio::RecordSetInput(0, audio::kInputLevel | 30);
    d.ShowInputState();
    EXPECT_EQ(d.VolumeSlider->value(), 70);
    d.VolumeSlider->setValue(0);  // the top: the loudest
    EXPECT_EQ(audio::RecordGetInput(0) & 0xFFFF, 100u);
    audio::RecordSetInput(0, audio::kInputOff);
    d.OnInputChosen();
    EXPECT_EQ(audio::RecordGetInput(0) & audio::kInputOff, 0u);
    failing->fail = true;
    d.VolumeSlider->setValue(40);
    d.ShowInputState();
    EXPECT_EQ(d.VolumeSlider->value(), 0);
    EXPECT_EQ(d.InputKindLabel->text(), "Undefined");
    f->SelectInputChannel->trigger();
    EXPECT_TRUE(d.isVisible());  // beside the main window, not modal
    d.OkButton->click();
    EXPECT_FALSE(d.isVisible());
}

// The input list is a list to choose from: typed text and Return add no input and switch no
// input off. The level slider's Up key, Page Up and the wheel turn the level up.
TEST_F(SoundInputTest, TheInputDialogTakesNoTypedInputAndItsKeysGoTheRightWay) {
    InputDialog& d = *p.inputDialog;
    f->SelectInputChannel->trigger();
    Activate(&d);
    const int inputs = d.InputBox->count();
    const int selected = d.InputBox->currentIndex();
    d.InputBox->setFocus();
    QTest::keyClicks(d.InputBox, "Bogus");
    Key(&d, Qt::Key_Return);
    EXPECT_EQ(d.InputBox->count(), inputs);
    EXPECT_EQ(d.InputBox->currentIndex(), selected);
    EXPECT_EQ(audio::RecordGetInput(selected) & audio::kInputOff, 0u);  // still on

    auto level = [] { return static_cast<int>(audio::RecordGetInput(0) & 0xFFFF); };
    d.show();
    d.VolumeSlider->setValue(50);
    d.VolumeSlider->setFocus();
    Key(&d, Qt::Key_Up);
    EXPECT_EQ(level(), 51);
    Key(&d, Qt::Key_PageUp);
    EXPECT_GT(level(), 51);
    const int before = level();
    QWheelEvent up(QPointF(10, 10), d.VolumeSlider->mapToGlobal(QPointF(10, 10)), QPoint(),
                   QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(d.VolumeSlider, &up);
    EXPECT_GT(level(), before);
    Key(&d, Qt::Key_Down);
    EXPECT_LT(level(), 100);
    d.hide();
}

TEST_F(SoundInputTest, MonoStereoRestartsTheRecordingWhicheverWayTheDialogCloses) {
    SoundCardDialog& d = *p.soundCardDialog;
    EXPECT_FALSE(d.InputChannelGroup->isEnabled());
    d.StereoCheck->click();
    EXPECT_TRUE(d.InputChannelGroup->isEnabled());
    d.InputChannelGroup->SetItemIndex(1);
    // Closed by its close box: the choice still applies.
    QTimer::singleShot(0, [&] { d.close(); });
    f->ConfigureSoundCard->trigger();
    EXPECT_TRUE(p.state->StereoInput);
    EXPECT_FALSE(p.state->LeftChannel);
    EXPECT_NE(p.state->RecChannel, 0u);
    // Stereo with "right": both views show the right channel, the looped-back drive.
    s_Tone();
    p.liveSpectrum->show();
    p.liveWaveform->show();
    f->RefreshLiveSpectrum();
    f->RefreshLiveWaveform();
    EXPECT_EQ(p.liveSpectrum->RefreshCount(), 1);
    EXPECT_EQ(p.liveWaveform->RefreshCount(), 1);
    // Unchecking greys the group out and keeps its selection.
    d.StereoCheck->click();
    EXPECT_FALSE(d.InputChannelGroup->isEnabled());
    EXPECT_EQ(d.InputChannelGroup->ItemIndex(), 1);
    QTimer::singleShot(0, [&] { d.OkButton->click(); });
    f->ConfigureSoundCardExecute();
    EXPECT_FALSE(p.state->StereoInput);
    EXPECT_FALSE(p.state->LeftChannel);
    EXPECT_EQ(d.result(), 1);
}

TEST_F(SoundInputTest, LiveFftFrameBandAndLabels) {
    LiveSpectrumWindow& v = *p.liveSpectrum;
    v.resize(602, 208);
    const int W = v.PlotPanel->width();
    ASSERT_EQ(W, 602);
    ASSERT_EQ(v.PlotPanel->height(), 208);
    f->FftFilterCheck->setChecked(false);
    v.Refresh();
    EXPECT_EQ(Pixel(v, 100, 50), 0xFFFFFFFFu);  // white frame, no band
    EXPECT_EQ(Pixel(v, 15, 50), 0xFF000000u);
    EXPECT_EQ(Pixel(v, W - 20, 50), 0xFF000000u);
    f->FftFilterCheck->setChecked(true);
    p.state->CurrentFreq = 1000.0;  // bin 23: the band runs over bins 20 ... 26
    v.Refresh();
    auto x = [&](int bin) {
        return static_cast<int>(std::nearbyint((W - 35) * bin / 1024.0 * 44100.0 / 20000.0)) + 15;
    };
    EXPECT_EQ(Pixel(v, x(20) - 1, 50), ToQRgb(0xDCDCDC));
    EXPECT_EQ(Pixel(v, x(20), 50), 0xFFFFFFFFu);
    EXPECT_EQ(Pixel(v, x(26) - 1, 50), 0xFFFFFFFFu);
    EXPECT_EQ(Pixel(v, x(26), 50), ToQRgb(0xDCDCDC));
    // Below 151 Hz the band reaches the left frame line, which is drawn again.
    p.state->CurrentFreq = 100.0;
    v.Refresh();
    EXPECT_EQ(Pixel(v, 15, 50), 0xFF000000u);
    EXPECT_EQ(Pixel(v, 16, 50), 0xFFFFFFFFu);
}

TEST_F(SoundInputTest, SilenceIsAFlatLineAndATonePeaksAtItsBin) {
    LiveSpectrumWindow& fft = *p.liveSpectrum;
    LiveWaveformWindow& wave = *p.liveWaveform;
    p.state->RecChannel = 0;  // no recording: the buffers stay zero
    fft.Refresh();
    wave.Refresh();
    const int W = fft.PlotPanel->width(), H = fft.PlotPanel->height();
    EXPECT_EQ(fft.PlotImage->Picture.pixel(W / 2, H - 33), ToQRgb(0x0000FF));
    EXPECT_EQ(wave.PlotImage->Picture.pixel(W / 2, (H - 43) / 2 + 10), ToQRgb(0x0000FF));
    StartRecording(*p.state);
    s_Tone();
    fft.Refresh();
    // The highest red pixel lies above the bin of 1 kHz.
    int topX = -1, topY = H;
    for (int y = 0; y < H && topX < 0; ++y) {
        for (int xx = 15; xx <= W - 20; ++xx) {
            if (fft.PlotImage->Picture.pixel(xx, y) == ToQRgb(0x0000FF)) {
                topX = xx;
                topY = y;
                break;
            }
        }
    }
    const int expected =
        static_cast<int>(std::nearbyint((W - 35) * 23 / 1024.0 * 44100.0 / 20000.0)) + 15;
    EXPECT_NEAR(topX, expected, 2);
    EXPECT_LT(topY, 30);
}

TEST_F(SoundInputTest, TheTimersDrawOnlyWhileTheViewsAreShown) {
    EXPECT_TRUE(f->LiveSpectrumTimer->isActive());
    EXPECT_TRUE(f->LiveWaveformTimer->isActive());
    EXPECT_EQ(f->LiveSpectrumTimer->interval(), 200);
    f->RefreshLiveSpectrum();
    f->RefreshLiveWaveform();
    EXPECT_EQ(p.liveSpectrum->RefreshCount(), 0);
    EXPECT_EQ(p.liveWaveform->RefreshCount(), 0);
    f->LiveFftOn->trigger();
    f->LiveWaveOn->trigger();
    f->RefreshLiveSpectrum();
    f->RefreshLiveWaveform();
    EXPECT_EQ(p.liveSpectrum->RefreshCount(), 1);
    EXPECT_EQ(p.liveWaveform->RefreshCount(), 1);
    p.liveSpectrum->hide();
    f->RefreshLiveSpectrum();
    EXPECT_EQ(p.liveSpectrum->RefreshCount(), 1);
}

// On the real-time clock: the views keep refreshing between the steps of a sweep.
class LiveViewsDuringASweep : public test::ProgramOnApparatus {};

TEST_F(LiveViewsDuringASweep, RefreshBetweenSteps) {
    ASSERT_NO_FATAL_FAILURE(
        Start(std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::RealTime)));
    f->LiveFftOn->trigger();
    f->LiveWaveOn->trigger();
    f->StartFrequencyEdit->setText("1000");
    f->StopFrequencyEdit->setText("1600");
    f->StepEdit->setText("10");
    f->TimePerStepEdit->setText("20");  // 1.2 s
    f->OnMeasureClicked();
    test::FinishSweep(*f);
    EXPECT_EQ(p.state->SpecCount[0], 60);
    EXPECT_GE(p.liveSpectrum->RefreshCount(), 3);
    EXPECT_GE(p.liveWaveform->RefreshCount(), 3);
}

}  // namespace
}  // namespace sonarix
