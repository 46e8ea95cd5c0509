// The main window: its controls and menus, display widths, the frequency read-out, the font,
// colour and line-thickness handlers, and the help and version windows.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFontDialog>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/Program.h"
#include "measurement/Playback.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "plot/Canvas.h"
#include "plot/Controls.h"
#include "plot/FontDialog.h"
#include "plot/PlotMapping.h"
#include "tests/ProgramFixture.h"
#include "ui/main/HelpDialog.h"
#include "ui/main/LineThicknessDialog.h"
#include "ui/main/LiveViews.h"
#include "ui/main/MainWindow.h"
#include "ui/main/PlotDrawing.h"
#include "ui/main/VersionDialog.h"

namespace sonarix {
namespace {

class MainWindowTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Start()); }
};

TEST_F(MainWindowTest, ControlsAsInTheForm) {
    struct Expect {
        const char* name;
        QRect geometry;
        const char* text;
    };
    const Expect controls[] = {
        {"Button2", {30, 392, 123, 25}, "Measure"},
        {"Button1", {32, 392, 121, 25}, "Stop"},
        {"Button3", {30, 432, 123, 25}, "Clear Spectrum"},
        {"Button4", {30, 472, 123, 25}, "Fit Spectrum"},
    };
    for (const Expect& e : controls) {
        auto* b = f->findChild<QPushButton*>(e.name);
        ASSERT_NE(b, nullptr) << e.name;
        EXPECT_EQ(b->geometry(), e.geometry) << e.name;
        EXPECT_EQ(b->text(), e.text);
    }
    EXPECT_EQ(f->findChild<TRadioGroup*>("RadioGroup1")->geometry(), QRect(8, 24, 97, 113));
    EXPECT_EQ(f->findChild<TRadioGroup*>("RadioGroup1")->title(), "Current Spectrum");
    EXPECT_EQ(f->findChild<TRadioGroup*>("RadioGroup1")->ItemIndex(), 0);
    EXPECT_EQ(f->findChild<TRadioGroup*>("RadioGroup2")->geometry(), QRect(111, 24, 79, 113));
    EXPECT_EQ(f->findChild<TRadioGroup*>("RadioGroup2")->title(), "Display");
    EXPECT_EQ(f->findChild<QLabel*>("Label1")->text(), "Start Frequency [Hz]");
    EXPECT_EQ(f->findChild<QLabel*>("Label4")->text(), "Time per Step [ms]");
    EXPECT_EQ(f->findChild<QLabel*>("Label5")->text(), "Amplitude Output Signal");
    EXPECT_EQ(f->findChild<QLineEdit*>("Edit2")->geometry().topLeft(), QPoint(32, 235));
    EXPECT_TRUE(f->findChild<QCheckBox*>("CheckBox1")->isChecked());
    EXPECT_EQ(f->findChild<QCheckBox*>("CheckBox1")->text(), "FFT-Filter on");
    auto* track = f->findChild<QSlider*>("TrackBar1");
    EXPECT_EQ(track->geometry(), QRect(8, 568, 182, 45));
    EXPECT_EQ(track->maximum(), 100);
    EXPECT_EQ(track->tickInterval(), 10);
    EXPECT_FALSE(f->findChild<QLabel*>("Panel2")->isVisible());
    EXPECT_FALSE(f->findChild<QLabel*>("Panel3")->isVisible());
    EXPECT_EQ(f->findChild<QLabel*>("Panel3")->text(), "Saturation");
    EXPECT_EQ(f->findChild<QTimer*>("Timer1")->interval(), 200);
    EXPECT_EQ(f->findChild<QTimer*>("Timer2")->interval(), 200);
    EXPECT_EQ(f->centralWidget()->size(), QSize(1007, 670));
    auto* scroll = f->findChild<QScrollArea*>("ScrollBox1");
    EXPECT_EQ(scroll->geometry(), QRect(200, 3, 1007 - 203, 670 - 6));
}

