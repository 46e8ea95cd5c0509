// The wave-function window: measuring the 19 angles on the virtual apparatus, the busy test,
// Clear, saturation, the polar plot and the data files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>

#include "measurement/Latency.h"
#include "measurement/Playback.h"
#include "plot/Canvas.h"
#include "plot/Controls.h"
#include "plot/PictureExport.h"
#include "session/SessionFile.h"
#include "session/SessionKeeper.h"
#include "tests/ProgramFixture.h"
#include "tests/measurement/KnownSignalApparatus.h"
#include "ui/config/VirtualApparatusWindow.h"
#include "ui/main/MainWindow.h"
#include "ui/wave/WaveFunctionWindow.h"
#include "wavefunction/WaveTheory.h"

namespace sonarix {
namespace {

namespace fs = std::filesystem;

// The Legendre polynomials of order 0 ... 4 in closed form.
double Legendre(int l, double x) {
    switch (l) {
        case 0:
            return 1.0;
        case 1:
            return x;
        case 2:
            return (3.0 * x * x - 1.0) / 2.0;
        case 3:
            return (5.0 * x * x * x - 3.0 * x) / 2.0;
        default:
            return (35.0 * x * x * x * x - 30.0 * x * x + 3.0) / 8.0;
    }
}

class WaveWindowTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Start(Backend()));
        w = p.waveWindow.get();
        w->Open(false);
    }
    virtual std::unique_ptr<audio::VirtualApparatus> Backend() { return nullptr; }
    // One press, then the rest of the tone plays out.
    void Press() {
        Measure();
        apparatus->AdvanceMs(600);
    }
    // "Measure value" clicked and the measurement run to its end.
    void Measure() {
        if (w->isVisible()) {
            QTest::mouseClick(w->MeasureValueButton, Qt::LeftButton);
        } else {
            // Hidden, the window's availability timer does not run: as it would when shown.
            w->ShowAvailability();
            w->MeasureValueButton->click();
        }
        test::FinishAngle(*w);
    }
    // Lays the window out with a plot panel of 550 x 512.
    void Panel550x512() {
        w->resize(750, 512 + w->MenuBar->sizeHint().height());
        w->FitPlotToWindow();
        ASSERT_EQ(w->PlotPanel->width(), 550);
        ASSERT_EQ(w->PlotPanel->height(), 512);
    }
    std::string TempFile(const char* name) {
        return (fs::temp_directory_path() / (std::to_string(getpid()) + name)).string();
    }
    static std::string Read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    QRgb Pixel(int x, int y) const { return w->PlotImage->Picture.pixel(x, y); }
    WaveFunctionWindow* w = nullptr;
};

TEST_F(WaveWindowTest, TheNineteenAnglesFollowTheLegendrePolynomialOfTheMode) {
    ASSERT_NE(p.virtualWindow, nullptr);
    EXPECT_TRUE(f->VirtualApparatus->isVisible());
    EXPECT_TRUE(p.virtualWindow->Follow());
    for (int l : {1, 2}) {
        double mode = 0;
        for (const physics::CavityMode& m : apparatus->Modes()) {
            if (m.l == l && m.n == 1) mode = m.frequency;
        }
        ASSERT_GT(mode, 0);
        p.state->CurrentFreq = mode;
        w->ClearButton->click();
        for (int k = 0; k < kAngles; ++k) Press();
        EXPECT_EQ(w->AngleGroup->ItemIndex(), 18);
        EXPECT_EQ(p.virtualWindow->Angle(), 180.0);
        double largest = 0;
        for (double v : w->WaveAmplitude) largest = std::max(largest, v);
        ASSERT_GT(largest, 1.0);
        double scale = 0, truthLargest = 0;
        for (int k = 0; k < kAngles; ++k) {
            const double c = (std::cos(10.0 * k * std::numbers::pi / 180.0) - 1.0) / 2.0;
            truthLargest = std::max(truthLargest, std::fabs(Legendre(l, c)));
        }
        scale = largest / truthLargest;
        for (int k = 0; k < kAngles; ++k) {
            const double c = (std::cos(10.0 * k * std::numbers::pi / 180.0) - 1.0) / 2.0;
            EXPECT_NEAR(w->WaveAmplitude[k], scale * std::fabs(Legendre(l, c)), 0.05 * largest)
                << "l = " << l << ", " << 10 * k << " degrees";
        }
    }
}

