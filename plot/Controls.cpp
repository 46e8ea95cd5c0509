// The radio group, the plot image and the control builders.
#include "plot/Controls.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QRegion>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>

#include "measurement/FixedText.h"
#include "platform/Clock.h"
#include "plot/Canvas.h"

namespace sonarix {

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent)
    : QGroupBox(caption, parent), m_group(new QButtonGroup(this)) {
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        m_group->addButton(b, i);
        m_buttons.push_back(b);
    }
    connect(m_group, &QButtonGroup::idClicked, this, [this](int) { emit Clicked(); });
    // One tab stop: the checked item (the first while none is); the arrow keys move within.
    connect(m_group, &QButtonGroup::idToggled, this, [this](int, bool) { UpdateTabStop(); });
    UpdateTabStop();
}

void TRadioGroup::UpdateTabStop() {
    const int checked = std::max(m_group->checkedId(), 0);
    for (size_t i = 0; i < m_buttons.size(); ++i) {
        m_buttons[i]->setFocusPolicy(static_cast<int>(i) == checked ? Qt::StrongFocus
                                                                    : Qt::ClickFocus);
    }
}

int TRadioGroup::ItemIndex() const { return m_group->checkedId(); }

void TRadioGroup::SetItemIndex(int index) {
    if (index == ItemIndex()) return;
    if (index < 0 || index >= static_cast<int>(m_buttons.size())) {
        m_group->setExclusive(false);
        for (auto* b : m_buttons) b->setChecked(false);
        m_group->setExclusive(true);
        UpdateTabStop();
    } else {
        m_buttons[static_cast<size_t>(index)]->setChecked(true);
    }
    emit Clicked();
}

void TRadioGroup::SetColumns(int columns) {
    m_columns = std::max(1, columns);
    resizeEvent(nullptr);
}

void TRadioGroup::resizeEvent(QResizeEvent* event) {
    if (event != nullptr) QGroupBox::resizeEvent(event);
    // Items share the inside of the frame evenly, as in a classic radio group, and take its
    // whole width: the substituted dialog font is wider than the classic one.
    const QRect area = contentsRect().adjusted(1, 2, 0, -2);
    const int n = static_cast<int>(m_buttons.size());
    if (n == 0) return;
    const int rows = (n + m_columns - 1) / m_columns;
    const int each = std::max(1, area.height() / rows);
    const int width = area.width() / m_columns;
    for (int i = 0; i < n; ++i) {
        m_buttons[static_cast<size_t>(i)]->setGeometry(area.left() + (i / rows) * width,
                                                       area.top() + (i % rows) * each, width, each);
    }
}