TEST_F(MainWindowTest, MenuItemsAreBoundToNamedActions) {
    const char* names[] = {"SaveSpectrum",        "OpenSpectrum",
                           "SaveAsImage",         "PrinterSetup",
                           "PrintImage",          "Exit",
                           "ChangeFont",          "ChangePenColor",
                           "ChangeLineThickness", "Fit",
                           "WaveFktWindow",       "LifeFFTOn",
                           "LifeWaveOn",          "ConfigureSoundCard",
                           "SelectInputChannel",  "ConfigureSeriell",
                           "ManualHelp",          "VersionInfo"};
    for (const char* n : names) EXPECT_NE(f->findChild<QAction*>(n), nullptr) << n;
    EXPECT_EQ(f->SaveSpectrum->text().remove(QLatin1Char('&')), "Save Spectrum ");
    EXPECT_EQ(f->LiveFftOn->text().remove(QLatin1Char('&')), "Life FFT of Microphone Signal");
    EXPECT_EQ(f->SaveSpectrum->shortcut(), QKeySequence(QKeySequence::Save));
    EXPECT_EQ(f->OpenSpectrum->shortcut(), QKeySequence(QKeySequence::Open));
    EXPECT_EQ(f->PrintImage->shortcut(), QKeySequence(QKeySequence::Print));
    EXPECT_EQ(f->Exit->shortcut(), QKeySequence(QKeySequence::Quit));
    EXPECT_TRUE(f->ChangeFont->isEnabled());
    EXPECT_TRUE(f->VersionInfo->isEnabled());
}

TEST_F(MainWindowTest, DisplayWidths) {
    const int normal = f->frameGeometry().width() - 215;
    EXPECT_EQ(f->PlotPanel->width(), normal);
    const int before = f->RedrawCount();
    f->DisplayWidthGroup->SetItemIndex(1);  // "wide"
    EXPECT_EQ(f->PlotPanel->width(), 1600);
    EXPECT_EQ(f->RedrawCount(), before + 1);
    f->resize(900, 600);
    QApplication::processEvents();
    EXPECT_EQ(f->PlotPanel->width(), 1600);  // stays
    EXPECT_GT(f->RedrawCount(), before + 1);
    EXPECT_GT(f->PlotScrollBox->horizontalScrollBar()->maximum(), 0);
    f->DisplayWidthGroup->SetItemIndex(2);
    EXPECT_EQ(f->PlotPanel->width(), 2400);
    f->DisplayWidthGroup->SetItemIndex(3);
    EXPECT_EQ(f->PlotPanel->width(), 3200);
    f->DisplayWidthGroup->SetItemIndex(0);
    EXPECT_EQ(f->PlotPanel->width(), f->frameGeometry().width() - 215);
    f->resize(1100, 700);
    QApplication::processEvents();
    EXPECT_EQ(f->PlotPanel->width(), f->frameGeometry().width() - 215);
    // The panel's height follows the window.
    EXPECT_GT(f->PlotPanel->height(), 600);
}

TEST_F(MainWindowTest, FrequencyReadOut) {
    EXPECT_FALSE(f->FrequencyReadOut->isVisible());
    f->OnPlotEntered();  // empty plot: stays hidden
    EXPECT_FALSE(f->FrequencyReadOut->isVisible());
    Fill(0, 100.0, 10000.0, 10.0);
    f->RedrawSpectra();
    const SharedState& s = *p.state;
    f->OnPlotEntered();
    EXPECT_TRUE(f->FrequencyReadOut->isVisible());
    const int w = f->PlotPanel->width() - s.MarginLeft - s.MarginRight;
    // The pixel where 5050 Hz lies, by the inverse of the x mapping.
    const int x = s.MarginLeft + w / 2;
    const double expected = static_cast<double>(x - s.MarginLeft) / w * 9900.0 + 100.0;
    f->ShowFrequencyAt(x, 100);
    EXPECT_EQ(f->FrequencyReadOut->text().toStdString(),
              " " + std::to_string(static_cast<int>(std::nearbyint(expected))) + " Hz ");
    EXPECT_EQ(f->FrequencyReadOut->pos(), QPoint(x + 20, 120));
    // Near the right edge the read-out moves to the left of the pointer.
    const int right = f->PlotPanel->width() - 10;
    f->ShowFrequencyAt(right, 50);
    EXPECT_EQ(f->FrequencyReadOut->x(), right - f->FrequencyReadOut->width() - 20);
    f->OnPlotLeft();
    EXPECT_FALSE(f->FrequencyReadOut->isVisible());
    // A single point: the span is 0.1 Hz, four decimals.
    for (int i = 0; i < kSlots; ++i) p.state->SpecCount[i] = 0;
    p.state->SpecCount[2] = 1;
    p.state->SpecFreq[2][1] = 1000.0;
    p.state->SpecAmp[2][1] = 3.0;
    f->RedrawSpectra();
    f->ShowFrequencyAt(s.MarginLeft, 10);
    EXPECT_EQ(f->FrequencyReadOut->text(), " 1000.0000 Hz ");
}