TEST_F(WaveWindowTest, BusyPressesClearAndTheLastAngle) {
    p.state->CurrentFreq = 2272.7;
    Measure();
    EXPECT_EQ(w->AngleGroup->ItemIndex(), 1);
    const double first = w->WaveAmplitude[0];
    EXPECT_GT(first, 0);
    Measure();  // the tone still plays: nothing happens
    EXPECT_EQ(w->AngleGroup->ItemIndex(), 1);
    EXPECT_EQ(w->WaveAmplitude[1], 0.0);
    apparatus->AdvanceMs(600);
    w->AngleGroup->SetItemIndex(18);
    Press();
    EXPECT_EQ(w->AngleGroup->ItemIndex(), 18);
    EXPECT_GT(w->WaveAmplitude[18], 0.0);
    w->ClearButton->click();
    for (double v : w->WaveAmplitude) EXPECT_EQ(v, 0.0);
    EXPECT_EQ(w->AngleGroup->ItemIndex(), 0);
    // An empty plot: only the white panel with its black frame.
    EXPECT_EQ(Pixel(w->PlotPanel->width() / 2 + 20, w->PlotPanel->height() / 2 + 20), 0xFFFFFFFFu);
    // Reopening starts the same way.
    w->WaveAmplitude[3] = 7;
    w->Open(false);
    EXPECT_EQ(w->WaveAmplitude[3], 0.0);
}

// The recording replaced by a known square wave.
class WaveWindowKnownSignal : public WaveWindowTest {
protected:
    std::unique_ptr<audio::VirtualApparatus> Backend() override {
        auto b = std::make_unique<test::KnownSignalApparatus>();
        known = b.get();
        return b;
    }
    test::KnownSignalApparatus* known = nullptr;
};

TEST_F(WaveWindowKnownSignal, SaturationWithoutTheFilterAboveFullLevel) {
    test::KnownSignalApparatus* k = known;
    f->FftFilterCheck->setChecked(false);
    k->Feed(1, test::KnownSignalApparatus::Square(16384));
    Measure();
    EXPECT_EQ(w->WaveAmplitude[0], 100.0);
    EXPECT_TRUE(w->SaturationPanel->isHidden());
    k->AdvanceMs(600);
    k->Feed(1, test::KnownSignalApparatus::Square(16385));
    const uint64_t before = k->SampleTime();
    Measure();
    EXPECT_EQ(k->SampleTime() - before, 22050u);  // read 500 ms into the tone
    EXPECT_GT(w->WaveAmplitude[1], 100.0);
    // "Saturation" for 500 ms while the window keeps answering.
    EXPECT_FALSE(w->SaturationPanel->isHidden());
    QElapsedTimer shown;
    shown.start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w->SaturationPanel->isHidden(); }, 2000));
    EXPECT_GE(shown.elapsed(), 400);
}

TEST_F(WaveWindowTest, PolarGeometryAndASingleValue) {
    Panel550x512();
    const PolarFigure fig = MakePolarFigure(WaveValues{}, 550, 512, false, false);
    EXPECT_EQ(fig.xc, 275);
    EXPECT_EQ(fig.yc, 256);
    EXPECT_EQ(fig.R, 256);
    EXPECT_EQ(fig.L, 230);
    w->WaveAmplitude[9] = 3.0;  // 90 degrees: polar angle 120 degrees
    w->DrawPolarPlot();
    const double r = 0.85 * 256;
    const int ex = 275 + static_cast<int>(std::nearbyint(r * std::sin(2 * std::numbers::pi / 3)));
    const int ey = 256 - static_cast<int>(std::nearbyint(r * std::cos(2 * std::numbers::pi / 3)));
    EXPECT_EQ(Pixel(ex, ey), 0xFF000000u);
    EXPECT_EQ(Pixel((275 + ex) / 2, (256 + ey) / 2), 0xFF000000u);  // on the line
    EXPECT_EQ(Pixel(275 + 100, 256 - 100), 0xFFFFFFFFu);            // nothing else
    EXPECT_NEAR(PolarAngle(90.0), 2 * std::numbers::pi / 3, 1e-12);
    EXPECT_EQ(PolarAngle(180.0), std::numbers::pi);
}

TEST_F(WaveWindowTest, GridLabelsStandWhereTheirOffsetsPutThem) {
    Panel550x512();
    w->PolarGridCheck->click();
    const Canvas& c = w->PlotCanvas();
    auto inked = [&](int x0, int y0, int wd, int ht) {
        for (int y = y0; y < y0 + ht; ++y) {
            for (int x = x0; x < x0 + wd; ++x) {
                if (Pixel(x, y) != 0xFFFFFFFFu) return true;
            }
        }
        return false;
    };
    const int th = c.TextHeight(QStringLiteral("0°"));
    struct Label {
        int degrees, ex, ey;
    };
    const Label labels[] = {
        {0, 275, 256 - 230}, {90, 275 + 230, 256}, {180, 275, 256 + 230}, {270, 275 - 230, 256}};
    for (const Label& l : labels) {
        const QString text = QStringLiteral("%1°").arg(l.degrees);
        const int tw = c.TextWidth(text);
        int dx = l.degrees < 180 ? 3 : -tw - 3;
        if (l.degrees == 0 || l.degrees == 180) dx = -tw / 2;
        const int dy = l.degrees == 0 ? -th - 3 : -th / 2;
        EXPECT_TRUE(inked(l.ex + dx, l.ey + dy, tw, th)) << l.degrees;
    }
    // 90 degrees starts right of its spoke end, 270 ends left of it.
    EXPECT_FALSE(inked(275 + 230 + 1, 256 - th, 2, 2 * th));
    EXPECT_FALSE(inked(275 - 230 - 2, 256 - th, 2, 2 * th));
}

