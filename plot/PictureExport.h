// The windows' saving: a text file (written safely, a failure shown), and the picture export
// and printing of a plot, shared by the three plot windows: the visible panel
// copied from the plot image, written as BMP (uncompressed, 24 bits), JPEG (libjpeg: quality
// 100, baseline, 3 components) or PNG by the name's extension; or drawn once more by the
// window's own drawing code as vectors into SVG or PDF, and onto a printer's page at its
// resolution under a title line.
#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QPainter;
class QPrinter;
class QWidget;

namespace sonarix {

enum class PictureFormat { Bmp, Jpeg, Png, Svg, Pdf };

// By the extension, whatever its case: .jpg and .jpeg JPEG, .png PNG, .svg SVG, .pdf PDF,
// anything else BMP.
PictureFormat FormatOf(const std::string& name);
// A name without extension gets ".bmp".
std::string WithDefaultExtension(const std::string& name);

std::string EncodeBmp(const QImage& image);
std::string EncodeJpeg(const QImage& image);
std::string EncodePng(const QImage& image);

// Draws the window's plot once more, on the painter, in the plot image's pixel coordinates
// (the window gives its canvas the painter: Canvas::SetVector).
using VectorDrawing = std::function<void(QPainter&)>;

class Canvas;
// The vector drawing of a window whose complete picture `draw` makes on `canvas`: the canvas
// hands its primitives to the painter while `draw` runs (the picture on it stays the same).
VectorDrawing CanvasVectors(Canvas& canvas, std::function<void()> draw);

// The plot of w x h drawn as vectors into an SVG or a PDF page of the same size (96 dpi).
std::string EncodeSvg(int w, int h, const VectorDrawing& draw);
std::string EncodePdf(int w, int h, const VectorDrawing& draw);

// Writes content as the file `name` (WriteTextFile) and shows a failure in the runtime's error
// box. True when written.
bool SaveTextFile(const std::string& name, const std::string& content);

// Writes the picture under `name` through the safe writing; SVG and PDF drawn by `vector`
// (without one, the picture as an image in them). False after the error box
// "Datei "name" kann nicht erstellt werden. <reason>" has been shown.
bool SavePicture(const QImage& picture, const std::string& name, const VectorDrawing& vector = {});

// A printed page's title: pieces of text, each in its colour (0x00BBGGRR).
struct TitlePiece {
    QString text;
    uint32_t color = 0;
};
using PrintTitle = std::vector<TitlePiece>;

// Where a plot of w x h goes on a printable area of pageWidth x pageHeight device pixels: the
// full width at the top, keeping the aspect ratio; too tall, the full height, centred.
QRect PrintRectangle(int pageWidth, int pageHeight, int w, int h);

// "Save as Image", "Printer Setup" and "Print" of one plot window, with its own printer
// settings. The dialogs are replaceable, so tests run without a person.
class PlotOutput {
public:
    explicit PlotOutput(QWidget* window);
    ~PlotOutput();

    // The visible plot: (0, 0) ... (w, h) of the plot image.
    static QImage VisiblePlot(const QImage& image, int w, int h);

    void SaveAsImage(const QImage& plot, const VectorDrawing& vector = {});
    void PrinterSetup();
    // The title line on top; the plot below it at the printer's resolution, as wide as the
    // page in portrait and as large as the page allows in landscape.
    void Print(const QImage& plot, const VectorDrawing& vector = {}, const PrintTitle& title = {});

    // SavePictureDialog1: BMP, JPEG, PNG, SVG and PDF offered, default extension "bmp".
    std::function<std::optional<std::string>()> ChoosePictureFile;
    // PrintDialog1 and PrinterSetupDialog1: true unless cancelled.
    std::function<bool(QPrinter&)> RunPrintDialog;
    std::function<bool(QPrinter&)> RunPrinterSetup;
    QPrinter& Printer() { return *m_printer; }

private:
    QWidget* m_window;
    std::unique_ptr<QPrinter> m_printer;
};

}  // namespace sonarix