TEST_F(MainWindowTest, FontDialogCancelledChangesNothing) {
    const QFont before = f->PlotCanvas().Font();
    const int redraws = f->RedrawCount();
    f->ChooseFont = [](const FontChoice&) { return std::optional<FontChoice>(); };
    f->ChangeFontExecute();
    EXPECT_EQ(f->PlotCanvas().Font(), before);
    EXPECT_EQ(f->RedrawCount(), redraws);
    EXPECT_EQ(p.state->MarginRight, 20);

    QFont big = DialogFont();
    big.setPixelSize(20);
    f->ChooseFont = [&](const FontChoice&) { return std::optional<FontChoice>({big, 0}); };
    f->ChangeFontExecute();
    EXPECT_EQ(f->PlotCanvas().Font().pixelSize(), 20);
    EXPECT_EQ(p.state->MarginRight,
              QFontMetrics(f->PlotCanvas().Font()).horizontalAdvance("20000.0") / 2);
    EXPECT_EQ(f->RedrawCount(), redraws + 1);
    EXPECT_EQ(p.state->MarginBottom, 3 * QFontMetrics(f->PlotCanvas().Font()).height());
}

TEST_F(MainWindowTest, PenColourOfTheSelectedSlot) {
    const int redraws = f->RedrawCount();
    f->ChooseColor = [](const QColor&) { return std::optional<QColor>(); };
    f->ChangePenColorExecute();
    EXPECT_EQ(p.state->SpecColor[0], 0x000000FFu);
    EXPECT_EQ(f->RedrawCount(), redraws);
    f->SpectrumSlotGroup->SetItemIndex(3);  // an empty slot can be coloured too
    f->ChooseColor = [](const QColor&) { return std::optional<QColor>(QColor(10, 20, 30)); };
    f->ChangePenColorExecute();
    EXPECT_EQ(p.state->SpecColor[3], 0x001E140Au);
    EXPECT_EQ(p.state->SpecColor[0], 0x000000FFu);
    EXPECT_EQ(f->RedrawCount(), redraws + 1);
}

// Every dialog of a fixed size is wide enough for its title bar to show the title whole
// ("Configure Sound Card" was cut to "Configure... und Card").
TEST_F(MainWindowTest, FixedDialogsAreWideEnoughForTheirTitles) {
    int dialogs = 0;
    for (QWidget* w : QApplication::allWidgets()) {
        auto* d = qobject_cast<QDialog*>(w);
        if (d == nullptr || d->minimumWidth() != d->maximumWidth() || d->windowTitle().isEmpty())
            continue;
        ++dialogs;
        QFont bold = QApplication::font();
        bold.setBold(true);
        EXPECT_GE(d->width(), QFontMetrics(bold).horizontalAdvance(d->windowTitle()) + 100)
            << d->windowTitle().toStdString();
    }
    EXPECT_GE(dialogs, 7);
}

TEST_F(MainWindowTest, LineThicknessAppliesWhicheverWayTheDialogCloses) {
    ASSERT_NE(f->ThicknessDialog, nullptr);
    EXPECT_EQ(f->ThicknessDialog->windowTitle(), "Line thickness");
    EXPECT_EQ(f->ThicknessDialog->height(), 253);
    EXPECT_GE(f->ThicknessDialog->width(), 208);
    QTimer::singleShot(0, f->ThicknessDialog, [&] {
        f->ThicknessDialog->ThicknessGroup->SetItemIndex(2);
        f->ThicknessDialog->OkButton->click();  // OK
    });
    f->ChangeLineThicknessExecute();
    EXPECT_EQ(f->PlotCanvas().PenWidth, 3);
    QTimer::singleShot(0, f->ThicknessDialog, [&] {
        f->ThicknessDialog->ThicknessGroup->SetItemIndex(1);
        f->ThicknessDialog->close();  // the close box
    });
    const int redraws = f->RedrawCount();
    f->ChangeLineThicknessExecute();
    EXPECT_EQ(f->PlotCanvas().PenWidth, 2);
    EXPECT_EQ(f->RedrawCount(), redraws + 1);
    // The dialog keeps its choice.
    EXPECT_EQ(f->ThicknessDialog->ThicknessGroup->ItemIndex(), 1);
}