TEST_F(WaveWindowTest, MirroredPointsAreExactlySymmetric) {
    WaveValues v{};
    for (int k = 0; k < kAngles; ++k) v[static_cast<size_t>(k)] = 1.0 + std::sin(k * 0.7) * 0.8;
    const PolarFigure n = MakePolarFigure(v, 551, 513, false, true);
    for (int k = 1; k < 18; ++k) {
        // Mirrored about the vertical axis (lower left) and the horizontal one (upper right).
        EXPECT_EQ(n.x[18 + k] - n.xc, n.xc - n.x[54 - k]) << k;
        EXPECT_EQ(n.y[18 + k], n.y[54 - k]) << k;
        EXPECT_EQ(n.y[18 + k] - n.yc, n.yc - n.y[18 - k]) << k;
        EXPECT_EQ(n.x[18 + k], n.x[18 - k]) << k;
        // And through the centre (upper left).
        EXPECT_EQ(n.x[54 + k] - n.xc, n.xc - n.x[18 + k]) << k;
        EXPECT_EQ(n.y[54 + k] - n.yc, n.yc - n.y[18 + k]) << k;
    }
    const PolarFigure l = MakePolarFigure(v, 551, 513, true, true);
    for (int k = 1; k < 18; ++k) {
        EXPECT_EQ(l.x[k] - l.xc, l.xc - l.x[36 - k]) << k;
        EXPECT_EQ(l.y[k], l.y[36 - k]) << k;
    }
    EXPECT_EQ(l.count, 36);
    EXPECT_EQ(l.fill, 0x008000u);
    EXPECT_EQ(n.fill, 0xFF0000u);
}

TEST_F(WaveWindowTest, CheckBoxesRedrawAndKeepTheValues) {
    Panel550x512();
    for (int k = 0; k < kAngles; ++k) w->WaveAmplitude[k] = 2.0;
    w->DrawPolarPlot();
    const WaveValues before = w->WaveAmplitude;
    const QImage normal = w->PlotImage->Picture.copy(0, 0, 550, 512);
    w->LiftedDegeneracyCheck->click();
    EXPECT_NE(w->PlotImage->Picture.copy(0, 0, 550, 512), normal);
    EXPECT_EQ(Pixel(275 + 100, 256), ToQRgb(0x008000));  // green on the right
    w->LiftedDegeneracyCheck->click();
    EXPECT_EQ(w->PlotImage->Picture.copy(0, 0, 550, 512), normal);
    w->CompleteBySymmetryCheck->click();
    EXPECT_EQ(Pixel(275 - 100, 256 - 100), ToQRgb(0xFF0000));  // completed: blue upper left
    EXPECT_EQ(w->WaveAmplitude, before);
}

TEST_F(WaveWindowTest, DataFiles) {
    const std::string file = TempFile("wave.dat");
    w->ChooseSaveFile = [&] { return std::optional<std::string>(file); };
    w->ChooseOpenFile = [&] { return std::optional<std::string>(file); };
    w->SaveData->trigger();
    const char* angles[] = {"90.0",  "90.4",  "91.7",  "93.8",  "96.7",  "100.3", "104.5",
                            "109.2", "114.4", "120.0", "125.9", "132.1", "138.6", "145.2",
                            "152.0", "158.9", "165.9", "172.9", "180.0"};
    std::string expected;
    for (const char* a : angles) expected += std::string(a) + " 0.000\r\n";
    EXPECT_EQ(Read(file), expected);

    std::ofstream(file, std::ios::binary) << "90.0 -5.000\r\n90.4 2.5\r91.7 1\n";
    w->OpenData->trigger();
    EXPECT_EQ(w->WaveAmplitude[0], -5.0);
    EXPECT_EQ(w->WaveAmplitude[1], 2.5);  // a CR alone ends the line
    EXPECT_EQ(w->WaveAmplitude[2], 1.0);
    EXPECT_EQ(w->WaveAmplitude[3], 0.0);

    const WaveValues before = w->WaveAmplitude;
    std::ofstream(file, std::ios::binary) << "90,0 1,5\r\n";
    w->OpenDataExecute();
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(test::FirstLine(messages.Messages()[0]), "Ungültige numerische Eingabe.");
    EXPECT_EQ(w->WaveAmplitude, before);

    std::ofstream(file, std::ios::binary) << "";
    w->OpenDataExecute();
    for (double v : w->WaveAmplitude) EXPECT_EQ(v, 0.0);

    // A spectrum file: its first 19 amplitudes.
    std::ofstream out(file, std::ios::binary);
    for (int i = 1; i <= 30; ++i) out << 100 * i << ".000 " << i << ".500\r\n";
    out.close();
    w->OpenDataExecute();
    EXPECT_EQ(w->WaveAmplitude[0], 1.5);
    EXPECT_EQ(w->WaveAmplitude[18], 19.5);
    fs::remove(file);
}

