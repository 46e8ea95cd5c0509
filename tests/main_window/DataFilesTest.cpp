// "Save Spectrum " and "Open Spectrum" in the main window, with the dialogs answered by tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QImage>
#include <QPainter>
#include <QPrinter>
#include <QSvgRenderer>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "plot/Controls.h"
#include "plot/PictureExport.h"
#include "tests/ProgramFixture.h"
#include "ui/main/MainWindow.h"

namespace sonarix {
namespace {

namespace fs = std::filesystem;

class SpectrumFilesTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Start());
        std::string t = (fs::temp_directory_path() / "sonarix-spectra.XXXXXX").string();
        dir = mkdtemp(t.data());
    }
    void TearDown() override {
        fs::remove_all(dir);
        ProgramOnApparatus::TearDown();
    }
    std::string File(const char* name) const { return (dir / name).string(); }
    void Answer(const std::string& name) {
        f->ChooseSaveFile = [name] { return std::optional<std::string>(name); };
        f->ChooseOpenFile = [name] { return std::optional<std::string>(name); };
    }
    static std::string Contents(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    fs::path dir;
};

TEST_F(SpectrumFilesTest, SaveAndOpenIntoAnotherSlot) {
    SharedState& s = *p.state;
    s.SpecCount[0] = 3;
    const double fs_[] = {1000.0, 1500.0004, -20.0}, as[] = {12.5, 0.0006, -3.25};
    for (int i = 0; i < 3; ++i) {
        s.SpecFreq[0][i + 1] = fs_[i];
        s.SpecAmp[0][i + 1] = as[i];
    }
    Fill(2, 100.0, 200.0, 10.0);
    const uint32_t colour2 = s.SpecColor[2];
    Answer(File("three.dat"));
    f->SpectrumSlotGroup->SetItemIndex(0);
    f->SaveSpectrum->trigger();
    EXPECT_EQ(Contents(File("three.dat")),
              "1000.000 12.500\r\n1500.000 0.001\r\n-20.000 -3.250\r\n");
    f->SpectrumSlotGroup->SetItemIndex(1);
    const int redraws = f->RedrawCount();
    f->OpenSpectrum->trigger();
    EXPECT_TRUE(messages.Messages().empty());
    ASSERT_EQ(s.SpecCount[1], 3);
    EXPECT_EQ(s.SpecFreq[1][1], 1000.0);
    EXPECT_EQ(s.SpecAmp[1][2], 0.001);
    EXPECT_EQ(s.SpecAmp[1][3], -3.25);
    EXPECT_EQ(f->RedrawCount(), redraws + 1);
    // Only the current slot changed.
    EXPECT_EQ(s.SpecCount[0], 3);
    EXPECT_EQ(s.SpecCount[2], 11);
    EXPECT_EQ(s.SpecColor[2], colour2);
}

TEST_F(SpectrumFilesTest, TheSlotIsTakenBeforeTheDialogAndCancelDoesNothing) {
    Fill(0, 100.0, 200.0, 10.0);
    f->SpectrumSlotGroup->SetItemIndex(0);
    f->ChooseSaveFile = [&] {
        f->SpectrumSlotGroup->SetItemIndex(3);  // the user clicks elsewhere meanwhile
        return std::optional<std::string>(File("zero.dat"));
    };
    f->SaveSpectrumExecute();
    EXPECT_EQ(Contents(File("zero.dat")).substr(0, 17), "100.000 11.636\r\n1");
    f->ChooseOpenFile = [] { return std::optional<std::string>(); };
    const int redraws = f->RedrawCount();
    f->OpenSpectrumExecute();
    EXPECT_EQ(f->RedrawCount(), redraws);
    EXPECT_EQ(p.state->SpecCount[3], 0);
    EXPECT_TRUE(messages.Messages().empty());
}