TImage::TImage(int width, int height, QWidget* parent)
    : QWidget(parent), Picture(width, height, QImage::Format_RGB32) {
    Picture.fill(Qt::white);
    setFixedSize(width, height);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

TImage::~TImage() = default;

void DrawComplete(TImage& image, Canvas& canvas, QSize logical, const std::function<void()>& draw) {
    if (canvas.HasVector()) {
        draw();
        return;
    }
    QPainter* sharp = image.BeginSharp(logical);
    canvas.SetVector(sharp);
    draw();
    canvas.SetVector(nullptr);
    if (sharp != nullptr) image.EndSharp(canvas);
}

QPainter* TImage::BeginSharp(QSize logical) {
    m_sharpValid = false;
    m_sharpPainter.reset();
    const qreal ratio = devicePixelRatioF();
    if (ratio <= 1.0 || logical.isEmpty()) {
        m_sharp = QImage();
        return nullptr;
    }
    const QSize pixels(static_cast<int>(std::ceil(logical.width() * ratio)),
                       static_cast<int>(std::ceil(logical.height() * ratio)));
    if (m_sharp.size() != pixels || m_sharp.devicePixelRatio() != ratio) {
        m_sharp = QImage(pixels, QImage::Format_RGB32);
        m_sharp.setDevicePixelRatio(ratio);
    }
    m_sharp.fill(Qt::white);
    m_sharpPainter = std::make_unique<QPainter>(&m_sharp);
    return m_sharpPainter.get();
}

void TImage::EndSharp(const Canvas& canvas) {
    if (!m_sharpPainter) return;
    m_sharpPainter.reset();
    m_sharpDrawn = canvas.Drawn();
    m_sharpValid = true;
    m_canvas = &canvas;
}

bool TImage::SharpShown() const {
    return m_sharpValid && m_canvas != nullptr && m_canvas->Drawn() == m_sharpDrawn &&
           m_sharp.devicePixelRatio() == devicePixelRatioF();
}

void TImage::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    const QRect r = event->rect();
    if (!SharpShown()) {
        p.drawImage(r.topLeft(), Picture, r);
        return;
    }
    // The sharp picture where it reaches, the pixels beyond it.
    const QRect sharp(QPoint(0, 0), m_sharp.deviceIndependentSize().toSize());
    const QRect inside = r.intersected(sharp);
    if (!inside.isEmpty()) {
        const qreal k = m_sharp.devicePixelRatio();
        p.drawImage(
            QRectF(inside), m_sharp,
            QRectF(inside.left() * k, inside.top() * k, inside.width() * k, inside.height() * k));
    }
    for (const QRect& rest : QRegion(r).subtracted(QRegion(sharp)))
        p.drawImage(rest.topLeft(), Picture, rest);
}

void TImage::mousePressEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    emit MouseDown(pos.x(), pos.y(), event->button());
}

void TImage::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    emit MouseMove(pos.x(), pos.y());
}

void TImage::enterEvent(QEnterEvent* /*event*/) { emit MouseEnter(); }
void TImage::leaveEvent(QEvent* /*event*/) { emit MouseLeave(); }

QFont DialogFont() {
    // Where Tahoma is missing, a sans-serif of similar width stands in.
    static const bool substituted = [] {
        QFont::insertSubstitutions(QStringLiteral("Tahoma"),
                                   {QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                                    QStringLiteral("DejaVu Sans")});
        return true;
    }();
    (void)substituted;
    QFont f(QStringLiteral("Tahoma"));
    f.setPixelSize(11);
    return f;
}

void ShowFrequencyReadOut(QLabel& label, const PlotGeometry& g, int x, int y) {
    const double span = g.freqMax - g.freqMin;
    int decimals = 4;
    if (span >= 1000) {
        decimals = 0;
    } else if (span >= 100) {
        decimals = 1;
    } else if (span >= 10) {
        decimals = 2;
    } else if (span >= 1) {
        decimals = 3;
    }
    const std::string text = FixedText(g.FrequencyAt(x), decimals);
    label.setText(QStringLiteral(" %1 Hz ").arg(QString::fromStdString(text)));
    label.adjustSize();
    int left = x + 20;
    if (g.panelWidth - x < label.width() + 20) left = x - label.width() - 20;
    label.move(left, y + 20);
}

PlotArea AddPlotArea(QWidget* parent, int imageWidth, int imageHeight, const char* readOutName) {
    PlotArea a;
    a.box = Named(new QScrollArea(parent), "ScrollBox1");
    a.box->setWidgetResizable(false);
    a.box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    a.box->horizontalScrollBar()->setTracking(true);
    a.panel = Named(new QWidget(), "Panel1");
    a.panel->resize(800, 660);
    a.image = Named(new TImage(imageWidth, imageHeight, a.panel), "Image1");
    a.readOut = Named(new QLabel(a.panel), readOutName);
    a.readOut->setAutoFillBackground(true);
    a.readOut->hide();
    a.box->setWidget(a.panel);
    a.readOut->raise();
    return a;
}

QLabel* AddSaturationPanel(QWidget* parent, int left, int top, int w, int h) {
    auto* l = Named(new QLabel(QStringLiteral("Saturation"), parent), "Panel3");
    l->setGeometry(left, top, w, h);
    l->setAlignment(Qt::AlignCenter);
    l->setStyleSheet(QStringLiteral("background-color: #000080; color: white;"));
    l->hide();
    return l;
}