TEST_F(MainWindowTest, HelpAndVersionWindows) {
    ASSERT_NE(f->HelpWindow, nullptr);
    EXPECT_EQ(f->HelpWindow->windowTitle(), "Manual and Help");
    EXPECT_EQ(f->HelpWindow->size(), QSize(445, 220));
    EXPECT_EQ(f->HelpWindow->ManualIntro->text(),
              "A description how to use the different functions of this program can be found "
              "online:");
    EXPECT_TRUE(f->HelpWindow->ManualLink->font().bold());
    EXPECT_TRUE(f->HelpWindow->FaqLink->font().bold());
    EXPECT_TRUE(f->HelpWindow->ApparatusLink->font().bold());
    EXPECT_FALSE(f->HelpWindow->ManualIntro->font().bold());
    EXPECT_EQ(f->HelpWindow->ApparatusLink->pos(), QPoint(24, 171));
    EXPECT_EQ(f->HelpWindow->CloseButton->geometry(), QRect(355, 184, 75, 25));
    EXPECT_FALSE(f->HelpWindow->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(f->VersionWindow->windowTitle(), "Version info");
    EXPECT_EQ(f->VersionWindow->VersionLabel->text(),
              "This is Version 7.1 of the program Sonarix.exe");
    EXPECT_EQ(f->VersionWindow->DateLabel->text(), "from Jan 21, 2009");
    EXPECT_TRUE(f->VersionWindow->UpdatesLink->font().bold());
    QTimer::singleShot(0, f->VersionWindow, [&] { f->VersionWindow->CloseButton->click(); });
    f->VersionInfoExecute();
    EXPECT_FALSE(f->VersionWindow->isVisible());
    QTimer::singleShot(0, f->HelpWindow, [&] { f->HelpWindow->CloseButton->click(); });
    f->ManualHelpExecute();
    EXPECT_FALSE(f->HelpWindow->isVisible());
}

// View / "Sphere Modes": a grey line at each mode of the sphere asked for, under the curves;
// cancelled or unchecked, the plot is as without.
TEST_F(MainWindowTest, SphereModesMarkTheSpectrum) {
    Fill(0, 1000.0, 9000.0, 10.0);
    f->RedrawSpectra();
    const QImage plain = f->PlotImage->Picture.copy();
    f->ChooseSphere = [](double, double) { return std::optional<std::pair<double, double>>(); };
    f->SphereModes->trigger();
    EXPECT_FALSE(f->SphereModes->isChecked());
    EXPECT_EQ(f->PlotImage->Picture, plain);
    std::pair<double, double> asked;
    f->ChooseSphere = [&](double r, double t) {
        asked = {r, t};
        return std::optional<std::pair<double, double>>(std::pair(50.0, 20.0));
    };
    f->SphereModes->trigger();
    EXPECT_TRUE(f->SphereModes->isChecked());
    EXPECT_EQ(asked, std::pair(50.0, 20.0));
    const SharedState& s = *p.state;
    const PlotGeometry g{f->PlotPanel->width(), f->PlotPanel->height(), s.MarginLeft,
                         s.MarginBottom,        s.MarginRight,          s.MarginTop,
                         s.PlotFreqMin,         s.PlotFreqMax,          s.PlotAmpMax};
    // The l = 1, n = 1 mode at 2274.1 Hz, half-way down the plot (the curve lies lower there).
    const int x = g.X(2274.1), y = (s.MarginTop + f->PlotPanel->height() - s.MarginBottom) / 2;
    EXPECT_EQ(f->PlotImage->Picture.pixel(x, y) & 0xFFFFFF, 0xB0B0B0u);
    f->SphereModes->trigger();  // unchecked
    EXPECT_EQ(f->PlotImage->Picture, plain);
}

TEST_F(MainWindowTest, ExitEndsTheEventLoop) {
    QTimer::singleShot(0, f, [&] { f->Exit->trigger(); });
    QTimer::singleShot(5000, f, [] { QApplication::exit(99); });  // goes with the window
    EXPECT_EQ(QApplication::exec(), 0);
}

// Answers the next modal font dialog with `answer` once it is up.
void AnswerFontDialog(const std::function<void(TFontDialog&)>& answer) {
    QTimer::singleShot(0, [answer] {
        auto* d = qobject_cast<TFontDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        answer(*d);
    });
}

TEST_F(MainWindowTest, FontDialogConfirmedUnchangedLeavesThePlotAsItWas) {
    Fill(0, 100.0, 10000.0, 10.0);
    f->RedrawSpectra();
    const QImage before = f->PlotImage->Picture.copy();
    const int left = p.state->MarginLeft, bottom = p.state->MarginBottom;
    const int right = p.state->MarginRight;
    QString shownFamily;
    AnswerFontDialog([&](TFontDialog& d) {
        shownFamily = d.Fonts->currentFont().family();
        d.OkButton->click();
    });
    f->ChangeFontExecute();  // the real dialog
    // It opened on the family really drawn, not on the requested Tahoma.
    EXPECT_EQ(shownFamily, QFontInfo(f->PlotCanvas().Font()).family());
    EXPECT_NE(shownFamily, "Tahoma");
    EXPECT_EQ(p.state->MarginLeft, left);
    EXPECT_EQ(p.state->MarginBottom, bottom);
    EXPECT_EQ(p.state->MarginRight, right);
    EXPECT_EQ(f->PlotImage->Picture, before);
}

TEST_F(MainWindowTest, PlotTextInTheChosenColour) {
    auto count = [&](uint32_t color) {
        int n = 0;
        const QRgb rgb = ToQRgb(color);
        const int h = f->PlotPanel->height();
        for (int y = h - p.state->MarginBottom; y < h; ++y) {
            for (int x = 0; x < f->PlotPanel->width(); ++x)
                n += f->PlotImage->Picture.pixel(x, y) == rgb;
        }
        return n;
    };
    EXPECT_EQ(count(0x0000FF), 0);
    const int black = count(0);
    const QFont font = f->PlotCanvas().Font();
    f->ChooseFont = [&](const FontChoice&) { return std::optional<FontChoice>({font, 0x0000FF}); };
    f->ChangeFontExecute();
    EXPECT_GT(count(0x0000FF), 50);  // "Frequency [Hz]" and the tick labels in red
    EXPECT_LT(count(0), black);      // only the tick marks stay black
    EXPECT_EQ(f->PlotCanvas().FontColor, 0x0000FFu);
}

TEST_F(MainWindowTest, FontDialogColourButtonAndCancel) {
    TFontDialog d(f);
    d.SetChoice(FontChoice{f->PlotCanvas().Font(), 0x00112233});
    EXPECT_EQ(d.Choice().color, 0x00112233u);
    d.ChooseColor = [](const QColor&) { return std::optional<QColor>(); };
    d.ColourButton->click();
    EXPECT_EQ(d.Choice().color, 0x00112233u);  // colour dialog cancelled
    d.ChooseColor = [](const QColor& c) {
        EXPECT_EQ(c, QColor(0x33, 0x22, 0x11));
        return std::optional<QColor>(QColor(0xAA, 0xBB, 0xCC));
    };
    d.ColourButton->click();
    EXPECT_EQ(d.Choice().color, 0x00CCBBAAu);

    AnswerFontDialog([](TFontDialog& dialog) { dialog.CancelButton->click(); });
    EXPECT_FALSE(ChooseFontAndColour(f, FontChoice{f->PlotCanvas().Font(), 0}));
}

// Return and Escape, wherever the focus is in the font chooser, confirm or cancel the whole
// dialog (the chooser is a dialog of its own and took them for itself).
TEST_F(MainWindowTest, FontDialogReturnConfirmsAndEscapeCancels) {
    const FontChoice current{f->PlotCanvas().Font(), 0};
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        for (const bool inList : {true, false}) {
            bool closed = false;
            AnswerFontDialog([&](TFontDialog& d) {
                QWidget* inside =
                    inList ? static_cast<QWidget*>(d.Fonts->findChildren<QListView*>().value(0))
                           : d.Fonts->findChildren<QLineEdit*>().value(0);
                ASSERT_NE(inside, nullptr);
                Activate(&d);
                inside->setFocus();
                Key(&d, key);
                closed = !d.isVisible();
                if (!closed) d.reject();
            });
            const std::optional<FontChoice> chosen = ChooseFontAndColour(f, current);
            EXPECT_TRUE(closed) << key << inList;
            EXPECT_EQ(chosen.has_value(), key != Qt::Key_Escape) << key << inList;
        }
    }
}

