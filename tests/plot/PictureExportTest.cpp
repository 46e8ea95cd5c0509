// Picture export and printing: the formats by extension, the BMP and JPEG encodings checked by
// decoding them, the page placement, a PDF print, and the error box of a failed write.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <unistd.h>

#include <QImage>
#include <QPageLayout>
#include <QPrinter>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "measurement/TextFiles.h"
#include "platform/Context.h"
#include "plot/PictureExport.h"
#include "tests/TestSupport.h"

namespace sonarix {
namespace {

namespace fs = std::filesystem;

QImage Noise(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    std::mt19937 rng(5);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) img.setPixel(x, y, 0xFF000000u | (rng() & 0xFFFFFF));
    }
    return img;
}

struct FormatCase {
    const char* name;
    PictureFormat format;
};

class PictureFormats : public testing::TestWithParam<FormatCase> {};

TEST_P(PictureFormats, ChosenByTheExtensionWhateverItsCase) {
    EXPECT_EQ(FormatOf(GetParam().name), GetParam().format);
}

INSTANTIATE_TEST_SUITE_P(
    Names, PictureFormats,
    testing::Values(
        FormatCase{"a.jpg", PictureFormat::Jpeg}, FormatCase{"a.JPG", PictureFormat::Jpeg},
        FormatCase{"a.jpeg", PictureFormat::Jpeg}, FormatCase{"/x/a.JPEG", PictureFormat::Jpeg},
        FormatCase{"a.png", PictureFormat::Png}, FormatCase{"a.PNG", PictureFormat::Png},
        FormatCase{"a.bmp", PictureFormat::Bmp}, FormatCase{"a.ico", PictureFormat::Bmp},
        FormatCase{"a", PictureFormat::Bmp}, FormatCase{"dir.jpg/a", PictureFormat::Bmp}),
    [](const auto& info) { return test::CaseName(info.index, info.param.name); });

TEST(PictureNames, WithoutExtensionGetsBmp) {
    EXPECT_EQ(WithDefaultExtension("/tmp/plot"), "/tmp/plot.bmp");
    EXPECT_EQ(WithDefaultExtension("/tmp/plot.png"), "/tmp/plot.png");
    EXPECT_EQ(WithDefaultExtension("/tmp/a.b/plot"), "/tmp/a.b/plot.bmp");
}

TEST(PictureEncodings, BmpIsUncompressed24BitWithThePixels) {
    const QImage img = Noise(37, 11);  // rows padded to 4 bytes
    const std::string bmp = EncodeBmp(img);
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    auto u16 = [&](size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(bmp[at])) |
               static_cast<unsigned>(static_cast<unsigned char>(bmp[at + 1])) << 8;
    };
    EXPECT_EQ(u16(28), 24u);  // bits per pixel
    EXPECT_EQ(u16(30), 0u);   // BI_RGB
    EXPECT_EQ(bmp.size(), 54u + 11u * 112u);
    const QImage back = QImage::fromData(reinterpret_cast<const uchar*>(bmp.data()),
                                         static_cast<int>(bmp.size()), "BMP")
                            .convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(back, img);
}

TEST(PictureEncodings, JpegIsBaselineQuality100WithThreeComponents) {
    const QImage img = Noise(64, 40);
    const std::string jpg = EncodeJpeg(img);
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, reinterpret_cast<const unsigned char*>(jpg.data()),
                 static_cast<unsigned long>(jpg.size()));
    ASSERT_EQ(jpeg_read_header(&d, TRUE), JPEG_HEADER_OK);
    EXPECT_EQ(d.image_width, 64u);
    EXPECT_EQ(d.image_height, 40u);
    EXPECT_EQ(d.num_components, 3);
    EXPECT_FALSE(d.progressive_mode);
    EXPECT_EQ(d.jpeg_color_space, JCS_YCbCr);
    // Quality 100: every entry of the quantisation tables is 1.
    for (int t = 0; t < 2; ++t) {
        ASSERT_NE(d.quant_tbl_ptrs[t], nullptr);
        for (int i = 0; i < DCTSIZE2; ++i) EXPECT_EQ(d.quant_tbl_ptrs[t]->quantval[i], 1) << t;
    }
    jpeg_destroy_decompress(&d);
    EXPECT_EQ(EncodePng(img).substr(1, 3), "PNG");
}

