// The canvas.
#include "plot/Canvas.h"

#include <QFontInfo>
#include <QPainter>
#include <QPen>
#include <QPolygon>
#include <QPolygonF>
#include <algorithm>
#include <cstdlib>

namespace sonarix {

Canvas::Canvas(QImage* image)
    : m_image(image),
      m_bits(reinterpret_cast<QRgb*>(image->bits())),
      m_stride(image->bytesPerLine() / static_cast<ptrdiff_t>(sizeof(QRgb))),
      m_clip(image->rect()) {
    SetFont(QFont());
}

Canvas::~Canvas() { Flush(); }

void Canvas::SetClip(const QRect& clip) {
    Flush();
    m_clip = clip.intersected(m_image->rect());
    if (m_vector != nullptr) m_vector->setClipRect(m_clip);
}

void Canvas::SetVector(QPainter* painter) {
    Flush();
    m_vector = painter;
    if (m_vector != nullptr) {
        m_vector->setClipRect(m_clip);
        m_vector->setRenderHint(QPainter::Antialiasing, true);
    }
}

// A pixel of the image is the square (x, y) ... (x + 1, y + 1): lines run through the pixels'
// centres, with square ends, as wide as the pen.
void Canvas::VectorPen(QRgb color) {
    QPen pen(QColor::fromRgb(color), std::max(PenWidth, 1), Qt::SolidLine, Qt::SquareCap,
             Qt::MiterJoin);
    m_vector->setPen(pen);
    m_vector->setBrush(Qt::NoBrush);
}

void Canvas::SetFont(const QFont& font) {
    Flush();
    m_font = font;
    m_metrics = std::make_unique<QFontMetrics>(m_font);
}

QPainter& Canvas::Painter() {
    if (!m_painter) {
        m_painter = std::make_unique<QPainter>(m_image);
        m_painter->setClipRect(m_clip);
    }
    return *m_painter;
}

void Canvas::Flush() { m_painter.reset(); }

void Canvas::MoveTo(int x, int y) {
    m_penX = x;
    m_penY = y;
}

// A square of the pen width on (x, y); for odd widths centred, for even ones one pixel more
// to the right and below.
void Canvas::Plot(int x, int y, QRgb color) {
    if (PenWidth <= 1) {
        if (m_clip.contains(x, y)) Row(y)[x] = color;
        return;
    }
    FillRun(x, y, y, color);
}

void Canvas::FillRun(int x, int y1, int y2, QRgb color) {
    const int a = (PenWidth - 1) / 2;
    const int w = std::max(PenWidth, 1);
    const int left = std::max(x - a, m_clip.left());
    const int right = std::min(x - a + w - 1, m_clip.right());
    const int top = std::max(y1 - a, m_clip.top());
    const int bottom = std::min(y2 - a + w - 1, m_clip.bottom());
    for (int y = top; y <= bottom; ++y) {
        QRgb* row = Row(y);
        for (int cx = left; cx <= right; ++cx) row[cx] = color;
    }
}

void Canvas::LineTo(int x1, int y1) {
    ++m_drawn;
    const QRgb color = ToQRgb(PenColor);
    int x = m_penX, y = m_penY;
    if (m_vector != nullptr && (x != x1 || y != y1)) {
        VectorPen(color);
        m_vector->drawLine(QPointF(x + 0.5, y + 0.5), QPointF(x1 + 0.5, y1 + 0.5));
    }
    const int dx = std::abs(x1 - x), dy = std::abs(y1 - y);
    const int sx = x1 > x ? 1 : -1, sy = y1 > y ? 1 : -1;
    if (dx >= dy) {
        int err = dx / 2;
        for (int i = 0; i < dx; ++i) {
            Plot(x, y, color);
            err -= dy;
            if (err < 0) {
                y += sy;
                err += dx;
            }
            x += sx;
        }
    } else {
        int err = dy / 2;
        for (int i = 0; i < dy; ++i) {
            Plot(x, y, color);
            err -= dx;
            if (err < 0) {
                x += sx;
                err += dy;
            }
            y += sy;
        }
    }
    m_penX = x1;
    m_penY = y1;
}

void Canvas::Polyline(const int* xs, const int* ys, int n) {
    Polyline(xs, ys, n, nullptr, nullptr);
}

void Canvas::Polyline(const int* xs, const int* ys, int n, const double* fineX,
                      const double* fineY) {
    if (n <= 0) return;
    ++m_drawn;
    const QRgb color = ToQRgb(PenColor);
    if (m_vector != nullptr && n > 1) {
        QPolygonF line(n);
        for (int k = 0; k < n; ++k) {
            line[k] = fineX != nullptr ? QPointF(fineX[k] + 0.5, fineY[k] + 0.5)
                                       : QPointF(xs[k] + 0.5, ys[k] + 0.5);
        }
        VectorPen(color);
        m_vector->drawPolyline(line);
    }
    // The pending run: column runX, rows runLo ... runHi.
    bool pending = false;
    int runX = 0, runLo = 0, runHi = 0;
    auto addRun = [&](int x, int lo, int hi) {
        if (pending && x == runX && lo <= runHi + 1 && hi >= runLo - 1) {
            runLo = std::min(runLo, lo);
            runHi = std::max(runHi, hi);
            return;
        }
        if (pending) FillRun(runX, runLo, runHi, color);
        pending = true;
        runX = x;
        runLo = lo;
        runHi = hi;
    };
    int x = xs[0], y = ys[0];
    for (int k = 0; k < n; ++k) {
        const int x1 = xs[k], y1 = ys[k];
        if (x1 == x) {
            // Within one column: y ... y1 without y1, the common case of a dense curve.
            // (the rows y ... y1 - 1 going down, y1 + 1 ... y going up; without a branch on
            // the direction, which noise makes unpredictable)
            if (y1 != y) addRun(x, std::min(y, y1 + 1), std::max(y, y1 - 1));
            y = y1;
            continue;
        }
        const int dx = std::abs(x1 - x), dy = std::abs(y1 - y);
        const int sx = x1 > x ? 1 : -1, sy = y1 > y ? 1 : -1;
        if (dx >= dy) {
            // One pixel per column, as LineTo steps them.
            int err = dx / 2;
            int cy = y;
            for (int i = 0; i < dx; ++i) {
                addRun(x + sx * i, cy, cy);
                err -= dy;
                if (err < 0) {
                    cy += sy;
                    err += dx;
                }
            }
        } else if (dy > 0) {
            // LineTo's steep loop moves one column after step i exactly when
            // (i + 1) dx - e0 > m dy for the m-th move (e0 = dy / 2): column m holds the
            // steps first(m) ... first(m + 1) - 1 with first(m) = ((m - 1) dy + e0) / dx + 1.
            const int64_t e0 = dy / 2;
            int64_t first = 0;
            for (int m = 0;; ++m) {
                const int64_t next =
                    dx == 0 ? dy
                            : std::min<int64_t>(dy, (static_cast<int64_t>(m) * dy + e0) / dx + 1);
                if (next > first) {
                    const int ya = y + sy * static_cast<int>(first);
                    const int yb = y + sy * static_cast<int>(next - 1);
                    addRun(x + sx * m, std::min(ya, yb), std::max(ya, yb));
                }
                first = next;
                if (first >= dy) break;
            }
        }
        x = x1;
        y = y1;
    }
    if (pending) FillRun(runX, runLo, runHi, color);
    m_penX = x;
    m_penY = y;
}

void Canvas::Polygon(const int* x, const int* y, int n, uint32_t fill) {
    if (n <= 0) return;
    ++m_drawn;
    QPolygon poly(n);
    for (int i = 0; i < n; ++i) poly.setPoint(i, x[i], y[i]);
    QPainter& p = Painter();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor::fromRgb(ToQRgb(fill)));
    p.drawPolygon(poly, Qt::OddEvenFill);
    Flush();  // the edges go straight into the pixels, after the fill
    if (m_vector != nullptr) {
        QPolygonF shape(n);
        for (int i = 0; i < n; ++i) shape[i] = QPointF(x[i] + 0.5, y[i] + 0.5);
        m_vector->setPen(Qt::NoPen);
        m_vector->setBrush(QColor::fromRgb(ToQRgb(fill)));
        m_vector->drawPolygon(shape, Qt::OddEvenFill);
    }
    MoveTo(x[n - 1], y[n - 1]);
    for (int i = 0; i < n; ++i) LineTo(x[i], y[i]);
}