void LayoutPlotScrollBox(QScrollArea& box, QWidget& panel, const QWidget& client, int strip) {
    box.setGeometry(strip, 3, std::max(0, client.width() - strip - 3),
                    std::max(0, client.height() - 6));
    const int bar =
        panel.width() > box.width() - 2 ? box.horizontalScrollBar()->sizeHint().height() : 0;
    panel.resize(panel.width(), std::max(0, box.height() - 2 - bar));
}

int TitleWidth(const QString& title) {
    // A window manager's title font is commonly the application's, bold and somewhat larger;
    // beside the text lie the close button, the icon and the frame's margins.
    QFont font = QApplication::font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.2);
    return QFontMetrics(font).horizontalAdvance(title) + 120;
}

void SetUpDialog(QDialog* d, const char* name, const char* caption) {
    d->setObjectName(QString::fromLatin1(name));
    d->setWindowTitle(QString::fromLatin1(caption));
    d->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                      Qt::WindowCloseButtonHint);
    d->setFont(DialogFont());
}

void SetUpFixedDialog(QDialog* d, const char* name, const char* caption, int w, int h) {
    SetUpDialog(d, name, caption);
    d->setFixedSize(std::max(w, TitleWidth(d->windowTitle())), h);
}

QLabel* AddLabel(QWidget* parent, const char* name, const char* text, int left, int top,
                 bool bold) {
    auto* l = Named(new QLabel(QString::fromLatin1(text), parent), name);
    if (bold) {
        QFont f = l->font();
        f.setBold(true);
        l->setFont(f);
    }
    l->move(left, top);
    l->adjustSize();
    return l;
}

FocusReturn::FocusReturn()
    : m_window(QApplication::activeWindow()), m_focus(QApplication::focusWidget()) {}

FocusReturn::~FocusReturn() {
    if (!m_window || !m_window->isVisible()) return;
    m_window->activateWindow();
    if (m_focus && m_focus->window() == m_window && m_focus->isVisible()) {
        m_focus->setFocus(Qt::OtherFocusReason);
    } else {
        m_window->setFocus(Qt::OtherFocusReason);
    }
}

std::optional<std::string> RunFileDialog(QWidget* parent, bool save, const char* objectName,
                                         const QString& title, const QStringList& filters,
                                         const QString& suffix) {
    const FocusReturn back;
    QFileDialog d(parent, title);
    d.setObjectName(QString::fromLatin1(objectName));
    d.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    d.setOption(QFileDialog::DontConfirmOverwrite, !save);
    d.setFileMode(QFileDialog::AnyFile);
    d.setNameFilters(filters);
    d.setDefaultSuffix(suffix);
    if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return std::nullopt;
    return d.selectedFiles().front().toStdString();
}

QPushButton* AddButton(QWidget* parent, const char* name, const char* caption, int left, int top,
                       int w, int h) {
    auto* b = Named(new QPushButton(QString::fromLatin1(caption), parent), name);
    b->setGeometry(left, top, w, h);
    return b;
}

namespace {

// Swallows the double-click event that Qt delivers in place of the second press: the button
// never goes down, so the release clicks nothing.
class SecondClickFilter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::MouseButtonDblClick) return false;
        if (auto* b = qobject_cast<QAbstractButton*>(watched)) b->setDown(false);
        return true;
    }
};

}  // namespace

void IgnoreSecondClickOfDoubleClick(QAbstractButton* button) {
    button->installEventFilter(new SecondClickFilter(button));
}

