// Undo and redo of every action that replaces or clears data, as a user meets them: the real
// buttons and menu items, Ctrl+Z and Ctrl+Shift+Z; the store compared entry by entry.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QWheelEvent>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "plot/Controls.h"
#include "session/SessionKeeper.h"
#include "tests/ProgramFixture.h"
#include "ui/fit/PeakFitWindow.h"
#include "ui/main/MainWindow.h"
#include "ui/wave/WaveFunctionWindow.h"

namespace sonarix {
namespace {

namespace fs = std::filesystem;

// Everything the store and the angle values hold, entry by entry.
struct Store {
    SharedState::SlotArray freq[kSlots], amp[kSlots], phase[kSlots];
    std::array<int32_t, kSlots> count;
    std::array<bool, kSlots> phased;
    std::array<uint32_t, kSlots> color;
    WaveValues wave;
};
// Held on the heap: a store is 2 MB.
using Snapshot = std::shared_ptr<const Store>;
bool Same(const Snapshot& a, const Snapshot& b) {
    return std::memcmp(a.get(), b.get(), sizeof(Store)) == 0;
}

class UndoTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Start());
        f->OpenFitWindow = [this](const FitHandOver& h) {
            p.fitWindow->FitExecute(h, false);
            p.fitWindow->show();
        };
        Activate(f);
    }
    Snapshot Take() {
        auto s = std::make_shared<Store>();
        std::memset(s.get(), 0, sizeof(Store));
        for (int i = 0; i < kSlots; ++i) {
            s->freq[i] = p.state->SpecFreq[i];
            s->amp[i] = p.state->SpecAmp[i];
            s->phase[i] = p.state->SpecPhase[i];
        }
        s->count = p.state->SpecCount;
        s->phased = p.state->SpecPhased;
        s->color = p.state->SpecColor;
        s->wave = p.waveWindow->WaveAmplitude;
        return s;
    }
    void Sweep(const char* from, const char* to) {
        f->StartFrequencyEdit->setText(from);
        f->StopFrequencyEdit->setText(to);
        f->TimePerStepEdit->setText("10");
        QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
        test::FinishSweep(*f);
    }
    // Ctrl+Z, then Ctrl+Shift+Z in `window`: the state before, then after again.
    void UndoRedo(QWidget* window, const Snapshot& before, const Snapshot& after,
                  const char* what) {
        Key(window, Qt::Key_Z, Qt::ControlModifier);
        EXPECT_TRUE(Same(Take(), before)) << "undo of " << what;
        Key(window, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        EXPECT_TRUE(Same(Take(), after)) << "redo of " << what;
    }
    std::string TempFile(const char* name) {
        return (fs::temp_directory_path() / (std::to_string(getpid()) + name)).string();
    }
};

TEST_F(UndoTest, EverySpectrumActionGoesBackAndForthEntryByEntry) {
    Fill(0, 100.0, 9000.0, 3.0);  // more points than the sweep: leftovers past its count
    p.state->SpecPhase[0][5] = 12.5;
    const Snapshot filled = Take();

    Sweep("100", "3000");
    const Snapshot swept = Take();
    ASSERT_EQ(p.state->SpecCount[0], 290);
    ASSERT_FALSE(Same(swept, filled));
    EXPECT_EQ(f->Undo->text(), "&Undo Measure");
    UndoRedo(f, filled, swept, "Measure");

    QTest::mouseClick(f->ClearSpectrumButton, Qt::LeftButton);  // "Clear Spectrum"
    const Snapshot cleared = Take();
    UndoRedo(f, swept, cleared, "Clear Spectrum");

    const std::string file = TempFile("undo.dat");
    std::ofstream(file) << "100 1\n200 2\n300 3\n";
    f->ChooseOpenFile = [&] { return std::optional<std::string>(file); };
    f->OpenSpectrum->trigger();
    const Snapshot opened = Take();
    ASSERT_EQ(p.state->SpecCount[0], 3);
    UndoRedo(f, cleared, opened, "Open Spectrum");

    f->ChooseColor = [](const QColor&) { return std::optional<QColor>(QColor(1, 2, 3)); };
    f->ChangePenColor->trigger();
    const Snapshot coloured = Take();
    UndoRedo(f, opened, coloured, "Pen Colour");

    // All the way back and forward again through the menu items.
    for (int i = 0; i < 5; ++i) f->Undo->trigger();
    EXPECT_TRUE(Same(Take(), filled));
    EXPECT_FALSE(f->Undo->isEnabled());
    for (int i = 0; i < 5; ++i) f->Redo->trigger();
    EXPECT_TRUE(Same(Take(), coloured));
    EXPECT_FALSE(f->Redo->isEnabled());
    // A new action drops what was undone.
    f->Undo->trigger();
    QTest::mouseClick(f->ClearSpectrumButton, Qt::LeftButton);
    EXPECT_FALSE(f->Redo->isEnabled());
    fs::remove(file);
}

