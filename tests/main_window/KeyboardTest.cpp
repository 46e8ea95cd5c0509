// The keyboard as a user meets it: every menu and menu item of the main, fit and wave windows
// has a mnemonic of its own, Alt + a menu's letter opens it, and the shortcuts act.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <functional>

#include "plot/Controls.h"
#include "plot/PictureExport.h"
#include "tests/ProgramFixture.h"
#include "ui/fit/PeakFitWindow.h"
#include "ui/main/HelpDialog.h"
#include "ui/main/MainWindow.h"
#include "ui/wave/WaveFunctionWindow.h"

namespace sonarix {
namespace {

class KeyboardTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Start());
        Activate(f);
    }
};

// The letter after the one '&' of a caption, or nothing.
QChar MnemonicOf(const QString& text) {
    const qsizetype at = text.indexOf(QLatin1Char('&'));
    if (at < 0 || at + 1 >= text.size() || text.indexOf(QLatin1Char('&'), at + 1) >= 0) return {};
    return text[at + 1].toLower();
}

void ExpectMnemonics(const QList<QAction*>& actions, const QString& where) {
    QString taken;
    for (QAction* a : actions) {
        if (a->isSeparator()) continue;
        const QChar c = MnemonicOf(a->text());
        EXPECT_TRUE(c.isLetterOrNumber()) << where.toStdString() << ": " << a->text().toStdString();
        EXPECT_FALSE(taken.contains(c)) << where.toStdString() << ": " << a->text().toStdString();
        taken += c;
        if (a->menu() != nullptr) ExpectMnemonics(a->menu()->actions(), a->text());
    }
}

TEST_F(KeyboardTest, EveryMenuAndItemHasAMnemonicOfItsOwnAndAltOpensTheMenu) {
    for (QMenuBar* bar : {f->menuBar(), p.fitWindow->MenuBar, p.waveWindow->MenuBar})
        ExpectMnemonics(bar->actions(), bar->parentWidget()->objectName());
    // The words are the captions'.
    EXPECT_EQ(f->SaveSpectrum->text().remove(QLatin1Char('&')), QStringLiteral("Save Spectrum "));
    EXPECT_EQ(f->ConfigureSoundCard->text().remove(QLatin1Char('&')),
              QStringLiteral("Mono / Stereo"));
    // An undo step's caption keeps its letter.
    f->ClearSpectrumButton->click();  // "Clear Spectrum"
    EXPECT_EQ(MnemonicOf(f->Undo->text()), QLatin1Char('u'));

    QMenu* file = f->menuBar()->actions()[0]->menu();
    Key(f, Qt::Key_F, Qt::AltModifier);
    EXPECT_TRUE(file->isVisible());
    Key(file, Qt::Key_Escape);
    Key(file, Qt::Key_Escape);
    EXPECT_FALSE(file->isVisible());
}

TEST_F(KeyboardTest, TheListedShortcutsAct) {
    f->StartFrequencyEdit->setText("1000");
    f->StopFrequencyEdit->setText("2000");
    f->StepEdit->setText("10");
    f->TimePerStepEdit->setText("20");
    // F5 and Ctrl+M measure; Escape stops the sweep after the step it is in.
    for (const QKeySequence& keys :
         {QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_M)}) {
        bool sweeping = false;
        AtRound(5, [&] {
            sweeping = p.state->Running == Operation::Sweep;
            Key(f, Qt::Key_Escape);
        });
        Key(f, static_cast<Qt::Key>(keys[0].key()), keys[0].keyboardModifiers());
        test::FinishSweep(*f);
        EXPECT_TRUE(sweeping) << keys.toString().toStdString();
        EXPECT_EQ(p.state->Running, Operation::None);
        EXPECT_GE(p.state->SpecCount[0], 4);
        EXPECT_LT(p.state->SpecCount[0], 100);
    }
    int saves = 0, opens = 0, fits = 0, prints = 0;
    f->ChooseSaveFile = [&] {
        ++saves;
        return std::optional<std::string>();
    };
    f->ChooseOpenFile = [&] {
        ++opens;
        return std::optional<std::string>();
    };
    f->OpenFitWindow = [&](const FitHandOver&) { ++fits; };
    f->Output().RunPrintDialog = [&](QPrinter&) {
        ++prints;
        return false;
    };
    Key(f, Qt::Key_S, Qt::ControlModifier);
    Key(f, Qt::Key_O, Qt::ControlModifier);
    Key(f, Qt::Key_F, Qt::ControlModifier);
    Key(f, Qt::Key_P, Qt::ControlModifier);
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(fits, 1);
    EXPECT_EQ(prints, 1);
    // F1: the manual and help window, modally; Escape closes it.
    bool shown = false;
    QTimer::singleShot(0, &m_timers, [&] {
        shown = QApplication::activeModalWidget() == p.helpDialog.get();
        if (QWidget* w = QApplication::activeModalWidget()) Key(w, Qt::Key_Escape);
    });
    Key(f, Qt::Key_F1);
    EXPECT_TRUE(shown);
    EXPECT_FALSE(p.helpDialog->isVisible());
}

