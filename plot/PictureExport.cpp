// Picture export and printing.
#include "plot/PictureExport.h"

#include <jpeglib.h>

#include <QBuffer>
#include <QFileDialog>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPdfWriter>
#include <QPrintDialog>
#include <QPrinter>
#include <QSvgGenerator>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>
#include <vector>

#include "measurement/Messages.h"
#include "measurement/Rounding.h"
#include "measurement/TextFiles.h"
#include "plot/Canvas.h"
#include "plot/Controls.h"

namespace sonarix {
namespace {

std::string Extension(const std::string& name) {
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string e = name.substr(dot);
    std::transform(e.begin(), e.end(), e.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return e;
}

void Put16(std::string& out, uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

}  // namespace

PictureFormat FormatOf(const std::string& name) {
    const std::string e = Extension(name);
    if (e == ".jpg" || e == ".jpeg") return PictureFormat::Jpeg;
    if (e == ".png") return PictureFormat::Png;
    if (e == ".svg") return PictureFormat::Svg;
    if (e == ".pdf") return PictureFormat::Pdf;
    return PictureFormat::Bmp;
}

std::string WithDefaultExtension(const std::string& name) {
    return Extension(name).empty() ? name + ".bmp" : name;
}

std::string EncodeBmp(const QImage& image) {
    const QImage img = image.convertToFormat(QImage::Format_RGB32);
    const uint32_t w = static_cast<uint32_t>(img.width()), h = static_cast<uint32_t>(img.height());
    const uint32_t row = (w * 3 + 3) / 4 * 4;
    std::string out;
    out.reserve(54 + static_cast<size_t>(row) * h);
    out += "BM";
    Put32(out, 54 + row * h);
    Put32(out, 0);
    Put32(out, 54);
    Put32(out, 40);  // BITMAPINFOHEADER
    Put32(out, w);
    Put32(out, h);  // positive: bottom-up rows
    Put16(out, 1);
    Put16(out, 24);
    Put32(out, 0);  // BI_RGB, no compression
    Put32(out, row * h);
    Put32(out, 3780);  // 96 dpi
    Put32(out, 3780);
    Put32(out, 0);
    Put32(out, 0);
    std::string line(row, '\0');
    for (uint32_t y = h; y-- > 0;) {
        const auto* px = reinterpret_cast<const QRgb*>(img.constScanLine(static_cast<int>(y)));
        for (uint32_t x = 0; x < w; ++x) {
            line[3 * x] = static_cast<char>(qBlue(px[x]));
            line[3 * x + 1] = static_cast<char>(qGreen(px[x]));
            line[3 * x + 2] = static_cast<char>(qRed(px[x]));
        }
        out += line;
    }
    return out;
}

std::string EncodeJpeg(const QImage& image) {
    const QImage img = image.convertToFormat(QImage::Format_RGB888);
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = static_cast<JDIMENSION>(img.width());
    c.image_height = static_cast<JDIMENSION>(img.height());
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 100, TRUE);  // baseline forced
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(img.constScanLine(static_cast<int>(c.next_scanline)));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    std::string out(reinterpret_cast<const char*>(buffer), size);
    jpeg_destroy_compress(&c);
    std::free(buffer);
    return out;
}

std::string EncodePng(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

VectorDrawing CanvasVectors(Canvas& canvas, std::function<void()> draw) {
    return [&canvas, draw = std::move(draw)](QPainter& painter) {
        canvas.SetVector(&painter);
        draw();
        canvas.SetVector(nullptr);
    };
}

std::string EncodeSvg(int w, int h, const VectorDrawing& draw) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QSvgGenerator svg;
    svg.setOutputDevice(&buffer);
    svg.setSize(QSize(w, h));
    svg.setViewBox(QRect(0, 0, w, h));
    svg.setResolution(96);
    svg.setTitle(QStringLiteral("Sonarix"));
    QPainter painter;
    if (!painter.begin(&svg)) return {};
    draw(painter);
    painter.end();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

std::string EncodePdf(int w, int h, const VectorDrawing& draw) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter pdf(&buffer);
        pdf.setResolution(96);
        pdf.setPageSize(QPageSize(QSizeF(w * 72.0 / 96.0, h * 72.0 / 96.0), QPageSize::Point,
                                  QString(), QPageSize::ExactMatch));
        pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
        pdf.setTitle(QStringLiteral("Sonarix"));
        pdf.setCreator(QStringLiteral("Sonarix"));
        QPainter painter;
        if (!painter.begin(&pdf)) return {};
        draw(painter);
        painter.end();
    }
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

bool SaveTextFile(const std::string& name, const std::string& content) {
    const std::string failure = WriteTextFile(name, content);
    if (!failure.empty()) ShowMessage(failure);
    return failure.empty();
}

bool SavePicture(const QImage& picture, const std::string& name, const VectorDrawing& vector) {
    // Without the window's drawing, a vector file holds the picture as an image.
    const VectorDrawing asImage = [&picture](QPainter& p) { p.drawImage(0, 0, picture); };
    const VectorDrawing& draw = vector ? vector : asImage;
    std::string bytes;
    switch (FormatOf(name)) {
        case PictureFormat::Svg:
            bytes = EncodeSvg(picture.width(), picture.height(), draw);
            break;
        case PictureFormat::Pdf:
            bytes = EncodePdf(picture.width(), picture.height(), draw);
            break;
        case PictureFormat::Jpeg:
            bytes = EncodeJpeg(picture);
            break;
        case PictureFormat::Png:
            bytes = EncodePng(picture);
            break;
        case PictureFormat::Bmp:
            bytes = EncodeBmp(picture);
            break;
    }
    int systemError = 0;
    if (WriteFileSafely(name, bytes, &systemError) == 0) return true;
    ShowRuntimeError("Datei \"" + name + "\" kann nicht erstellt werden. " +
                     std::strerror(systemError));
    return false;
}

QRect PrintRectangle(int pageWidth, int pageHeight, int w, int h) {
    if (w <= 0 || h <= 0) return {};
    int pw = pageWidth;
    int ph = static_cast<int>(
        Round(static_cast<double>(static_cast<int64_t>(pw) * h) / static_cast<double>(w)));
    int left = 0;
    if (ph > pageHeight) {
        ph = pageHeight;
        pw = static_cast<int>(
            Round(static_cast<double>(static_cast<int64_t>(ph) * w) / static_cast<double>(h)));
        left = (pageWidth - pw) / 2;
    }
    return QRect(left, 0, pw, ph);
}

PlotOutput::PlotOutput(QWidget* window)
    : m_window(window), m_printer(std::make_unique<QPrinter>(QPrinter::HighResolution)) {
    ChoosePictureFile = [this]() -> std::optional<std::string> {
        const FocusReturn back;
        QFileDialog d(m_window);
        d.setObjectName(QStringLiteral("SavePictureDialog1"));
        d.setAcceptMode(QFileDialog::AcceptSave);
        d.setNameFilters({QStringLiteral("Bitmap (*.bmp)"), QStringLiteral("JPEG (*.jpg *.jpeg)"),
                          QStringLiteral("PNG (*.png)"), QStringLiteral("SVG (*.svg)"),
                          QStringLiteral("PDF (*.pdf)")});
        d.setDefaultSuffix(QStringLiteral("bmp"));
        if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return std::nullopt;
        return d.selectedFiles().front().toStdString();
    };
    RunPrintDialog = [this](QPrinter& p) {
        const FocusReturn back;
        QPrintDialog d(&p, m_window);
        d.setObjectName(QStringLiteral("PrintDialog1"));
        return d.exec() == QDialog::Accepted;
    };
    RunPrinterSetup = [this](QPrinter& p) {
        const FocusReturn back;
        QPageSetupDialog d(&p, m_window);
        d.setObjectName(QStringLiteral("PrinterSetupDialog1"));
        return d.exec() == QDialog::Accepted;
    };
}

PlotOutput::~PlotOutput() = default;

QImage PlotOutput::VisiblePlot(const QImage& image, int w, int h) {
    return image.copy(0, 0, std::max(w, 1), std::max(h, 1));
}

void PlotOutput::SaveAsImage(const QImage& plot, const VectorDrawing& vector) {
    const std::optional<std::string> name = ChoosePictureFile();
    if (!name) return;
    SavePicture(plot, WithDefaultExtension(*name), vector);
}

void PlotOutput::PrinterSetup() { RunPrinterSetup(*m_printer); }

void PlotOutput::Print(const QImage& plot, const VectorDrawing& vector, const PrintTitle& title) {
    if (!RunPrintDialog(*m_printer)) return;
    QPainter painter;
    if (!painter.begin(m_printer.get())) {
        ShowRuntimeError("Drucker kann nicht verwendet werden");
        return;
    }
    const int pageW = m_printer->width(), pageH = m_printer->height();
    // The title line, 11 pt, its pieces one after the other.
    int top = 0;
    if (!title.empty()) {
        QFont font = painter.font();
        font.setPointSizeF(11.0);
        painter.setFont(font);
        const QFontMetrics m(font, m_printer.get());
        int x = 0;
        for (const TitlePiece& piece : title) {
            painter.setPen(QColor::fromRgb(ToQRgb(piece.color)));
            painter.drawText(x, m.ascent(), piece.text);
            x += m.horizontalAdvance(piece.text);
        }
        top = m.height() * 3 / 2;
    }
    // As wide as the page, or (landscape, a tall plot) as high as what is left, centred.
    const int w = std::max(plot.width(), 1), h = std::max(plot.height(), 1);
    const QRect place = PrintRectangle(pageW, pageH - top, w, h);
    painter.translate(place.left(), top);
    painter.scale(static_cast<double>(place.width()) / w, static_cast<double>(place.height()) / h);
    painter.setClipRect(QRect(0, 0, w, h));
    if (vector) {
        vector(painter);
    } else {
        painter.drawImage(0, 0, plot);
    }
    painter.end();
}

}  // namespace sonarix