TEST_F(WaveWindowTest, ThePolarPlotSavesAsAPicture) {
    Panel550x512();
    for (int k = 0; k < kAngles; ++k) w->WaveAmplitude[k] = 1.0 + k;
    w->DrawPolarPlot();
    const std::string file = TempFile("wave.jpg");
    w->Output().ChoosePictureFile = [&] { return std::optional<std::string>(file); };
    w->SaveAsImage->trigger();
    const QImage jpg(QString::fromStdString(file), "JPEG");
    EXPECT_EQ(jpg.size(), QSize(550, 512));
    fs::remove(file);
}

// Print from the menu: the polar plot as vectors under the title naming the frequency the
// values belong to.
TEST_F(WaveWindowTest, ThePolarPlotPrintsUnderItsFrequency) {
    Panel550x512();
    for (int k = 0; k < kAngles; ++k) w->WaveAmplitude[k] = 1.0 + k;
    p.state->CurrentFreq = 2272.7;
    w->DrawPolarPlot();
    const std::string pdf = TempFile("wave.pdf"), txt = TempFile("wave.txt");
    w->Output().RunPrintDialog = [&](QPrinter& printer) {
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(QString::fromStdString(pdf));
        return true;
    };
    w->Print->trigger();
    const std::string cmd = "pdftotext -layout '" + pdf + "' '" + txt + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream in(txt);
    const std::string words((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(words.find("Amplitude as function of angle at 2272.7 Hz"), std::string::npos)
        << words;
    fs::remove(pdf);
    fs::remove(txt);
}

TEST_F(WaveWindowTest, TheVirtualApparatusWindowTurnsTheHemisphere) {
    VirtualApparatusWindow& knob = *p.virtualWindow;
    knob.AngleBox->setCurrentIndex(6);
    EXPECT_EQ(apparatus->HemisphereAngle(), 60.0);
    knob.FollowAngleCheck->setChecked(false);
    p.state->CurrentFreq = 2272.7;
    w->AngleGroup->SetItemIndex(3);
    Press();
    EXPECT_EQ(apparatus->HemisphereAngle(), 60.0);  // not following
    knob.FollowAngleCheck->setChecked(true);
    Press();
    EXPECT_EQ(apparatus->HemisphereAngle(), 40.0);
    EXPECT_EQ(knob.AngleBox->currentIndex(), 4);
}

// The sphere's controls by keyboard and mouse: a ring splits the modes, the temperature moves
// them, the hum switches on; the angle stays.
TEST_F(WaveWindowTest, TheVirtualApparatusWindowSetsUpTheSphere) {
    VirtualApparatusWindow& knob = *p.virtualWindow;
    Activate(&knob);
    knob.RingBox->setFocus();
    Key(&knob, Qt::Key_Down);
    Key(&knob, Qt::Key_Down);
    ASSERT_TRUE(apparatus->Sphere().has_value());
    EXPECT_EQ(apparatus->Sphere()->ring, 0.006);
    int l1 = 0;
    for (const physics::CavityMode& m : apparatus->Modes()) l1 += m.l == 1 && m.n == 1;
    EXPECT_EQ(l1, 2);
    knob.TemperatureEdit->setFocus();
    knob.TemperatureEdit->selectAll();
    QTest::keyClicks(knob.TemperatureEdit, "30");
    Key(&knob, Qt::Key_Return);
    EXPECT_EQ(apparatus->Sphere()->celsius, 30.0);
    EXPECT_EQ(apparatus->HemisphereAngle(), 180.0);
    QTest::mouseClick(knob.HumBox, Qt::LeftButton, {}, QPoint(5, knob.HumBox->height() / 2));
    EXPECT_GT(apparatus->Hum(), 0.0);
    QTest::mouseClick(knob.BlocksBox, Qt::LeftButton, {}, QPoint(5, knob.BlocksBox->height() / 2));
    EXPECT_TRUE(apparatus->BlockDelivery());
    knob.BlocksBox->click();
    EXPECT_FALSE(apparatus->BlockDelivery());
    knob.hide();
}

TEST(WaveTheory, LegendreAndTheBestOrderOfExactPatterns) {
    for (int l = 0; l <= 4; ++l) {
        for (double x : {-1.0, -0.6, 0.0, 0.3, 1.0}) {
            EXPECT_NEAR(LegendreP(l, x), Legendre(l, x), 1e-12) << l << " " << x;
        }
        const WaveValues t = TheoryValues(l, 7.0);
        EXPECT_DOUBLE_EQ(*std::max_element(t.begin(), t.end()), 7.0);
        const TheoryFit best = BestTheory(t);
        EXPECT_EQ(best.l, l);
        EXPECT_LT(best.residual, 1e-12);
    }
    EXPECT_EQ(BestTheory(WaveValues{}).l, -1);
}

// Modes of order 1, 2 and 3 (at 2273, 3649 and 9372 Hz) measured at the 19 angles with the
// hemisphere following: the best order is the mode's, the outline coincides with the measured
// values, and it is drawn where its points are in the normal and the lifted view.
TEST_F(WaveWindowTest, TheTheoryOutlineAndTheBestOrderOnModesOfOrderOneToThree) {
    Panel550x512();
    for (int l : {1, 2, 3}) {
        // The lowest l = 3 mode lies 23 Hz from the lowest l = 0 one; the second stands alone.
        const int n = l == 3 ? 2 : 1;
        double mode = 0;
        for (const physics::CavityMode& m : apparatus->Modes()) {
            if (m.l == l && m.n == n) mode = m.frequency;
        }
        ASSERT_GT(mode, 0);
        p.state->CurrentFreq = mode;
        w->ClearButton->click();
        EXPECT_TRUE(w->BestOrderLabel->text().startsWith(QStringLiteral("Best fit: no values")));
        // One value fits every order: no order is named until enough angles are measured.
        for (int k = 0; k < kLeastAnglesForTheory - 1; ++k) Press();
        EXPECT_EQ(w->BestOrderLabel->text(),
                  QStringLiteral("Best fit: after values at 6 angles (5 so far)"));
        for (int k = kLeastAnglesForTheory - 1; k < kAngles; ++k) Press();
        const TheoryFit best = BestTheory(w->WaveAmplitude);
        EXPECT_EQ(best.l, l);
        EXPECT_TRUE(
            w->BestOrderLabel->text().startsWith(QStringLiteral("Best fit: l = %1 ").arg(l)))
            << w->BestOrderLabel->text().toStdString();
        const double largest = *std::max_element(w->WaveAmplitude.begin(), w->WaveAmplitude.end());
        const WaveValues theory = TheoryValues(l, largest);
        for (int k = 0; k < kAngles; ++k) {
            EXPECT_NEAR(theory[k], w->WaveAmplitude[k], 0.05 * largest) << l << ", " << 10 * k;
        }

        // The outline's points at 0, 90 and 180 degrees, in both views.
        w->TheoryOrderSpin->setValue(l);
        w->CompleteBySymmetryCheck->setChecked(true);
        const QRgb orange = qRgb(0xFF, 0x80, 0x00);
        for (const bool lifted : {false, true}) {
            w->LiftedDegeneracyCheck->setChecked(lifted);
            w->TheoryCheck->setChecked(false);
            w->DrawPolarPlot();
            const PolarFigure t = MakePolarFigure(theory, 550, 512, lifted, true);
            for (int k : {0, 9, 18}) {
                const size_t i = static_cast<size_t>(lifted ? k : 18 + k);
                EXPECT_NE(Pixel(t.x[i], t.y[i]), orange);
            }
            w->TheoryCheck->setChecked(true);
            w->DrawPolarPlot();
            for (int k : {0, 9, 18}) {
                const size_t i = static_cast<size_t>(lifted ? k : 18 + k);
                EXPECT_EQ(Pixel(t.x[i], t.y[i]), orange) << l << (lifted ? " lifted " : " ") << k;
            }
        }
        w->LiftedDegeneracyCheck->setChecked(false);
        w->TheoryCheck->setChecked(false);
    }
}

TEST_F(WaveWindowTest, WithLockInTheValueIsTheFilterValue) {
    for (const physics::CavityMode& m : apparatus->Modes()) {
        if (m.l == 2 && m.n == 1) p.state->CurrentFreq = m.frequency;
    }
    w->AngleGroup->SetItemIndex(18);
    Press();
    const double filtered = w->WaveAmplitude[18];
    f->LockInCheck->setChecked(true);
    w->AngleGroup->SetItemIndex(18);
    Press();
    EXPECT_GT(filtered, 1.0);
    EXPECT_NEAR(w->WaveAmplitude[18] / filtered, 1.0, 0.01);
}

TEST_F(WaveWindowTest, AnOutputLostBeforeTheToneStoresNothingAndSaysSo) {
    Press();
    Press();
    const double measured = w->WaveAmplitude[1];
    ASSERT_GT(measured, 0.0);
    w->OnMeasureAngle = [this](double) { apparatus->LoseOutput(); };
    w->AngleGroup->SetItemIndex(1);
    Press();
    EXPECT_EQ(w->WaveAmplitude[1], measured);  // the value before stays
    EXPECT_EQ(w->AngleGroup->ItemIndex(), 1);  // and the selection: that angle is still to do
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], kOutputLostAngle);
    EXPECT_TRUE(w->MeasureValueButton->isEnabled());
}

