// The font dialog of the plots: Qt's font chooser with a colour choice beside it, since the
// plot text has a colour of its own and Qt's font dialog offers none.
#pragma once

#include <QColor>
#include <QDialog>
#include <QFont>
#include <cstdint>
#include <functional>
#include <optional>

class QFontDialog;
class QLabel;
class QPushButton;

namespace sonarix {

// A plot font and the colour of its text (0x00BBGGRR).
struct FontChoice {
    QFont font;
    uint32_t color = 0;
};

// The font as the system really draws it: the family that substitution resolved to (Tahoma
// becomes Liberation Sans where Tahoma is missing), the size in points as the dialog shows it.
QFont ResolvedFont(const QFont& font);

// True when both fonts draw the same glyphs: resolved family, pixel size, weight, italic,
// underline and strike-out alike.
bool DrawsAlike(const QFont& a, const QFont& b);

class Canvas;

// The plot font: drawn without smoothing, as the classic canvas does.
QFont PlotFont(QFont f);

// A confirmed choice on a plot's canvas: the text colour always; the font only when it draws
// differently, so that OK without a change leaves the plot as it was. True if the font changed.
bool ApplyFontChoice(Canvas& canvas, const FontChoice& choice);

// The standard colour dialog; no value when cancelled.
std::optional<QColor> ChooseColour(QWidget* parent, const QColor& current);

class TFontDialog : public QDialog {
    Q_OBJECT
public:
    explicit TFontDialog(QWidget* parent = nullptr);

    // Opens on the font really in use and its colour.
    void SetChoice(const FontChoice& choice);
    FontChoice Choice() const;

    QFontDialog* Fonts = nullptr;         // the font chooser, without buttons of its own
    QPushButton* ColourButton = nullptr;  // "Colour..."
    QLabel* Swatch = nullptr;             // the chosen colour
    QPushButton* OkButton = nullptr;
    QPushButton* CancelButton = nullptr;

    // The colour dialog; tests put their own answer here. No value means cancelled.
    std::function<std::optional<QColor>(const QColor& current)> ChooseColor;

private:
    void ShowColour();
    uint32_t m_color = 0;
};

// Shows the dialog modally over parent on `current`; no value when it was cancelled.
std::optional<FontChoice> ChooseFontAndColour(QWidget* parent, const FontChoice& current);

}  // namespace sonarix
