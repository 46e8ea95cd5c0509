// The drawing primitives every plot is made of, on a QImage: pen position, LineTo without its
// end point, Rectangle without its right and bottom edges, opaque TextOut, text metrics and
// single pixels. Colours are 0x00BBGGRR.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QRect>
#include <QString>
#include <cstdint>
#include <memory>

class QPainter;

namespace sonarix {

// 0x00BBGGRR to Qt's 0xAARRGGBB and back.
inline QRgb ToQRgb(uint32_t c) {
    return 0xFF000000u | ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
}
inline uint32_t FromQRgb(QRgb c) { return ((c >> 16) & 0xFF) | (c & 0xFF00) | ((c & 0xFF) << 16); }

// Draws on an image it does not own. Pixels outside the clip rectangle (by default the whole
// image) are not drawn: the plots clip to the part of the image that can be seen.
// GUI thread only.
class Canvas {
public:
    explicit Canvas(QImage* image);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    QImage* Image() const { return m_image; }
    void SetClip(const QRect& clip);
    // While set, every primitive is also drawn on `painter` as lines, polygons, rectangles and
    // text in the image's coordinates (a vector picture or a printer page at any scale); the
    // image is drawn as always. Not owned; nullptr ends it.
    void SetVector(QPainter* painter);
    bool HasVector() const { return m_vector != nullptr; }
    // How many primitives have been drawn so far: a picture made beside the image (a sharp
    // one for a high-resolution screen) is current while this has not moved on.
    uint64_t Drawn() const { return m_drawn; }

    // Drawing state.
    uint32_t PenColor = 0;
    int PenWidth = 1;
    uint32_t BrushColor = 0xFFFFFF;
    uint32_t FontColor = 0;
    void SetFont(const QFont& font);
    const QFont& Font() const { return m_font; }

    void MoveTo(int x, int y);
    // Bresenham's line from the pen position to (x, y), without (x, y); the pen moves there.
    // A pen wider than one pixel puts a square of that size on every pixel of the line.
    void LineTo(int x, int y);
    // The polyline MoveTo(x[0], y[0]), LineTo(x[i], y[i]) for i = 0 ... n - 1, with the same
    // pixels, drawn column by column: the pixels each line puts into one column form one
    // vertical run, and adjoining runs in a column are merged before they are filled, so that
    // a dense curve costs about one run per column instead of one pixel per point.
    void Polyline(const int* x, const int* y, int n);
    // The same, with the points before rounding for the vector picture (fineX[i] rounds to
    // x[i]): a curve drawn at a finer resolution than the image's does not step by its pixels.
    void Polyline(const int* x, const int* y, int n, const double* fineX, const double* fineY);
    // Fills (x1, y1) ... (x2 - 1, y2 - 1) with the brush and outlines it with the pen.
    void Rectangle(int x1, int y1, int x2, int y2);
    // A closed polygon of n points, its inside filled with `fill` (even-odd rule, no
    // smoothing) and its edges drawn with the pen, the last point joined to the first.
    void Polygon(const int* x, const int* y, int n, uint32_t fill);
    // Fills the rectangle with the brush only.
    void FillRect(int x1, int y1, int x2, int y2, uint32_t color);
    // Text with its top-left corner at (x, y), on a cell of the brush colour.
    void TextOut(int x, int y, const QString& text);
    int TextWidth(const QString& text) const;
    int TextHeight(const QString& text) const;
    uint32_t Pixel(int x, int y) const;
    void SetPixel(int x, int y, uint32_t color);

    // Ends the text painter (text is drawn at once; the painter is kept between texts).
    void Flush();

private:
    void Plot(int x, int y, QRgb color);
    void FillRun(int x, int y1, int y2, QRgb color);  // y1 <= y2, inclusive
    QPainter& Painter();

    QRgb* Row(int y) const { return m_bits + static_cast<ptrdiff_t>(y) * m_stride; }

    QImage* m_image;
    QRgb* m_bits = nullptr;  // the image's pixels, fetched once: scanLine() costs a call per row
    ptrdiff_t m_stride = 0;  // pixels per row
    QRect m_clip;
    QFont m_font;
    std::unique_ptr<QFontMetrics> m_metrics;
    std::unique_ptr<QPainter> m_painter;
    QPainter* m_vector = nullptr;
    uint64_t m_drawn = 0;
    void VectorPen(QRgb color);
    int m_penX = 0;
    int m_penY = 0;
};

}  // namespace sonarix