// Escape during an angle measurement does what the close box does: the measurement ends, then
// the window closes; until then the main window takes no click. So with a fast measurement per
// angle.
TEST_F(WaveWindowTest, EscapeDuringAnAngleMeasurementWaitsForItsEnd) {
    for (const bool whole : {false, true}) {
        apparatus->AdvanceMs(600);  // the last tone has ended
        p.state->CurrentFreq = 2272.7;
        w->WholeSpectrum->setChecked(whole);
        bool visibleAfterEscape = false, measuring = false, closedAfterMeasuring = false;
        QTimer::singleShot(0, w, [&] {
            Activate(w);
            QTest::mouseClick(w->MeasureValueButton, Qt::LeftButton);
            measuring = w->Measuring();
            Key(w, Qt::Key_Escape);
            visibleAfterEscape = w->isVisible();
            ClickAt(f->MeasureButton, f->MeasureButton->rect().center(),
                    400000);  // "Measure": blocked
            test::FinishAngle(*w);
            closedAfterMeasuring = !w->isVisible();
            if (w->isVisible()) w->done(1);
        });
        f->WaveFunction->trigger();
        EXPECT_TRUE(measuring) << whole;
        EXPECT_TRUE(visibleAfterEscape) << whole;
        EXPECT_TRUE(closedAfterMeasuring) << whole;
        EXPECT_GT(w->WaveAmplitude[0], 0.0) << whole;  // the value was measured
        EXPECT_EQ(p.state->Running, Operation::None) << whole;
    }
    EXPECT_EQ(p.state->SpecCount[0], 0);  // no sweep ran inside the measurements
}

