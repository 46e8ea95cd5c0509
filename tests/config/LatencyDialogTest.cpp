// "Calibrate Latency" in the program: the menu item, the dialog on the virtual apparatus, the
// main window's lag-area tooltip, and the "Lock-in" check box beneath "FFT-Filter on".
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "measurement/Latency.h"
#include "platform/audio/Audio.h"
#include "tests/ProgramFixture.h"
#include "ui/config/LatencyDialog.h"
#include "ui/config/VirtualApparatusWindow.h"
#include "ui/main/MainWindow.h"
#include "ui/wave/WaveFunctionWindow.h"

namespace sonarix {
namespace {

class LatencyDialogTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Start()); }
    LatencyDialog& Dialog() { return *p.latencyDialog; }
};

TEST_F(LatencyDialogTest, TheMenuItemOpensTheDialogAndTheTooltipTellsTheResult) {
    QMenu* configure = nullptr;
    for (QAction* a : f->menuBar()->actions()) {
        if (a->text().remove(QLatin1Char('&')) == QStringLiteral("Configure"))
            configure = a->menu();
    }
    ASSERT_NE(configure, nullptr);
    ASSERT_FALSE(configure->actions().isEmpty());
    EXPECT_TRUE(configure->actions().contains(f->CalibrateLatency));
    EXPECT_EQ(f->CalibrateLatency->text().remove(QLatin1Char('&')),
              QStringLiteral("Calibrate Latency"));
    EXPECT_TRUE(f->CalibrateLatency->isEnabled());
    ASSERT_TRUE(f->OpenLatencyDialog);
    int opened = 0;
    f->OpenLatencyDialog = [&] { ++opened; };
    f->CalibrateLatency->trigger();
    EXPECT_EQ(opened, 1);

    EXPECT_TRUE(f->LagArea->toolTip().contains(QStringLiteral("not calibrated")));
    EXPECT_TRUE(Dialog().ResultLabel->text().startsWith(QStringLiteral("Not calibrated")));
    EXPECT_TRUE(Dialog().InstructionsLabel->text().contains(QStringLiteral("loopback")));

    apparatus->SetLatency(1000);  // 22.68 ms
    Dialog().CalibrateButton->click();
    test::RunWhile([&] { return Dialog().Running(); });
    ASSERT_TRUE(p.state->Latency.valid) << Dialog().LastOutcome().message;
    EXPECT_NEAR(p.state->Latency.samples / 44.1, 1000 / 44.1, 0.5);
    const QString ms = QString::number(p.state->Latency.samples / 44.1, 'f', 2);
    EXPECT_TRUE(Dialog().ResultLabel->text().startsWith(QStringLiteral("Latency: ") + ms + " ms"))
        << Dialog().ResultLabel->text().toStdString();
    EXPECT_TRUE(Dialog().ResultLabel->text().contains(QStringLiteral("48 of 48 readings")));
    // Through the sphere its resonances placed the arrival, and the dialog says so.
    EXPECT_TRUE(Dialog().LastOutcome().modal.found);
    EXPECT_TRUE(
        Dialog().ResultLabel->text().endsWith(QStringLiteral("; the arrival from %1 resonances.")
                                                  .arg(Dialog().LastOutcome().modal.resonances)))
        << Dialog().ResultLabel->text().toStdString();
    EXPECT_TRUE(Dialog().CalibrateButton->isEnabled());
    EXPECT_TRUE(Dialog().CloseButton->isEnabled());
    EXPECT_TRUE(f->LagArea->toolTip().startsWith(QStringLiteral("Latency: ") + ms + " ms"));
    EXPECT_TRUE(
        f->LagArea->toolTip().endsWith(QStringLiteral("each step of a sweep waits for it.")));
    EXPECT_EQ(f->LagIndicator->toolTip(), f->LagArea->toolTip());
    EXPECT_TRUE(messages.Messages().empty());
}

