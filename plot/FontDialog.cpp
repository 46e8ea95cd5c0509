// The font dialog of the plots.
#include "plot/FontDialog.h"

#include <QColorDialog>
#include <QFontDialog>
#include <QFontInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "plot/Canvas.h"
#include "plot/Controls.h"

namespace sonarix {

QFont ResolvedFont(const QFont& font) {
    const QFontInfo info(font);
    QFont f = font;
    f.setFamily(info.family());
    f.setPointSizeF(info.pointSizeF());
    return f;
}

bool DrawsAlike(const QFont& a, const QFont& b) {
    const QFontInfo ia(a), ib(b);
    return ia.family() == ib.family() && ia.pixelSize() == ib.pixelSize() &&
           ia.weight() == ib.weight() && ia.italic() == ib.italic() &&
           a.underline() == b.underline() && a.strikeOut() == b.strikeOut();
}

QFont PlotFont(QFont f) {
    f.setStyleStrategy(QFont::NoAntialias);
    return f;
}

bool ApplyFontChoice(Canvas& canvas, const FontChoice& choice) {
    canvas.FontColor = choice.color;
    if (DrawsAlike(choice.font, canvas.Font())) return false;
    canvas.SetFont(PlotFont(choice.font));
    return true;
}

std::optional<QColor> ChooseColour(QWidget* parent, const QColor& current) {
    const QColor c = QColorDialog::getColor(current, parent);
    return c.isValid() ? std::optional<QColor>(c) : std::nullopt;
}

TFontDialog::TFontDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FontDialog"));
    setWindowTitle(QStringLiteral("Font"));
    Fonts = Named(new QFontDialog(this), "Fonts");
    Fonts->setOptions(QFontDialog::NoButtons | QFontDialog::DontUseNativeDialog);
    Fonts->setWindowFlags(Qt::Widget);
    // Return and Escape in the chooser, a dialog of its own, close it: they confirm or cancel
    // the whole dialog.
    connect(Fonts, &QDialog::accepted, this, &QDialog::accept);
    connect(Fonts, &QDialog::rejected, this, &QDialog::reject);
    ColourButton = Named(new QPushButton(QStringLiteral("Colour..."), this), "ColourButton");
    Swatch = Named(new QLabel(this), "Swatch");
    Swatch->setFixedSize(40, 20);
    Swatch->setFrameShape(QFrame::Box);
    Swatch->setAutoFillBackground(true);
    OkButton = Named(new QPushButton(QStringLiteral("OK"), this), "OkButton");
    OkButton->setDefault(true);
    CancelButton = Named(new QPushButton(QStringLiteral("Cancel"), this), "CancelButton");

    auto* buttons = new QHBoxLayout();
    buttons->addWidget(ColourButton);
    buttons->addWidget(Swatch);
    buttons->addStretch(1);
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Fonts);
    layout->addLayout(buttons);

    ChooseColor = [this](const QColor& current) { return ChooseColour(this, current); };
    connect(ColourButton, &QPushButton::clicked, this, [this] {
        const std::optional<QColor> c = ChooseColor(QColor::fromRgb(ToQRgb(m_color)));
        if (!c) return;
        m_color = FromQRgb(c->rgb());
        ShowColour();
    });
    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    ShowColour();
}

void TFontDialog::SetChoice(const FontChoice& choice) {
    Fonts->setCurrentFont(ResolvedFont(choice.font));
    m_color = choice.color;
    ShowColour();
}

FontChoice TFontDialog::Choice() const { return FontChoice{Fonts->currentFont(), m_color}; }

void TFontDialog::ShowColour() {
    QPalette pal = Swatch->palette();
    pal.setColor(QPalette::Window, QColor::fromRgb(ToQRgb(m_color)));
    Swatch->setPalette(pal);
}

std::optional<FontChoice> ChooseFontAndColour(QWidget* parent, const FontChoice& current) {
    TFontDialog d(parent);
    d.setFont(parent != nullptr ? parent->font() : DialogFont());
    d.SetChoice(current);
    if (d.exec() != QDialog::Accepted) return std::nullopt;
    return d.Choice();
}

}  // namespace sonarix
