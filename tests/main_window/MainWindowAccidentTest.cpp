// The main window against a user's accidents, each with real key and mouse events: keys after a
// click on "Measure", a double-click on it, "Clear Spectrum" and typing during a sweep, the
// windows that would stall a sweep, a refused sweep, and the live views on the screen.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "measurement/Playback.h"
#include "measurement/TestSignals.h"
#include "plot/Controls.h"
#include "tests/ProgramFixture.h"
#include "ui/fit/PeakFitWindow.h"
#include "ui/main/LineThicknessDialog.h"
#include "ui/main/LiveViews.h"
#include "ui/main/MainWindow.h"

namespace sonarix {
namespace {

class MainWindowAccidentTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Start());
        Activate(f);
        // 100 points, 1010 ... 2000 Hz.
        f->StartFrequencyEdit->setText("1000");
        f->StopFrequencyEdit->setText("2000");
        f->StepEdit->setText("10");
        f->TimePerStepEdit->setText("20");
    }
    int Count(int slot = 0) const { return p.state->SpecCount[static_cast<size_t>(slot)]; }
    // Every point of the slot lies on the sweep's grid within its range, in order.
    void ExpectAValidSweep(int slot, double first, double last) const {
        const SharedState& s = *p.state;
        ASSERT_GT(Count(slot), 0);
        for (int i = 1; i <= Count(slot); ++i) {
            const double freq = s.SpecFreq[static_cast<size_t>(slot)][i];
            ASSERT_GE(freq, first) << i;
            ASSERT_LE(freq, last) << i;
            if (i > 1) {
                ASSERT_GT(freq, s.SpecFreq[static_cast<size_t>(slot)][i - 1]) << i;
            }
        }
    }
    QPoint Centre(QWidget* w) const { return w->rect().center(); }
};

// A click on "Measure" gives it the focus; when it hides, the focus goes to "Stop" beneath it,
// never to "Clear Spectrum", and back to "Measure" at the end.
TEST_F(MainWindowAccidentTest, KeysAfterAClickOnMeasureNeverClearTheSlot) {
    EXPECT_EQ(f->ClearSpectrumButton->focusPolicy(), Qt::NoFocus);
    QWidget* during = nullptr;
    int atStop = -1;  // the points when "Stop" was clicked
    QObject::connect(f->StopButton, &QPushButton::clicked, &m_timers, [&] { atStop = Count(); });
    AtRound(5, [&] {
        during = QApplication::focusWidget();
        Key(f, Qt::Key_Return);  // nothing in a main window
        Key(f, Qt::Key_Space);   // "Stop": the sweep ends after this step, its points kept
    });
    QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
    test::FinishSweep(*f);
    EXPECT_EQ(during, f->StopButton);
    EXPECT_GE(atStop, 1);
    EXPECT_GE(Count(), atStop);
    EXPECT_LE(Count(), atStop + 1);
    ExpectAValidSweep(0, 1010.0, 2000.0);
    EXPECT_EQ(QApplication::focusWidget(), f->MeasureButton);
    const int kept = Count();
    Key(f, Qt::Key_Return);
    Key(f, Qt::Key_Tab);
    Key(f, Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), f->ClearSpectrumButton);
    EXPECT_EQ(Count(), kept);
    EXPECT_TRUE(messages.Messages().empty());
}

// The second click of a double-click on "Measure" lands on "Stop", which has just come up under
// the pointer: it is not a request to stop. A deliberate click on "Stop" still is.
TEST_F(MainWindowAccidentTest, TheSecondClickOfADoubleClickOnMeasureDoesNotStop) {
    const QPoint at = f->MeasureButton->mapTo(f, Centre(f->MeasureButton));
    AtRound(1, [&] { ClickAt(f->StopButton, f->StopButton->mapFrom(f, at), 100150); });
    ClickAt(f->MeasureButton, Centre(f->MeasureButton), 100000);
    test::FinishSweep(*f);
    EXPECT_EQ(Count(), 100);
    ExpectAValidSweep(0, 1010.0, 2000.0);

    AtRound(3, [&] { ClickAt(f->StopButton, f->StopButton->mapFrom(f, at), 200800); });
    ClickAt(f->MeasureButton, Centre(f->MeasureButton), 200000);
    test::FinishSweep(*f);
    EXPECT_GE(Count(), 3);
    EXPECT_LE(Count(), 4);
}