// "Measure value" and "Clear" are reached with Tab and pressed with Space; reopening the window
// at the frequency the values were measured at keeps them (an Escape by mistake loses
// nothing), at another frequency starts afresh (one undo step).
TEST_F(WaveWindowTest, TheButtonsByKeyAndReopeningKeepsTheValuesOfTheSameFrequency) {
    p.state->CurrentFreq = 2272.7;
    w->show();
    Activate(w);
    QList<QWidget*> reached;
    for (int i = 0; i < 40; ++i) {
        Key(w, Qt::Key_Tab);
        reached.push_back(QApplication::focusWidget());
    }
    EXPECT_TRUE(reached.contains(w->MeasureValueButton));
    EXPECT_TRUE(reached.contains(w->ClearButton));
    w->MeasureValueButton->setFocus();
    Key(w, Qt::Key_Space);
    EXPECT_TRUE(w->Measuring());
    test::FinishAngle(*w);
    apparatus->AdvanceMs(600);
    const double measured = w->WaveAmplitude[0];
    ASSERT_GT(measured, 0.0);

    Key(w, Qt::Key_Escape);
    EXPECT_FALSE(w->isVisible());
    w->Open(false);
    EXPECT_EQ(w->WaveAmplitude[0], measured);
    w->show();
    Activate(w);
    w->ClearButton->setFocus();
    Key(w, Qt::Key_Space);
    EXPECT_EQ(w->WaveAmplitude[0], 0.0);
    Key(w, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(w->WaveAmplitude[0], measured);

    w->hide();
    p.state->CurrentFreq = 3500.0;  // another resonance
    w->Open(false);
    EXPECT_EQ(w->WaveAmplitude[0], 0.0);
}

// The window says at which frequency it measures, and so does its picture; "Measure value" is
// unavailable while a tone sounds, instead of ignoring the press without a sign.
TEST_F(WaveWindowTest, TheFrequencyIsShownAndMeasureValueWaitsForTheTone) {
    p.state->CurrentFreq = 2272.7;
    w->Open(false);
    EXPECT_EQ(w->MeasuredFrequencyLabel->text(), "Measured at 2272.7 Hz");
    int dark = 0;
    for (int y = 4; y < 4 + w->PlotCanvas().TextHeight("A"); ++y) {
        for (int x = 4; x < 4 + w->PlotCanvas().TextWidth("2272.7 Hz"); ++x) {
            dark += qGray(Pixel(x, y)) < 128;
        }
    }
    EXPECT_GT(dark, 20);

    w->show();
    Measure();  // its 1 s tone plays on for 0.5 s
    EXPECT_EQ(w->AngleGroup->ItemIndex(), 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w->MeasureValueButton->isEnabled(); }));
    EXPECT_FALSE(w->MeasureValueButton->toolTip().isEmpty());
    Measure();
    EXPECT_EQ(w->AngleGroup->ItemIndex(), 1);
    apparatus->AdvanceMs(600);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w->MeasureValueButton->isEnabled(); }));
    Measure();
    EXPECT_EQ(w->AngleGroup->ItemIndex(), 2);
    w->hide();
}

}  // namespace
}  // namespace sonarix