TEST_F(MainWindowTest, HandOverCarriesTheViewByValue) {
    f->SpectrumSlotGroup->SetItemIndex(2);
    f->DisplayWidthGroup->SetItemIndex(1);
    f->PlotCanvas().PenWidth = 3;
    f->PlotCanvas().FontColor = 0x00123456;
    const PlotHandOver h = f->HandOver();
    EXPECT_EQ(h.slot, 2);
    EXPECT_EQ(h.displayItem, 1);
    EXPECT_EQ(h.panelWidth, 1600);
    EXPECT_EQ(h.penWidth, 3);
    EXPECT_EQ(h.font.font, f->PlotCanvas().Font());
    EXPECT_EQ(h.font.color, 0x00123456u);
}

TEST_F(MainWindowTest, MeasureSweepsIntoTheSelectedSlotAndStopEndsIt) {
    EXPECT_TRUE(f->MeasureButton->isEnabled());
    EXPECT_TRUE(f->ClearSpectrumButton->isEnabled());
    f->show();
    f->SpectrumSlotGroup->SetItemIndex(2);
    f->StartFrequencyEdit->setText("1000");
    f->StopFrequencyEdit->setText("2000");
    f->StepEdit->setText("10");
    f->TimePerStepEdit->setText("20");
    bool stopVisible = false;
    // Runs inside the sweep's message processing: "Stop" lies uncovered where "Measure" was.
    QTimer::singleShot(0, f, [&] {
        stopVisible = f->StopButton->isVisible() && !f->MeasureButton->isVisible();
        QTest::mouseClick(f->StopButton, Qt::LeftButton);
    });
    QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
    test::FinishSweep(*f);
    EXPECT_TRUE(stopVisible);
    EXPECT_GE(p.state->SpecCount[2], 1);
    EXPECT_LE(p.state->SpecCount[2], 3);
    EXPECT_EQ(p.state->SpecCount[0], 0);
    EXPECT_TRUE(f->MeasureButton->isVisible());
    EXPECT_FALSE(f->SaturationPanel->isVisible());
    EXPECT_FALSE(Playing(*p.state));

    Sweep();  // the whole sweep this time
    EXPECT_EQ(p.state->SpecCount[2], 100);
    EXPECT_EQ(p.state->SpecFreq[2][100], 2000.0);
}