TEST_F(UndoTest, FastMeasureFillsTheSlotAsOneStepAtTheMenusSpacing) {
    Fill(1, 100.0, 200.0, 1.0);
    f->SpectrumSlotGroup->SetItemIndex(1);
    const Snapshot before = Take();
    f->FastSpacing[4]->trigger();  // 10 Hz
    AtRound(10, [&] {
        EXPECT_FALSE(f->FastButton->isEnabled());
        EXPECT_FALSE(f->MeasureButton->isVisible());  // "Stop" instead, as in a sweep
    });
    QTest::mouseClick(f->FastButton, Qt::LeftButton);
    test::FinishSweep(*f);
    ASSERT_EQ(p.state->SpecCount[1], 990);
    EXPECT_EQ(p.state->SpecFreq[1][990], 10000.0);
    EXPECT_TRUE(f->FastButton->isEnabled());
    const Snapshot after = Take();
    EXPECT_EQ(f->Undo->text(), "&Undo Measure");
    UndoRedo(f, before, after, "Fast Measure");
    // Stop abandons it: the slot stays as it was.
    const double start = p.state->StartFreq, step = p.state->StepFreq;
    AtRound(20, [&] { QTest::mouseClick(f->StopButton, Qt::LeftButton); });
    f->FastSpacing[0]->trigger();  // 0.5 Hz: the parameters in force stay those of the slot
    f->FastMeasure->trigger();
    test::FinishSweep(*f);
    EXPECT_TRUE(Same(Take(), after));
    EXPECT_EQ(p.state->StartFreq, start);
    EXPECT_EQ(p.state->StepFreq, step);
}

TEST_F(UndoTest, UndoWaitsWhileASweepRunsAndTheSweepIsOneStepEvenWithAClearInIt) {
    Fill(0, 100.0, 2000.0, 10.0);
    const Snapshot before = Take();
    AtRound(20, [&] {
        EXPECT_FALSE(f->Undo->isEnabled());
        Key(f, Qt::Key_Z, Qt::ControlModifier);  // nothing, the sweep goes on
        QTest::mouseClick(f->ClearSpectrumButton, Qt::LeftButton);
    });
    Sweep("100", "2000");
    ASSERT_GT(p.state->SpecCount[0], 100);
    const Snapshot after = Take();
    EXPECT_EQ(p.session->History().Steps(), 1u);
    UndoRedo(f, before, after, "a sweep with a Clear in it");
}