void KeepOnScreen(QWidget* window) {
    // Right after show() the window manager has not yet framed the window: its frame is taken
    // to be that of another framed top-level window (the main window's title bar and
    // borders), and the window is placed once more when its own frame is known.
    QMargins margins;
    if (window->frameGeometry() == window->geometry()) {
        for (QWidget* other : QApplication::topLevelWidgets()) {
            if (other == window || !other->isVisible()) continue;
            const QRect f = other->frameGeometry(), g = other->geometry();
            if (f == g) continue;
            margins = QMargins(g.left() - f.left(), g.top() - f.top(), f.right() - g.right(),
                               f.bottom() - g.bottom());
            break;
        }
        QPointer<QWidget> later(window);
        QTimer::singleShot(300, window, [later] {
            if (later && later->isVisible() && later->frameGeometry() != later->geometry())
                KeepOnScreen(later, QMargins());
        });
    }
    KeepOnScreen(window, margins);
}

void KeepOnScreen(QWidget* window, QMargins assumedFrame) {
    const QScreen* screen = window->screen();
    if (screen == nullptr) return;
    const QRect area = screen->availableGeometry();
    const QRect frame = window->frameGeometry().marginsAdded(assumedFrame);
    // The frame's left and top edges at most so far that its right and bottom edges stay on
    // the area; never left of or above it.
    const int x = std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width()));
    const int y = std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height()));
    // move() places the frame's corner (once the window is framed).
    if (x != frame.left() || y != frame.top()) window->move(x, y);
}

namespace {

// `caption` with a mnemonic not in `taken` (lower case), which it joins; unchanged when no
// letter is free.
QString Mnemonic(const QString& caption, QString& taken) {
    if (caption.contains(QLatin1Char('&'))) {
        const qsizetype at = caption.indexOf(QLatin1Char('&'));
        if (at + 1 < caption.size()) taken += caption[at + 1].toLower();
        return caption;
    }
    auto tryAt = [&](qsizetype i) -> std::optional<QString> {
        const QChar c = caption[i];
        if (!c.isLetterOrNumber() || taken.contains(c.toLower())) return std::nullopt;
        taken += c.toLower();
        QString out = caption;
        out.insert(i, QLatin1Char('&'));
        return out;
    };
    for (qsizetype i = 0; i < caption.size(); ++i) {
        const bool wordStart = i == 0 || !caption[i - 1].isLetterOrNumber();
        if (wordStart) {
            if (auto out = tryAt(i)) return *out;
        }
    }
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (auto out = tryAt(i)) return *out;
    }
    return caption;
}

void GiveMenuMnemonics(QMenu* menu) {
    QString taken;
    // Captions that have theirs already first, so that none is given twice.
    for (QAction* a : menu->actions()) {
        if (a->text().contains(QLatin1Char('&'))) Mnemonic(a->text(), taken);
    }
    for (QAction* a : menu->actions()) {
        if (a->isSeparator() || a->text().isEmpty() || a->text().contains(QLatin1Char('&')))
            continue;
        a->setText(Mnemonic(a->text(), taken));
        if (a->menu() != nullptr) GiveMenuMnemonics(a->menu());
    }
}

}  // namespace

QList<QKeySequence> RedoKeys() {
    QList<QKeySequence> keys{QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z),
                             QKeySequence(Qt::CTRL | Qt::Key_Y)};
    for (const QKeySequence& k : QKeySequence::keyBindings(QKeySequence::Redo)) {
        if (!keys.contains(k)) keys.push_back(k);
    }
    return keys;
}

void GiveMnemonics(QMenuBar* bar) {
    QString taken;
    for (QAction* a : bar->actions()) {
        if (a->menu() == nullptr) continue;
        a->setText(Mnemonic(a->text(), taken));
        GiveMenuMnemonics(a->menu());
    }
}

QString WithFirstMnemonic(const QString& caption) {
    return caption.startsWith(QLatin1Char('&')) ? caption : QLatin1Char('&') + caption;
}

void RestartAfter(QTimer& timer, int64_t us) {
    if (platform::ManualClock()) {
        if (us > 0) platform::SleepMicroseconds(us);
        timer.start(0);
        return;
    }
    timer.start(static_cast<int>((std::max<int64_t>(us, 0) + 999) / 1000));
}

}  // namespace sonarix