// "Clear Spectrum" of the slot being measured: afterwards the slot holds the points measured
// since, and its file no point at 0 Hz.
TEST_F(MainWindowAccidentTest, ClearSpectrumDuringTheSweepLeavesOnlyLaterPoints) {
    AtRound(40, [&] { QTest::mouseClick(f->ClearSpectrumButton, Qt::LeftButton); });
    QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
    test::FinishSweep(*f);
    EXPECT_EQ(Count(), 61);
    ExpectAValidSweep(0, 1400.0, 2000.0);
    const std::string file =
        (std::filesystem::temp_directory_path() / ("cleared" + std::to_string(getpid()))).string();
    f->ChooseSaveFile = [file] { return std::optional<std::string>(file); };
    f->SaveSpectrum->trigger();
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str().rfind("1400.000 ", 0), 0u) << text.str().substr(0, 40);
    EXPECT_EQ(text.str().find("0.000 0.000"), std::string::npos);
    std::remove(file.c_str());
}

// Emptying "Stop Frequency" or typing a letter into it during a sweep: no message at all (a
// message box would hold the sweep), and the sweep keeps the stop frequency it started with.
TEST_F(MainWindowAccidentTest, TypingIntoTheStopFieldDuringASweepGivesNoMessageStorm) {
    AtRound(3, [&] {
        f->StopFrequencyEdit->setFocus();
        f->StopFrequencyEdit->selectAll();
        Key(f, Qt::Key_Backspace);
        QTest::keyClicks(f->StopFrequencyEdit, "x");
    });
    QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
    test::FinishSweep(*f);
    EXPECT_EQ(f->StopFrequencyEdit->text(), "x");
    EXPECT_EQ(Count(), 100);
    EXPECT_EQ(p.state->StopFreq, 2000.0);
    EXPECT_TRUE(messages.Messages().empty());
    // The next "Measure" reads the field: one message, and the sweep is refused.
    QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
    test::FinishSweep(*f);
    ASSERT_EQ(messages.Messages().size(), 2u);
    EXPECT_EQ(messages.Messages()[0], "Input number can not be read\nStop Frequency [Hz]: \"x\"");
    EXPECT_EQ(Count(), 100);
}

// The windows that would hold a sweep in their own event loop until the chirp has run out are
// unavailable while it runs, and the menu bar says why.
TEST_F(MainWindowAccidentTest, DialogsAreUnavailableWhileASweepRuns) {
    bool fitEnabled = true, noteShown = false, actionsEnabled = true;
    QString progress;
    AtRound(51, [&] { progress = f->ProgressNote->text(); });
    AtRound(3, [&] {
        fitEnabled = f->FitSpectrumButton->isEnabled();
        noteShown = f->SweepNote->isVisible();
        actionsEnabled = f->Fit->isEnabled() || f->WaveFunction->isEnabled() ||
                         f->ConfigureSerial->isEnabled() || f->OpenSpectrum->isEnabled() ||
                         f->CalibrateLatency->isEnabled() || f->ConfigureSoundCard->isEnabled();
        QTest::mouseClick(f->FitSpectrumButton, Qt::LeftButton);
        f->Fit->trigger();
        f->WaveFunction->trigger();
    });
    QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
    test::FinishSweep(*f);
    EXPECT_FALSE(fitEnabled);
    EXPECT_TRUE(noteShown);
    EXPECT_FALSE(actionsEnabled);
    EXPECT_FALSE(p.fitWindow->isVisible());
    EXPECT_EQ(Count(), 100);  // measured to the end
    EXPECT_TRUE(messages.Messages().empty());
    EXPECT_TRUE(f->FitSpectrumButton->isEnabled());
    EXPECT_TRUE(f->Fit->isEnabled());
    EXPECT_FALSE(f->SweepNote->isVisible());
    // Half-way (the 50th point is shown when the 51st round comes) the progress said so.
    EXPECT_EQ(progress, "50 %, 1 s left");
    EXPECT_FALSE(f->ProgressNote->isVisible());
    EXPECT_FALSE(f->SweepProgress->isVisible());
    // The live views, which do not block, stay available.
    EXPECT_TRUE(f->LiveFftOn->isEnabled());
}

