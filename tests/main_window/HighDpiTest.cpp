// The plots on a screen of two device pixels per logical pixel (QT_SCALE_FACTOR=2, set
// before the application starts): each complete picture is drawn sharp at the screen's
// resolution, and scaled down it has the ink where the ordinary picture has it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "plot/Canvas.h"
#include "plot/Controls.h"
#include "tests/ProgramFixture.h"
#include "ui/fit/PeakFitWindow.h"
#include "ui/main/LiveViews.h"
#include "ui/main/MainWindow.h"
#include "ui/wave/WaveFunctionWindow.h"

namespace sonarix {
namespace {

const bool kScaled = setenv("QT_SCALE_FACTOR", "2", 1) == 0;

class HighDpiTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override {
        ASSERT_TRUE(kScaled);
        ASSERT_NO_FATAL_FAILURE(Start());
        f->show();
        QApplication::processEvents();
        ASSERT_EQ(f->devicePixelRatioF(), 2.0);
    }
    // The image as the screen shows it (twice the pixels), scaled down to logical pixels,
    // against the ordinary picture of the same part: ink in the same place within 2 pixels.
    static void ExpectSharpLikePicture(TImage& image, QSize logical, const char* what) {
        EXPECT_TRUE(image.SharpShown()) << what;
        const QImage screen = image.grab(QRect(QPoint(0, 0), logical)).toImage();
        EXPECT_EQ(screen.width(), 2 * logical.width()) << what;
        const QImage down = screen.scaled(logical, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const QRect a = test::InkBounds(down),
                    b = test::InkBounds(image.Picture.copy(QRect({0, 0}, logical)));
        EXPECT_NEAR(a.left(), b.left(), 2) << what;
        EXPECT_NEAR(a.top(), b.top(), 2) << what;
        EXPECT_NEAR(a.right(), b.right(), 2) << what;
        EXPECT_NEAR(a.bottom(), b.bottom(), 2) << what;
    }
};

TEST_F(HighDpiTest, EveryPlotIsDrawnAtTheScreensResolution) {
    Fill(0, 100.0, 10000.0, 10.0);
    f->RedrawSpectra();
    ExpectSharpLikePicture(*f->PlotImage, f->PlotPanel->size(), "spectra");
    // A partial drawing (a sweep's step) shows the pixels until the next complete picture.
    f->PlotCanvas().SetPixel(5, 5, 0);
    EXPECT_FALSE(f->PlotImage->SharpShown());
    f->RedrawSpectra();
    EXPECT_TRUE(f->PlotImage->SharpShown());
    // A sweep's steps are drawn at the ordinary resolution; at its end the picture is sharp.
    f->StartFrequencyEdit->setText("1000");
    f->StopFrequencyEdit->setText("1200");
    f->StepEdit->setText("10");
    f->TimePerStepEdit->setText("20");
    f->OnMeasureClicked();
    test::FinishSweep(*f);
    EXPECT_EQ(p.state->SpecCount[0], 20);
    EXPECT_TRUE(f->PlotImage->SharpShown());

    WaveFunctionWindow& wave = *p.waveWindow;
    wave.Open(false);
    wave.show();
    for (double& v : wave.WaveAmplitude) v = 1.0;
    wave.DrawPolarPlot();
    ExpectSharpLikePicture(*wave.PlotImage, wave.PlotPanel->size(), "polar plot");
    wave.hide();

    LiveSpectrumWindow& live = *p.liveSpectrum;
    live.show();
    live.Refresh();
    ExpectSharpLikePicture(*live.PlotImage, live.PlotPanel->size(), "live FFT");
    live.hide();
}

// A gently rising straight spectrum: on the screen its line follows the straight line to
// within device pixels, not the logical pixels' steps of two (the curve's row in each device
// column, weighted by its ink, against the straight line fitted through them).
TEST_F(HighDpiTest, CurvesAreMappedAtTheScreensResolution) {
    p.state->SpecCount[0] = 991;
    p.state->SpecColor[0] = 0x0000FF;  // red
    for (int k = 1; k <= 991; ++k) {
        p.state->SpecFreq[0][k] = 100.0 + 10.0 * (k - 1);
        p.state->SpecAmp[0][k] = 1.0 + 0.3 * (k - 1) / 990.0;
    }
    f->RedrawSpectra();
    ASSERT_TRUE(f->PlotImage->SharpShown());
    const QImage screen = f->PlotImage->grab(QRect({0, 0}, f->PlotPanel->size())).toImage();
    const int left = 2 * p.state->MarginLeft + 40,
              right = screen.width() - 2 * p.state->MarginRight - 40;
    std::vector<double> xs, ys;
    for (int x = left; x < right; ++x) {
        double weight = 0.0, sum = 0.0;
        for (int y = 0; y < screen.height(); ++y) {
            const QRgb c = screen.pixel(x, y);
            const double ink = std::max(0, qRed(c) - qGreen(c)) / 255.0;
            weight += ink;
            sum += ink * y;
        }
        if (weight > 0.0) {
            xs.push_back(x);
            ys.push_back(sum / weight);
        }
    }
    ASSERT_GT(xs.size(), 1000u);
    const double n = static_cast<double>(xs.size());
    double mx = 0, my = 0;
    for (size_t i = 0; i < xs.size(); ++i) {
        mx += xs[i] / n;
        my += ys[i] / n;
    }
    double sxy = 0, sxx = 0;
    for (size_t i = 0; i < xs.size(); ++i) {
        sxy += (xs[i] - mx) * (ys[i] - my);
        sxx += (xs[i] - mx) * (xs[i] - mx);
    }
    const double slope = sxy / sxx;
    double squares = 0.0;
    for (size_t i = 0; i < xs.size(); ++i) {
        const double off = ys[i] - (my + slope * (xs[i] - mx));
        squares += off * off;
    }
    // Steps of two device pixels leave 0.43 device pixels (rms) off the line, the unrounded
    // points 0.005.
    EXPECT_LT(std::sqrt(squares / n), 0.35);
}

}  // namespace
}  // namespace sonarix
