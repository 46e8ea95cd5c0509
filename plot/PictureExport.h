// Picture export and printing of a plot, shared by the three plot windows: the visible panel
// copied from the plot image, written as BMP (uncompressed, 24 bits), JPEG (libjpeg: quality
// 100, baseline, 3 components) or PNG by the name's extension, and printed on one page.
#pragma once

#include <QImage>
#include <QRect>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QPrinter;
class QWidget;

namespace sonarix {

enum class PictureFormat { Bmp, Jpeg, Png };

// By the extension, whatever its case: .jpg and .jpeg JPEG, .png PNG, anything else BMP.
PictureFormat FormatOf(const std::string& name);
// A name without extension gets ".bmp".
std::string WithDefaultExtension(const std::string& name);

std::string EncodeBmp(const QImage& image);
std::string EncodeJpeg(const QImage& image);
std::string EncodePng(const QImage& image);

// Writes the picture under `name` through the safe writing; false after the error box
// "Datei "name" kann nicht erstellt werden. <reason>" has been shown.
bool SavePicture(const QImage& picture, const std::string& name);

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

    void SaveAsImage(const QImage& plot);
    void PrinterSetup();
    void Print(const QImage& plot);

    // SavePictureDialog1: BMP, JPEG and PNG offered, default extension "bmp".
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