// "Current Spectrum" is one tab stop, its checked item (also after the slot changed), and the
// arrow keys move within it.
TEST_F(KeyboardTest, TabReachesTheCheckedSlotOnly) {
    f->SpectrumSlotGroup->SetItemIndex(2);
    QList<QWidget*> reached;
    for (int i = 0; i < 60; ++i) {
        Key(f, Qt::Key_Tab);
        reached.push_back(QApplication::focusWidget());
    }
    EXPECT_TRUE(reached.contains(f->SpectrumSlotGroup->Button(2)));
    for (int k : {0, 1, 3}) EXPECT_FALSE(reached.contains(f->SpectrumSlotGroup->Button(k))) << k;
    f->SpectrumSlotGroup->Button(2)->setFocus();
    Key(f, Qt::Key_Down);
    EXPECT_EQ(f->SpectrumSlotGroup->ItemIndex(), 3);
    EXPECT_EQ(QApplication::focusWidget(), f->SpectrumSlotGroup->Button(3));
}

// Undo by Ctrl+Z, redo by Ctrl+Shift+Z and by Ctrl+Y in every window with an Edit menu, the
// live views open beside it; no window binds a key twice (a key bound twice does nothing).
TEST_F(KeyboardTest, UndoAndRedoByKeyInEveryWindowWithTheLiveViewsOpen) {
    Fill(0, 4000.0, 6000.0, 2.0);
    PeakFitWindow* fit = p.fitWindow.get();
    WaveFunctionWindow* wave = p.waveWindow.get();
    f->LiveFftOn->trigger();
    f->LiveWaveOn->trigger();
    for (QWidget* window :
         {static_cast<QWidget*>(f), static_cast<QWidget*>(fit), static_cast<QWidget*>(wave)}) {
        QList<QKeySequence> bound;
        for (QAction* a : window->findChildren<QAction*>()) {
            for (const QKeySequence& k : a->shortcuts()) {
                EXPECT_FALSE(bound.contains(k)) << window->objectName().toStdString() << ": "
                                                << k.toString().toStdString() << " twice";
                bound.push_back(k);
            }
        }
    }
    // In each window: an edit, then Ctrl+Z, Ctrl+Shift+Z, Ctrl+Z, Ctrl+Y.
    auto undoRedo = [&](QWidget* window, const std::function<int()>& value, int before, int after) {
        const std::string name = window->objectName().toStdString();
        ASSERT_EQ(value(), after) << name;
        Key(window, Qt::Key_Z, Qt::ControlModifier);
        EXPECT_EQ(value(), before) << name << ": Ctrl+Z";
        Key(window, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        EXPECT_EQ(value(), after) << name << ": Ctrl+Shift+Z";
        Key(window, Qt::Key_Z, Qt::ControlModifier);
        Key(window, Qt::Key_Y, Qt::ControlModifier);
        EXPECT_EQ(value(), after) << name << ": Ctrl+Y";
    };
    const int points = p.state->SpecCount[0];
    Activate(f);
    f->ClearSpectrumButton->click();  // "Clear Spectrum"
    undoRedo(
        f, [&] { return p.state->SpecCount[0]; }, points, 0);
    Key(f, Qt::Key_Z, Qt::ControlModifier);

    f->OpenFitWindow = [this](const FitHandOver& h) {
        p.fitWindow->FitExecute(h, false);
        p.fitWindow->show();
    };
    f->FitSpectrumButton->click();  // "Fit Spectrum"
    Activate(fit);
    auto peaks = [&] {
        const auto& f = fit->Fit().peaks.PeakFrequency;
        return static_cast<int>(std::count_if(f.begin(), f.end(), [](double v) { return v > 0; }));
    };
    const PlotGeometry g = fit->Geometry();
    QTest::mouseClick(fit->PlotImage, Qt::LeftButton, {}, QPoint(g.X(5000.0), g.Y(1.0)));
    undoRedo(fit, peaks, 0, 1);
    fit->hide();

    wave->Open(false);
    Activate(wave);
    for (int i = 0; i < kAngles; ++i) wave->WaveAmplitude[i] = 1.0 + i;
    QTest::mouseClick(wave->ClearButton, Qt::LeftButton);  // "Clear"
    undoRedo(
        wave, [&] { return static_cast<int>(wave->WaveAmplitude[3]); }, 4, 0);
    wave->hide();
}

}  // namespace
}  // namespace sonarix