TEST_F(UndoTest, AngleValuesComeBackAfterClearOpenDataMeasureAndReopening) {
    WaveFunctionWindow* w = p.waveWindow.get();
    w->Open(false);
    w->show();
    for (int i = 0; i < kAngles; ++i) w->WaveAmplitude[i] = 1.0 + i;
    const Snapshot values = Take();

    QTest::mouseClick(w->ClearButton, Qt::LeftButton);  // "Clear"
    const Snapshot cleared = Take();
    UndoRedo(w, values, cleared, "Clear");
    Key(w, Qt::Key_Z, Qt::ControlModifier);

    const std::string file = TempFile("wave.dat");
    std::ofstream(file) << "0 5\n10 6\n";
    w->ChooseOpenFile = [&] { return std::optional<std::string>(file); };
    w->OpenData->trigger();
    const Snapshot opened = Take();
    ASSERT_EQ(w->WaveAmplitude[0], 5.0);
    UndoRedo(w, values, opened, "Open Data");

    w->MeasureValueButton->click();  // "Measure value" at 0 degrees
    test::FinishAngle(*w);
    apparatus->AdvanceMs(600);
    const Snapshot measured = Take();
    ASSERT_NE(w->WaveAmplitude[0], 5.0);
    UndoRedo(w, opened, measured, "Measure value");

    // Opening the window again at another frequency clears it; the main window's Ctrl+Z
    // brings the values back.
    w->hide();
    p.state->CurrentFreq += 100.0;
    w->Open(false);
    EXPECT_EQ(w->WaveAmplitude[0], 0.0);
    Activate(f);
    Key(f, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_TRUE(Same(Take(), measured));
    fs::remove(file);
}

TEST_F(UndoTest, FitWindowUndoesItsPeakEditsAndRuns) {
    Sweep("4000", "6000");
    f->FitSpectrumButton->click();  // "Fit Spectrum"
    PeakFitWindow* fit = p.fitWindow.get();
    Activate(fit);
    std::vector<PeakTable> tables{fit->Fit().peaks};
    const auto same = [](const PeakTable& a, const PeakTable& b) {
        return std::memcmp(&a, &b, sizeof a) == 0;
    };
    fit->FindPeaksAction->trigger();
    tables.push_back(fit->Fit().peaks);
    fit->StartFitButton->click();  // "Start Fit"
    test::FinishFit(*fit);
    tables.push_back(fit->Fit().peaks);
    const PlotGeometry g = fit->Geometry();
    QTest::mouseClick(fit->PlotImage, Qt::LeftButton, {}, QPoint(g.X(5500.0), g.Y(1.0)));
    tables.push_back(fit->Fit().peaks);
    for (int i = 0; i < 3; ++i) {  // three notches of the wheel: one step
        QWheelEvent e(QPointF(100, 100), QPointF(100, 100), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(fit, &e);
    }
    tables.push_back(fit->Fit().peaks);
    fit->PhaseSlider->setValue(37);
    tables.push_back(fit->Fit().peaks);
    fit->RemoveAll->trigger();
    tables.push_back(fit->Fit().peaks);
    for (size_t i = 1; i < tables.size(); ++i) {
        ASSERT_FALSE(same(tables[i], tables[i - 1])) << "edit " << i << " changed nothing";
    }
    for (size_t i = tables.size() - 1; i > 0; --i) {
        Key(fit, Qt::Key_Z, Qt::ControlModifier);
        EXPECT_TRUE(same(fit->Fit().peaks, tables[i - 1])) << "undo to " << i - 1;
    }
    EXPECT_FALSE(fit->Undo->isEnabled());
    for (size_t i = 1; i < tables.size(); ++i) {
        Key(fit, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        EXPECT_TRUE(same(fit->Fit().peaks, tables[i])) << "redo to " << i;
    }
    fit->hide();
}

TEST(UndoHistoryTest, KeepsAtLeastTwentyFullSlotsWithinItsMemoryAndMergesARow) {
    UndoHistory h;
    int state = 0;
    const size_t fullSlot = 2 * 3 * sizeof(double) * kSlotCapacity;  // before and after
    for (int i = 1; i <= 150; ++i) {
        h.Push({"step", fullSlot, [&state, i] { state = i - 1; }, [&state, i] { state = i; }, {}});
        state = i;
    }
    EXPECT_GE(h.Steps(), 20u);
    EXPECT_LE(h.Bytes(), UndoHistory::kMostBytes);
    EXPECT_LE(h.Steps(), UndoHistory::kMostSteps);
    while (h.Undo()) {
    }
    EXPECT_EQ(state, 150 - static_cast<int>(h.Steps()));
    // A row with the same key is one step, whose undo leads back before the first.
    UndoHistory row;
    for (int i = 1; i <= 3; ++i) {
        row.Push({"width", 8, [&state] { state = 0; }, [&state, i] { state = i; }, "width 1"});
        state = i;
    }
    EXPECT_EQ(row.Steps(), 1u);
    row.Undo();
    EXPECT_EQ(state, 0);
    row.Redo();
    EXPECT_EQ(state, 3);
}

}  // namespace
}  // namespace sonarix