TEST_F(SpectrumFilesTest, AFailedOpenLeavesTheSlotAsItWasAndDoesNotRedraw) {
    Fill(0, 100.0, 200.0, 10.0);
    const SharedState::SlotArray before = p.state->SpecFreq[0];
    std::ofstream(File("comma.dat"), std::ios::binary) << "1,5 2\r\n3 4\r\n";
    Answer(File("comma.dat"));
    const int redraws = f->RedrawCount();
    f->OpenSpectrumExecute();
    ASSERT_EQ(messages.Messages().size(), 1u);
    // The runtime's text, then the file and the reason in plain English.
    EXPECT_EQ(messages.Messages()[0], "Ungültige numerische Eingabe.\nFile \"" + File("comma.dat") +
                                          "\": line 1 holds \"1,5\", which is not a number.");
    EXPECT_EQ(p.state->SpecCount[0], 11);
    EXPECT_EQ(p.state->SpecFreq[0], before);
    EXPECT_EQ(f->RedrawCount(), redraws);

    messages.Clear();
    Answer(File("missing.dat"));
    f->OpenSpectrumExecute();
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], "Datei nicht gefunden.\nFile \"" + File("missing.dat") +
                                          "\": No such file or directory.");
    EXPECT_EQ(p.state->SpecCount[0], 11);
}

// A file without points says so and keeps the slot (an empty slot is "Clear Spectrum"'s to
// make); a long one is cut with a message.
TEST_F(SpectrumFilesTest, AnEmptyFileKeepsTheSlotWithAMessageAndALongOneIsCut) {
    Fill(0, 100.0, 200.0, 10.0);
    std::ofstream(File("empty.dat"), std::ios::binary) << "";
    Answer(File("empty.dat"));
    f->OpenSpectrumExecute();
    EXPECT_EQ(p.state->SpecCount[0], 11);
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], "\"" + File("empty.dat") +
                                          "\" holds no points (lines of frequency and amplitude): "
                                          "Spectrum 1 was left as it was");
    messages.Clear();

    {
        std::ofstream out(File("long.dat"), std::ios::binary);
        for (int i = 1; i <= kSlotCapacity + 50; ++i) out << i << " 1.000\r\n";
    }
    Answer(File("long.dat"));
    f->OpenSpectrumExecute();
    EXPECT_EQ(p.state->SpecCount[0], kSlotCapacity);
    EXPECT_EQ(p.state->SpecFreq[0][kSlotCapacity], kSlotCapacity);
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_NE(messages.Messages()[0].find("first 20000"), std::string::npos);
}

TEST_F(SpectrumFilesTest, ASaveThatCannotBeCreatedShowsTheErrorBox) {
    Answer(File("no/folder/here.dat"));
    f->SaveSpectrumExecute();
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(test::FirstLine(messages.Messages()[0]), "Datei nicht gefunden.");
    messages.Clear();
    Answer(dir.string());
    f->SaveSpectrumExecute();
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0],
              "Ungültiger Dateiname.\nFile \"" + dir.string() + "\": Is a directory.");
}

TEST_F(SpectrumFilesTest, SaveAsImageTakesTheWholeWidePanelInTheFormatOfItsName) {
    Fill(0, 100.0, 10000.0, 10.0);
    f->DisplayWidthGroup->SetItemIndex(1);  // "wide": 1600 pixels, most of it scrolled out of view
    const std::string base = File("plot");
    f->Output().ChoosePictureFile = [&] { return std::optional<std::string>(base); };
    f->SaveAsImage->trigger();
    const QImage bmp(QString::fromStdString(base + ".bmp"), "BMP");
    ASSERT_FALSE(bmp.isNull());
    EXPECT_EQ(bmp.width(), 1600);
    EXPECT_EQ(bmp.height(), f->PlotPanel->height());
    EXPECT_EQ(bmp.convertToFormat(QImage::Format_RGB32),
              f->PlotImage->Picture.copy(0, 0, 1600, f->PlotPanel->height()));
    f->Output().ChoosePictureFile = [&] { return std::optional<std::string>(base + ".PNG"); };
    f->SaveAsImageExecute();
    EXPECT_EQ(Contents(base + ".PNG").substr(1, 3), "PNG");
    f->Output().ChoosePictureFile = [] { return std::optional<std::string>(); };
    f->SaveAsImageExecute();  // cancelled: nothing
    EXPECT_TRUE(messages.Messages().empty());
}

// Pixels of the first slot's red curve.
int RedPixels(const QImage& image) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    int n = 0;
    for (int y = 0; y < rgb.height(); ++y) {
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb c = rgb.pixel(x, y);
            n += qRed(c) > 150 && qGreen(c) < 110 && qBlue(c) < 110;
        }
    }
    return n;
}