TEST(Printing, FullWidthAtTheTopOrFullHeightCentred) {
    // Portrait A4 at 600 dpi: 4960 x 7016 printable; 800 x 660 fills the width.
    EXPECT_EQ(PrintRectangle(4960, 7016, 800, 660), QRect(0, 0, 4960, 4092));
    // Landscape: too tall for the width, so the height, centred.
    const QRect r = PrintRectangle(7016, 4960, 800, 660);
    EXPECT_EQ(r.height(), 4960);
    EXPECT_EQ(r.width(), 6012);  // Round(4960 * 800 / 660)
    EXPECT_EQ(r.left(), (7016 - 6012) / 2);
    EXPECT_EQ(r.top(), 0);
}

// The bounding box of the non-white pixels of a PNG page.
QRect InkBounds(const QImage& page) {
    QRect box;
    for (int y = 0; y < page.height(); ++y) {
        for (int x = 0; x < page.width(); ++x) {
            if ((page.pixel(x, y) & 0xFFFFFF) != 0xFFFFFF) box |= QRect(x, y, 1, 1);
        }
    }
    return box;
}

TEST(Printing, APdfPageHoldsThePlotWhereItBelongs) {
    const fs::path dir = fs::temp_directory_path() / ("sonarix-print-" + std::to_string(getpid()));
    fs::create_directories(dir);
    QImage plot(800, 660, QImage::Format_RGB32);
    plot.fill(Qt::black);  // all ink, so the bounds are the placed rectangle
    for (const bool landscape : {false, true}) {
        PlotOutput out(nullptr);
        const std::string pdf = (dir / (landscape ? "l.pdf" : "p.pdf")).string();
        out.RunPrintDialog = [&](QPrinter& p) {
            p.setOutputFormat(QPrinter::PdfFormat);
            p.setOutputFileName(QString::fromStdString(pdf));
            p.setPageOrientation(landscape ? QPageLayout::Landscape : QPageLayout::Portrait);
            return true;
        };
        out.Print(plot);
        const std::string png = (dir / "page").string();
        const std::string cmd = "pdftoppm -r 40 -png -singlefile '" + pdf + "' '" + png + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        const QImage page(QString::fromStdString(png + ".png"));
        ASSERT_FALSE(page.isNull());
        const QRect ink = InkBounds(page);
        const QRect printable =
            out.Printer().pageLayout().paintRectPixels(40);  // at the rendering's resolution
        const QRect expected = PrintRectangle(printable.width(), printable.height(), 800, 660)
                                   .translated(printable.topLeft());
        EXPECT_NEAR(ink.left(), expected.left(), 2) << landscape;
        EXPECT_NEAR(ink.top(), expected.top(), 2) << landscape;
        EXPECT_NEAR(ink.width(), expected.width(), 2) << landscape;
        EXPECT_NEAR(ink.height(), expected.height(), 2) << landscape;
    }
    fs::remove_all(dir);
}

TEST(PictureErrors, AFailedWriteShowsTheNameAndTheReasonAndLeavesNoFile) {
    test::MessageRecorder messages;
    const QImage img = Noise(10, 10);
    const std::string name = "/nonexistent-folder/plot.bmp";
    EXPECT_FALSE(SavePicture(img, name));
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0],
              "Datei \"/nonexistent-folder/plot.bmp\" kann nicht erstellt werden. No such file or "
              "directory.");
    // Denied in the middle of writing: the old picture stays.
    const fs::path file =
        fs::temp_directory_path() / ("sonarix-pic-" + std::to_string(getpid()) + ".jpg");
    std::ofstream(file, std::ios::binary) << "old";
    {
        const platform::ContextScope denied(
            [](platform::Context& c) { c.writeFault = [](size_t) { return EACCES; }; });
        EXPECT_FALSE(SavePicture(img, file.string()));
    }
    EXPECT_NE(messages.Messages()[1].find("Permission denied."), std::string::npos);
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), "old");
    fs::remove(file);
}

}  // namespace
}  // namespace sonarix