// A dialog that only changes the drawing may open during a sweep, which measures on while it is
// open: the line thickness chosen with the keyboard, the points still coming in.
TEST_F(MainWindowAccidentTest, TheLineThicknessDialogDuringASweepDoesNotHoldIt) {
    int atOpen = -1, whileOpen = -1;
    AtRound(3, [&] {
        ASSERT_TRUE(f->ChangeLineThickness->isEnabled());
        EXPECT_FALSE(f->OpenSpectrum->isEnabled());
        QTimer::singleShot(0, &m_timers, [&] {
            atOpen = Count();
            QTimer::singleShot(200, &m_timers, [&] {
                whileOpen = Count();
                QWidget* dialog = QApplication::activeModalWidget();
                ASSERT_NE(dialog, nullptr);
                Key(dialog, Qt::Key_Down);  // the next thickness
                Key(dialog, Qt::Key_Return);
            });
        });
        f->ChangeLineThickness->trigger();
    });
    QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
    test::FinishSweep(*f);
    EXPECT_GE(atOpen, 1);
    EXPECT_GT(whileOpen, atOpen);  // measured on while the dialog was open
    EXPECT_EQ(Count(), 100);
    ExpectAValidSweep(0, 1010.0, 2000.0);
    EXPECT_EQ(p.lineThickness->ThicknessGroup->ItemIndex(), 1);
    EXPECT_TRUE(messages.Messages().empty());
}

// A refused sweep leaves the parameters in force: a click on the plot still plays its tone.
TEST_F(MainWindowAccidentTest, ARefusedSweepLeavesTheToneWorking) {
    f->StartFrequencyEdit->setText("100");
    f->StopFrequencyEdit->setText("10000");
    f->StepEdit->setText("0.1");
    f->TimePerStepEdit->setText("5");
    QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
    test::FinishSweep(*f);
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], kTooManyPoints);
    Fill(0, 500.0, 5000.0, 10.0);
    f->RedrawSpectra();
    QTest::mouseClick(f->PlotImage, Qt::LeftButton, {}, QPoint(f->PlotPanel->width() / 2, 100));
    test::FinishSweep(*f);
    EXPECT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(p.state->SampleCount, 441000);  // the 10 s tone was played
}

// The 10 s tone shows the time it has left, and "End Tone" or Escape ends it at once.
TEST_F(MainWindowAccidentTest, TheToneShowsItsTimeLeftAndEndsAtOnce) {
    Fill(0, 500.0, 5000.0, 10.0);
    f->RedrawSpectra();
    const QPoint onPlot(f->PlotPanel->width() / 2, 100);
    for (const bool escape : {false, true}) {
        QString shown;
        bool endShown = false;
        // The tone plays from the event loop after the press on the plot; its release comes in
        // the first round.
        AtRound(1, [&] { QTest::mouseRelease(f->PlotImage, Qt::LeftButton, {}, onPlot); });
        const uint64_t start = apparatus->SampleTime();
        std::function<void()> atOneSecond = [&] {
            if (apparatus->SampleTime() - start < 44100 + 2205) {
                QTimer::singleShot(0, &m_timers, atOneSecond);
                return;
            }
            shown = f->ProgressNote->text();
            endShown = f->EndTone->isVisible() && f->EndTone->width() > 10;
            if (escape) {
                Key(f, Qt::Key_Escape);
            } else {
                QTest::mouseClick(f->EndTone, Qt::LeftButton);
            }
        };
        QTimer::singleShot(0, &m_timers, atOneSecond);
        QTest::mousePress(f->PlotImage, Qt::LeftButton, {}, onPlot);
        test::FinishSweep(*f);
        EXPECT_TRUE(shown.startsWith("Tone ")) << shown.toStdString();
        EXPECT_TRUE(shown.endsWith(" Hz: 9 s left")) << shown.toStdString();
        EXPECT_TRUE(endShown);
        EXPECT_FALSE(Playing(*p.state));
        EXPECT_LT(apparatus->SampleTime() - start, 44100u * 2) << escape;  // not the whole 10 s
        EXPECT_FALSE(f->EndTone->isVisible());
        EXPECT_TRUE(f->MeasureButton->isEnabled());
    }
    EXPECT_TRUE(messages.Messages().empty());
}

// The live views come up on the screen wherever they were left.
TEST_F(MainWindowAccidentTest, LiveViewsOpenOnTheScreen) {
    const QRect area = f->screen()->availableGeometry();
    for (QAction* a : {f->LiveFftOn, f->LiveWaveOn}) {
        QWidget* view = a == f->LiveFftOn ? static_cast<QWidget*>(p.liveSpectrum.get())
                                          : static_cast<QWidget*>(p.liveWaveform.get());
        view->move(area.right() - 100, area.bottom() - 50);
        a->trigger();
        EXPECT_TRUE(area.contains(view->frameGeometry())) << view->objectName().toStdString();
        view->hide();
    }
}

}  // namespace
}  // namespace sonarix