// SVG and PDF: the plot drawn once more as vectors (paths and text, no embedded image) that
// renders where the picture on the screen has its ink; the screen's picture stays as it was.
TEST_F(SpectrumFilesTest, SaveAsImageAsSvgOrPdfHoldsVectorsThatDrawThePlot) {
    Fill(0, 100.0, 10000.0, 10.0);
    f->RedrawSpectra();
    const QImage shown =
        f->PlotImage->Picture.copy(0, 0, f->PlotPanel->width(), f->PlotPanel->height());
    const QRect ink = test::InkBounds(shown);
    const int red = RedPixels(shown);
    ASSERT_GT(red, 300);
    auto expectLikeShown = [&](const QImage& page, const char* what) {
        ASSERT_FALSE(page.isNull()) << what;
        EXPECT_NEAR(page.width(), shown.width(), 1) << what;
        EXPECT_NEAR(page.height(), shown.height(), 1) << what;
        const QRect drawn = test::InkBounds(page);
        EXPECT_NEAR(drawn.left(), ink.left(), 3) << what;
        EXPECT_NEAR(drawn.right(), ink.right(), 3) << what;
        EXPECT_NEAR(drawn.top(), ink.top(), 3) << what;
        EXPECT_NEAR(drawn.bottom(), ink.bottom(), 3) << what;
        EXPECT_GT(RedPixels(page), red / 2) << what;
    };
    const std::string svg = File("plot.svg");
    f->Output().ChoosePictureFile = [&] { return std::optional<std::string>(svg); };
    f->SaveAsImage->trigger();
    const std::string text = Contents(svg);
    EXPECT_NE(text.find("<polyline"), std::string::npos);
    EXPECT_NE(text.find("<text"), std::string::npos);
    EXPECT_EQ(text.find("<image"), std::string::npos);
    QSvgRenderer renderer(QString::fromStdString(svg));
    ASSERT_TRUE(renderer.isValid());
    QImage rendered(shown.size(), QImage::Format_RGB32);
    rendered.fill(Qt::white);
    {
        QPainter painter(&rendered);
        renderer.render(&painter);
    }
    expectLikeShown(rendered, "svg");

    const std::string pdf = File("plot.pdf");
    f->Output().ChoosePictureFile = [&] { return std::optional<std::string>(pdf); };
    f->SaveAsImage->trigger();
    const std::string bytes = Contents(pdf);
    EXPECT_EQ(bytes.rfind("%PDF", 0), 0u);
    EXPECT_EQ(bytes.find("/Subtype /Image"), std::string::npos);
    const std::string png = File("page");
    const std::string cmd = "pdftoppm -r 96 -png -singlefile '" + pdf + "' '" + png + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    expectLikeShown(QImage(QString::fromStdString(png + ".png")), "pdf");

    EXPECT_EQ(f->PlotImage->Picture.copy(0, 0, f->PlotPanel->width(), f->PlotPanel->height()),
              shown);
    EXPECT_TRUE(messages.Messages().empty());
}

// Print: the plot as vectors at the printer's resolution under a title line naming the
// slots shown and the frequency range.
TEST_F(SpectrumFilesTest, PrintDrawsVectorsUnderATitleLine) {
    Fill(0, 100.0, 10000.0, 10.0);
    Fill(2, 100.0, 10000.0, 10.0);
    f->RedrawSpectra();
    const std::string pdf = File("printed.pdf");
    f->Output().RunPrintDialog = [&](QPrinter& printer) {
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(QString::fromStdString(pdf));
        return true;
    };
    f->PrintImage->trigger();
    EXPECT_EQ(Contents(pdf).find("/Subtype /Image"), std::string::npos);
    const std::string txt = File("printed.txt");
    const std::string cmd = "pdftotext -layout '" + pdf + "' '" + txt + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    const std::string words = Contents(txt);
    const size_t title = words.find("Spectrum 1");
    ASSERT_NE(title, std::string::npos) << words;
    EXPECT_NE(words.find("Spectrum 3", title), std::string::npos);
    EXPECT_EQ(words.find("Spectrum 2"), std::string::npos);
    EXPECT_NE(words.find("... 10000 Hz"), std::string::npos);
    EXPECT_NE(words.find("Frequency [Hz]"), std::string::npos);  // the plot's own text
}

}  // namespace
}  // namespace sonarix