TEST_F(MainWindowTest, ClearSpectrumEmptiesTheSlotOfCurrentSpectrum) {
    Fill(1, 100.0, 1000.0, 10.0);
    Fill(0, 100.0, 1000.0, 10.0);
    p.state->CurrentSlot = 0;
    f->SpectrumSlotGroup->SetItemIndex(1);
    const int redraws = f->RedrawCount();
    QTest::mouseClick(f->ClearSpectrumButton, Qt::LeftButton);
    EXPECT_EQ(p.state->SpecCount[1], 0);
    EXPECT_EQ(p.state->SpecFreq[1][1], 0.0);
    EXPECT_EQ(p.state->SpecAmp[1][kSlotCapacity], 0.0);
    EXPECT_EQ(p.state->SpecCount[0], 91);
    EXPECT_EQ(f->RedrawCount(), redraws + 1);
}

// Every path that replaces a slot's points with as many (or more) shows the new ones: a fast
// measurement after the apparatus changed, undo and redo, an open, a session.
TEST_F(MainWindowTest, EveryPathThatReplacesASlotShowsTheNewPoints) {
    f->show();
    // The picture shown against one drawn completely on the side (a redraw of the window's
    // own would hide what its next step draws).
    auto expectUpToDate = [&](const char* what) {
        QImage complete(f->PlotImage->Picture.size(), f->PlotImage->Picture.format());
        Canvas c(&complete);
        c.SetFont(f->PlotCanvas().Font());
        c.PenWidth = f->PlotCanvas().PenWidth;
        c.FontColor = f->PlotCanvas().FontColor;
        SpectrumPlot().RedrawSpectra(*p.state, c, f->PlotPanel->width(), f->PlotPanel->height(),
                                     std::nullopt);
        const QRect panel(0, 0, f->PlotPanel->width(), f->PlotPanel->height());
        EXPECT_TRUE(complete.copy(panel) == f->PlotImage->Picture.copy(panel)) << what;
    };
    f->StartFrequencyEdit->setText("2000");
    f->StopFrequencyEdit->setText("4000");
    f->FastSpacing[4]->trigger();  // 10 Hz
    Fill(1, 1000.0, 5000.0, 10.0);
    auto fast = [&] {
        QTest::mouseClick(f->FastButton, Qt::LeftButton);
        test::FinishSweep(*f);
        ASSERT_EQ(p.state->SpecCount[0], 200);
    };
    ASSERT_NO_FATAL_FAILURE(fast());
    // Slot 2 holds the scale from now on (a new scale is always drawn completely).
    const double highest =
        *std::max_element(&p.state->SpecAmp[0][1], &p.state->SpecAmp[0][1] + 200);
    for (int k = 1; k <= p.state->SpecCount[1]; ++k) p.state->SpecAmp[1][k] = 1.5 * highest;
    f->RedrawSpectra();
    ASSERT_NO_FATAL_FAILURE(fast());
    expectUpToDate("the first fast measurement");
    physics::SphereSetup ring;
    ring.ring = 0.006;
    apparatus->SetSphere(ring);
    ASSERT_NO_FATAL_FAILURE(fast());
    expectUpToDate("a fast measurement with a ring");
    Key(f, Qt::Key_Z, Qt::ControlModifier);
    expectUpToDate("undo");
    Key(f, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    expectUpToDate("redo");

    const std::string base =
        (std::filesystem::temp_directory_path() /
         ("sonarix-replaced-" + std::to_string(QCoreApplication::applicationPid())))
            .string();
    const std::string spectrum = base + ".dat", session = base + ".sxs";
    std::ofstream out(spectrum);
    for (int k = 1; k <= 200; ++k) out << 2000 + 10 * k << " " << 1.0 + (k % 7) << "\n";
    out.close();
    f->ChooseOpenFile = [&] { return std::optional<std::string>(spectrum); };
    f->OpenSpectrum->trigger();
    expectUpToDate("Open Spectrum");
    f->ChooseSessionSaveFile = [&] { return std::optional<std::string>(session); };
    f->SaveSession->trigger();
    ASSERT_NO_FATAL_FAILURE(fast());
    f->ChooseSessionOpenFile = [&] { return std::optional<std::string>(session); };
    f->OpenSession->trigger();
    EXPECT_EQ(p.state->SpecAmp[0][3], 4.0);
    expectUpToDate("Open Session");
    std::filesystem::remove(spectrum);
    std::filesystem::remove(session);
}

// A window shown at the screen's foot before the window manager framed it is moved up by its
// frame too (the live views ended 15 pixels below a 1000 pixel screen: the title bar).
TEST_F(MainWindowTest, AWindowNotYetFramedIsKeptOnScreenWithItsFrame) {
    QWidget w(nullptr, Qt::Window);
    w.resize(600, 200);
    w.show();
    const QRect area = w.screen()->availableGeometry();
    w.move(area.left() + 50, area.bottom() + 1 - 200);  // the window itself just fits
    KeepOnScreen(&w, QMargins(3, 25, 3, 3));
    // The position is the frame's corner once the window manager has framed it.
    const QRect framed(w.pos(), QSize(606, 228));
    EXPECT_TRUE(area.contains(framed)) << framed.bottom() << " " << area.bottom();
    EXPECT_GE(framed.bottom(), area.bottom() - 4);
}

// The live FFT's last frequency label ("20000") is written whole, within the panel.
TEST_F(MainWindowTest, TheLiveFftsLastLabelStandsWithinThePanel) {
    LiveSpectrumWindow& live = *p.liveSpectrum;
    live.show();
    live.Refresh();
    const int W = live.PlotPanel->width(), H = live.PlotPanel->height();
    const QImage& image = live.PlotImage->Picture;
    int right = -1, dark = 0;
    for (int y = H - 30; y < H - 16; ++y) {
        for (int x = W - 60; x < W; ++x) {
            if (qGray(image.pixel(x, y)) < 128) {
                right = std::max(right, x);
                ++dark;
            }
        }
    }
    EXPECT_GT(dark, 20);
    EXPECT_LT(right, W - 1);
    live.hide();
}

TEST_F(MainWindowTest, AClickOnThePlotPlaysTheFrequencyUnderThePointer) {
    // An empty store: the last redraw left 100000 ... 0 Hz, so the left edge is 100000 Hz.
    f->RedrawSpectra();
    QTest::mouseClick(f->PlotImage, Qt::RightButton, {}, QPoint(p.state->MarginLeft, 100));
    test::FinishSweep(*f);
    EXPECT_EQ(p.state->CurrentFreq, 100000.0);
    EXPECT_EQ(p.state->SampleCount, 441000);
    EXPECT_TRUE(f->MeasureButton->isEnabled());

    Fill(0, 500.0, 5000.0, 10.0);
    f->RedrawSpectra();
    QTest::mouseClick(f->PlotImage, Qt::LeftButton, {}, QPoint(p.state->MarginLeft, 100));
    test::FinishSweep(*f);
    EXPECT_EQ(p.state->CurrentFreq, p.state->PlotFreqMin);
    const int right = f->PlotPanel->width() - p.state->MarginRight;
    bool measureDisabled = false, fastDisabled = false;
    double during = 0.0;
    QTimer::singleShot(0, f, [&] {
        measureDisabled = !f->MeasureButton->isEnabled();
        // "Fast Measure" would do nothing while the tone plays: it says so by its look.
        fastDisabled = !f->FastButton->isEnabled() && !f->FastMeasure->isEnabled();
        // A second click while the tone plays is ignored.
        QTest::mouseClick(f->PlotImage, Qt::LeftButton, {}, QPoint(p.state->MarginLeft + 50, 100));
        test::FinishSweep(*f);
        during = p.state->CurrentFreq;
    });
    QTest::mouseClick(f->PlotImage, Qt::LeftButton, {}, QPoint(right, 100));
    test::FinishSweep(*f);
    EXPECT_EQ(p.state->CurrentFreq, p.state->PlotFreqMax);
    EXPECT_EQ(during, p.state->PlotFreqMax);
    EXPECT_TRUE(measureDisabled);
    EXPECT_TRUE(fastDisabled);
    EXPECT_TRUE(f->MeasureButton->isEnabled());
    EXPECT_TRUE(f->FastButton->isEnabled());
    // The image is the tone at the clicked frequency.
    EXPECT_EQ(p.state->WavImage.Size(), 44u + 2u * 441000u);
}

// Every caption of the window is shown whole: the text of each button, radio item, check box
// and label fits in its control in the control's own font.
TEST_F(MainWindowTest, EveryCaptionFitsItsControl) {
    f->show();
    QApplication::processEvents();
    int checked = 0;
    for (QAbstractButton* b : f->findChildren<QAbstractButton*>()) {
        if (b->text().isEmpty() || !b->isVisibleTo(f)) continue;
        ++checked;
        if (qobject_cast<QPushButton*>(b) != nullptr) {
            EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 6, b->width())
                << b->text().toStdString();
        } else {
            // Radio items and check boxes: the size hint holds indicator, spacing and text.
            EXPECT_LE(b->sizeHint().width(), b->width()) << b->text().toStdString();
        }
    }
    for (QLabel* l : f->findChildren<QLabel*>()) {
        if (l->text().isEmpty() || !l->isVisibleTo(f)) continue;
        ++checked;
        EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->contentsRect().width())
            << l->text().toStdString();
    }
    for (QGroupBox* g : f->findChildren<QGroupBox*>()) {
        ++checked;
        EXPECT_LE(g->fontMetrics().horizontalAdvance(g->title()) + 8, g->width())
            << g->title().toStdString();
    }
    EXPECT_GE(checked, 20);
}

TEST_F(MainWindowTest, MenusUseTheWindowFont) {
    EXPECT_EQ(f->menuBar()->font(), f->font());
    int menus = 0;
    for (QMenu* m : f->menuBar()->findChildren<QMenu*>()) {
        if (m->title().isEmpty()) continue;  // the bar's own overflow menu
        ++menus;
        EXPECT_EQ(m->font(), f->font()) << m->title().toStdString();
    }
    EXPECT_EQ(menus, 7);  // File, Edit, Measure, View, Windows, Configure, Help
}

}  // namespace
}  // namespace sonarix