namespace sonarix {
namespace {

// "Whole spectrum per angle": 19 presses make 19 fast spectra with the hemisphere following;
// a click on a thumbnail's peak and a frequency typed choose the mode whose pattern the values
// show; undo, Clear, Save Data and a session file keep to the chosen frequency's values and
// the spectra.
TEST_F(WaveWindowTest, WholeSpectrumPerAngleChoosesAnyModeAfterOneSeries) {
    f->StartFrequencyEdit->setText("1500");
    f->StopFrequencyEdit->setText("4000");
    double mode[3] = {};
    for (const physics::CavityMode& m : apparatus->Modes()) {
        if (m.n == 1 && m.l >= 1 && m.l <= 2) mode[m.l] = m.frequency;
    }
    ASSERT_GT(mode[1], 1500.0);
    ASSERT_LT(mode[2], 4000.0);
    w->show();
    const int plotWidth = w->PlotPanel->width(), windowWidth = w->width();
    w->WholeSpectrum->trigger();
    EXPECT_EQ(w->width(), windowWidth + WaveFunctionWindow::kSeriesWidth);
    EXPECT_EQ(w->PlotPanel->width(), plotWidth);
    EXPECT_TRUE(w->Thumbnails->isVisible());
    p.state->CurrentFreq = mode[1];
    for (int k = 0; k < kAngles; ++k) {
        Measure();
        ASSERT_NE(w->Series[static_cast<size_t>(k)], nullptr) << 10 * k << " degrees";
    }
    EXPECT_EQ(p.virtualWindow->Angle(), 180.0);
    EXPECT_FALSE(w->FastProgress->isVisible());
    auto follows = [&](int l) {
        double largest = 0, truthLargest = 0;
        for (int k = 0; k < kAngles; ++k) {
            const double c = (std::cos(10.0 * k * std::numbers::pi / 180.0) - 1.0) / 2.0;
            truthLargest = std::max(truthLargest, std::fabs(Legendre(l, c)));
            largest = std::max(largest, w->WaveAmplitude[static_cast<size_t>(k)]);
        }
        double worst = 0;
        for (int k = 0; k < kAngles; ++k) {
            const double c = (std::cos(10.0 * k * std::numbers::pi / 180.0) - 1.0) / 2.0;
            worst = std::max(worst, std::fabs(w->WaveAmplitude[static_cast<size_t>(k)] / largest -
                                              std::fabs(Legendre(l, c)) / truthLargest));
        }
        return worst;
    };
    EXPECT_LT(follows(1), 0.05);
    const WaveValues l1 = w->WaveAmplitude;

    // A click one pixel beside the l = 2 peak in the thumbnail of 0 degrees snaps to its top.
    const auto [lo, hi] = w->SeriesRange();
    const QRect cell(0, 0, w->Thumbnails->width() / 2 - 2, w->Thumbnails->height() / 10 - 2);
    const int x = static_cast<int>((mode[2] - lo) / (hi - lo) * cell.width()) + 1;
    QTest::mouseClick(w->Thumbnails, Qt::LeftButton, {}, QPoint(x, cell.height() / 2));
    EXPECT_NEAR(p.state->CurrentFreq, mode[2], 1.0);
    EXPECT_LT(follows(2), 0.05);

    EXPECT_EQ(w->FrequencyEdit->text().toDouble(), std::round(p.state->CurrentFreq * 10) / 10);
    const WaveValues l2 = w->WaveAmplitude;
    const std::string file = TempFile("series.dat");
    w->ChooseSaveFile = [&] { return std::optional<std::string>(file); };
    w->SaveData->trigger();
    EXPECT_EQ(Read(file), WaveLines(l2));
    fs::remove(file);

    // Typed: the l = 1 mode again, as measured (Return measures nothing); an unreadable entry
    // says so and changes nothing.
    w->FrequencyEdit->setFocus();
    w->FrequencyEdit->setText(QString::number(mode[1], 'f', 4));
    QTest::keyClick(w->FrequencyEdit, Qt::Key_Return);
    for (int k = 0; k < kAngles; ++k) EXPECT_NEAR(w->WaveAmplitude[k], l1[k], 1e-6 * l1[k]);
    w->FrequencyEdit->setText("12o0");
    QTest::keyClick(w->FrequencyEdit, Qt::Key_Return);
    EXPECT_EQ(messages.Messages().size(), 1u);
    EXPECT_NEAR(p.state->CurrentFreq, mode[1], 1e-4);
    w->Undo->trigger();
    EXPECT_EQ(w->WaveAmplitude, l2);

    // Clear empties the spectra with the values; undo brings both back, and a session keeps them.
    const WaveSeries series = w->Series;
    QTest::mouseClick(w->ClearButton, Qt::LeftButton);
    EXPECT_EQ(w->Series[0], nullptr);
    w->Undo->trigger();
    EXPECT_EQ(w->Series, series);
    const SessionData saved = p.session->Capture();
    SessionData back;
    std::string reason;
    ASSERT_TRUE(ParseSession(SessionJson(saved, true), back, reason)) << reason;
    EXPECT_TRUE(SameBits(back.wave.series, series));

    w->WholeSpectrum->trigger();
    EXPECT_EQ(w->width(), windowWidth);
    EXPECT_FALSE(w->SeriesPanel->isVisible());
    w->hide();
}

// A 6 mm spacer ring splits l = 1 and l = 2 into peaks 26 ... 117 Hz apart; l = 2, m = 0
// couples at a sixteenth of its neighbours' strength, so read off the spectrum its pattern is
// theirs. With "Fit split peaks" each member's values follow |cos(m alpha)| within 3 %, and a
// member silent at an angle (m = 1 at 90 degrees) reads nothing there.
// About 3 s: 19 fast measurements over 2 kHz.
TEST_F(WaveWindowTest, FitSplitPeaksGivesEachMemberOfARingSplitModeItsOwnPattern) {
    physics::SphereSetup ring;
    ring.ring = 0.006;
    apparatus->SetSphere(ring);
    f->StartFrequencyEdit->setText("1900");
    f->StopFrequencyEdit->setText("3900");
    w->WholeSpectrum->trigger();
    w->FitPeaks->trigger();
    for (int k = 0; k < kAngles; ++k) Measure();
    // Without a calibrated latency the phases are not the resonator's: said, nothing changed.
    const WaveValues before = w->WaveAmplitude;
    w->FrequencyEdit->setText("2250");
    QTest::keyClick(w->FrequencyEdit, Qt::Key_Return);
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_NE(messages.Messages()[0].find("Calibrate Latency"), std::string::npos);
    EXPECT_EQ(w->WaveAmplitude, before);

    // Calibrated through the sphere, as a user does it: the calibration reads the resonator's
    // excess phase as a little more delay, which each angle's fit finds and takes out.
    class Calibrator : public CalibrationWindow {
        int VolumePosition() const override { return 50; }
    } calibrator;
    ASSERT_TRUE(CalibrateLatency(*p.state, calibrator).found);
    w->ClearButton->click();
    // Return in the field while an angle is measured chooses nothing.
    const double chosen = p.state->CurrentFreq;
    AtRound(3, [&] {
        w->FrequencyEdit->setText("2500");
        QTest::keyClick(w->FrequencyEdit, Qt::Key_Return);
    });
    for (int k = 0; k < kAngles; ++k) Measure();
    EXPECT_EQ(p.state->CurrentFreq, chosen);
    for (const physics::CavityMode& m : apparatus->Modes()) {
        if ((m.l != 1 && m.l != 2) || m.n != 1) continue;
        w->FrequencyEdit->setText(QString::number(m.frequency + 3.0, 'f', 1));
        QTest::keyClick(w->FrequencyEdit, Qt::Key_Return);
        EXPECT_NEAR(p.state->CurrentFreq, m.frequency, 0.3) << m.l << " " << m.m;
        EXPECT_FALSE(w->PeakLabel->text().isEmpty());
        const double largest = *std::max_element(w->WaveAmplitude.begin(), w->WaveAmplitude.end());
        for (int k = 0; k < kAngles; ++k) {
            EXPECT_NEAR(w->WaveAmplitude[static_cast<size_t>(k)] / largest,
                        std::abs(std::cos(m.m * k * std::numbers::pi / 18.0)), 0.03)
                << "l = " << m.l << ", m = " << m.m << " at " << 10 * k;
        }
    }
    EXPECT_EQ(messages.Messages().size(), 1u);
}

}  // namespace
}  // namespace sonarix