// Escape and the close box during the calibration leave the dialog open: it plays its signal
// to the end and shows the result.
TEST_F(LatencyDialogTest, EscapeDuringTheCalibrationLeavesTheDialogOpen) {
    bool visibleAfterEscape = false, visibleAtTheEnd = false;
    QTimer::singleShot(0, &Dialog(), [&] {
        Activate(&Dialog());
        AtRound(5, [&] {
            Key(&Dialog(), Qt::Key_Escape);
            Dialog().close();
            visibleAfterEscape = Dialog().isVisible();
        });
        QTest::mouseClick(Dialog().CalibrateButton, Qt::LeftButton);
        test::RunWhile([&] { return Dialog().Running(); });
        visibleAtTheEnd = Dialog().isVisible();
        Key(&Dialog(), Qt::Key_Escape);  // now it closes
    });
    f->CalibrateLatency->trigger();
    EXPECT_TRUE(visibleAfterEscape);
    EXPECT_TRUE(visibleAtTheEnd);
    EXPECT_TRUE(Dialog().LastOutcome().found);
    EXPECT_FALSE(Dialog().isVisible());
    EXPECT_EQ(p.state->Running, Operation::None);
}

TEST_F(LatencyDialogTest, AFailedAttemptIsShownAndKeepsTheResult) {
    Dialog().CalibrateButton->click();
    test::RunWhile([&] { return Dialog().Running(); });
    ASSERT_TRUE(p.state->Latency.valid);
    const QString tip = f->LagArea->toolTip();
    const double kept = p.state->Latency.samples;
    ASSERT_TRUE(audio::RecordSetInput(0, audio::kInputOff));
    Dialog().CalibrateButton->click();
    test::RunWhile([&] { return Dialog().Running(); });
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], kCalibrationNoTrace);
    EXPECT_DOUBLE_EQ(p.state->Latency.samples, kept);
    EXPECT_EQ(f->LagArea->toolTip(), tip);
    EXPECT_TRUE(Dialog().ResultLabel->text().startsWith(QStringLiteral("Latency: ")));
    EXPECT_TRUE(
        Dialog().ResultLabel->text().contains(QStringLiteral("Last attempt: The recording")));
}

TEST_F(LatencyDialogTest, LockInSitsBeneathTheFilterAndReachesTheWaveWindow) {
    EXPECT_EQ(f->LockInCheck->text(), QStringLiteral("Lock-in"));
    EXPECT_FALSE(f->LockInCheck->isChecked());
    EXPECT_FALSE(f->LockInOn());
    EXPECT_GT(f->LockInCheck->y(), f->FftFilterCheck->y());
    EXPECT_EQ(f->LockInCheck->x(), f->FftFilterCheck->x());
    EXPECT_FALSE(f->LockInCheck->geometry().intersects(f->FftFilterCheck->geometry()));
    EXPECT_FALSE(f->LockInCheck->geometry().intersects(f->VolumeLabel->geometry()));
    f->LockInCheck->setChecked(true);
    EXPECT_TRUE(f->LockInOn());
    EXPECT_TRUE(p.waveWindow->LockInOn());
}

TEST_F(LatencyDialogTest, TheVirtualApparatusWindowSetsLatencyAndNoise) {
    ASSERT_NE(p.virtualWindow, nullptr);
    VirtualApparatusWindow& knob = *p.virtualWindow;
    EXPECT_NEAR(knob.LatencySpin->value(), 10.0, 0.05);
    EXPECT_NEAR(knob.NoiseSpin->value(), 0.02, 1e-9);
    knob.LatencySpin->setValue(37.0);
    EXPECT_EQ(apparatus->Latency(), 1632);
    knob.NoiseSpin->setValue(0.5);
    EXPECT_DOUBLE_EQ(apparatus->NoiseRms(), 0.005);
    // What the calibration then finds.
    Dialog().CalibrateButton->click();
    test::RunWhile([&] { return Dialog().Running(); });
    ASSERT_TRUE(p.state->Latency.valid);
    EXPECT_NEAR(p.state->Latency.samples / 44.1, 37.0, 0.5);
}

}  // namespace
}  // namespace sonarix