void Canvas::FillRect(int x1, int y1, int x2, int y2, uint32_t color) {
    ++m_drawn;
    const QRect r = QRect(QPoint(x1, y1), QPoint(x2 - 1, y2 - 1)).intersected(m_clip);
    if (r.isEmpty()) return;
    const QRgb c = ToQRgb(color);
    if (m_vector != nullptr) m_vector->fillRect(QRectF(r), QColor::fromRgb(c));
    for (int y = r.top(); y <= r.bottom(); ++y)
        std::fill(Row(y) + r.left(), Row(y) + r.right() + 1, c);
}

void Canvas::Rectangle(int x1, int y1, int x2, int y2) {
    FillRect(x1, y1, x2, y2, BrushColor);
    if (x2 <= x1 || y2 <= y1) return;
    // The outline runs along the first and last column and row inside the rectangle.
    MoveTo(x1, y1);
    LineTo(x2 - 1, y1);
    LineTo(x2 - 1, y2 - 1);
    LineTo(x1, y2 - 1);
    LineTo(x1, y1);
}

void Canvas::TextOut(int x, int y, const QString& text) {
    FillRect(x, y, x + TextWidth(text), y + TextHeight(text), BrushColor);
    QPainter& p = Painter();
    p.setFont(m_font);
    p.setPen(QColor::fromRgb(ToQRgb(FontColor)));
    p.drawText(x, y + m_metrics->ascent(), text);
    if (m_vector != nullptr) {
        // In the pixels the layout was measured in, whatever the target's resolution.
        QFont font = m_font;
        font.setPixelSize(std::max(1, QFontInfo(m_font).pixelSize()));
        m_vector->setFont(font);
        m_vector->setPen(QColor::fromRgb(ToQRgb(FontColor)));
        m_vector->drawText(QPointF(x, y + m_metrics->ascent()), text);
    }
}

int Canvas::TextWidth(const QString& text) const { return m_metrics->horizontalAdvance(text); }

int Canvas::TextHeight(const QString& /*text*/) const { return m_metrics->height(); }

uint32_t Canvas::Pixel(int x, int y) const {
    if (!m_image->rect().contains(x, y)) return 0xFFFFFFFF;
    return FromQRgb(Row(y)[x]);
}

void Canvas::SetPixel(int x, int y, uint32_t color) {
    ++m_drawn;
    if (!m_clip.contains(x, y)) return;
    Row(y)[x] = ToQRgb(color);
    if (m_vector != nullptr) m_vector->fillRect(QRectF(x, y, 1, 1), QColor::fromRgb(ToQRgb(color)));
}

}  // namespace sonarix
