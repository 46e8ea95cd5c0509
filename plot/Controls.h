// Small widgets in the shape of the classic form controls (a radio group, a plot image) and
// the helpers that build named controls.
#pragma once

#include <QGroupBox>
#include <QImage>
#include <QKeySequence>
#include <QList>
#include <QMargins>
#include <QPointer>
#include <QStringList>
#include <QWidget>

class QTimer;
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "plot/PlotMapping.h"

class QAbstractButton;
class QButtonGroup;
class QDialog;
class QLabel;
class QMenuBar;
class QPushButton;
class QRadioButton;
class QScrollArea;

namespace sonarix {

class Canvas;

// A captioned group of radio buttons with an item index (-1 = none selected).
class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent);
    int ItemIndex() const;
    void SetItemIndex(int index);
    QRadioButton* Button(int index) const { return m_buttons.at(static_cast<size_t>(index)); }
    // Items in this many columns, filled column by column.
    void SetColumns(int columns);

signals:
    // The user picked an item (also when SetItemIndex changes it, as the classic OnClick).
    void Clicked();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void UpdateTabStop();
    QButtonGroup* m_group = nullptr;
    std::vector<QRadioButton*> m_buttons;
    int m_columns = 1;
};

// A fixed-size picture shown at its top-left corner, with the mouse events of a plot.
class TImage : public QWidget {
    Q_OBJECT
public:
    TImage(int width, int height, QWidget* parent);
    ~TImage() override;
    QImage Picture;

    // On a screen of more than one device pixel per logical pixel, a window draws each
    // complete picture once more as vectors at the screen's resolution: its canvas hands its
    // primitives to the painter BeginSharp returns (nullptr on an ordinary screen, where
    // nothing changes), and EndSharp takes the canvas's count. The sharp picture is shown
    // over (0, 0) ... `logical` while the canvas has drawn nothing since; after a partial
    // drawing (a sweep's step) the pixels are shown until the next complete picture.
    QPainter* BeginSharp(QSize logical);
    void EndSharp(const Canvas& canvas);
    bool SharpShown() const;

signals:
    void MouseDown(int x, int y, Qt::MouseButton button);
    void MouseMove(int x, int y);
    void MouseEnter();
    void MouseLeave();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    const Canvas* m_canvas = nullptr;
    QImage m_sharp;
    std::unique_ptr<QPainter> m_sharpPainter;
    uint64_t m_sharpDrawn = 0;
    bool m_sharpValid = false;
};

// Builds a QFont that measures like the classic 8-point dialog font (11 pixels high).
QFont DialogFont();

// Gives the widget its control name as objectName, so tests find it with findChild.
template <typename W>
W* Named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

// The pointer read-out over a plot: " f Hz " for the frequency under x, with 0 decimals for a
// span of 1000 Hz and more, 1 from 100, 2 from 10, 3 from 1, else 4; placed 20 pixels right of
// and below the pointer, or left of it where it would run past the panel's right edge.
void ShowFrequencyReadOut(QLabel& label, const PlotGeometry& g, int x, int y);

// The plot area of a window: a scroll box (horizontal bar tracking, no vertical bar) holding
// the 800 x 660 panel, with the plot image at its top-left corner and the hidden pointer
// read-out label over it.
struct PlotArea {
    QScrollArea* box = nullptr;
    QWidget* panel = nullptr;
    TImage* image = nullptr;
    QLabel* readOut = nullptr;
};
PlotArea AddPlotArea(QWidget* parent, int imageWidth, int imageHeight, const char* readOutName);

// The navy "Saturation" panel with white text, hidden.
QLabel* AddSaturationPanel(QWidget* parent, int left, int top, int w, int h);

// The plot's scroll box right of a control strip of `strip` pixels in `client`; the panel
// fills the box's height, less a horizontal scroll bar when the panel is wider than the box.
void LayoutPlotScrollBox(QScrollArea& box, QWidget& panel, const QWidget& client, int strip);

// A dialog with its object name, title, the dialog font and only the close box (no minimise
// or maximise); laid out by its layout.
void SetUpDialog(QDialog* d, const char* name, const char* caption);
// The same, of a fixed size, at least as wide as its title needs.
void SetUpFixedDialog(QDialog* d, const char* name, const char* caption, int w, int h);
// A label sized to its text at (left, top), optionally bold.
QLabel* AddLabel(QWidget* parent, const char* name, const char* text, int left, int top,
                 bool bold = false);
// The standard file dialog: title, name filters ("*.dat (*.dat)", ...), default suffix; a
// save dialog asks before overwriting, an open dialog accepts a name that does not exist (the
// error box says so). The chosen name, or no value when cancelled.
std::optional<std::string> RunFileDialog(QWidget* parent, bool save, const char* objectName,
                                         const QString& title, const QStringList& filters,
                                         const QString& suffix);

// The second click of a double-click does not click `button`: it was meant for the button
// that lay there before the first click hid it ("Stop" beneath "Measure"). A single click,
// also one right after a double-click, still does.
void IgnoreSecondClickOfDoubleClick(QAbstractButton* button);

// While it lives, nothing; when it ends (a file, print or colour dialog has closed), the window
// that was active gets the keyboard back, at the widget that had the focus: some window
// managers leave the focus nowhere after a modal dialog, so that Tab and Escape do nothing.
class FocusReturn {
public:
    FocusReturn();
    ~FocusReturn();
    FocusReturn(const FocusReturn&) = delete;
    FocusReturn& operator=(const FocusReturn&) = delete;

private:
    QPointer<QWidget> m_window, m_focus;
};

// Moves a top-level window, as it is shown, so that its frame lies on the available part of
// its screen (as far as it fits).
void KeepOnScreen(QWidget* window);
// The same for a window whose frame is `assumedFrame` around what frameGeometry() says (not
// yet framed by the window manager).
void KeepOnScreen(QWidget* window, QMargins assumedFrame);

// The width a window needs for its title bar to show `title` whole (an estimate: the window
// manager draws it).
int TitleWidth(const QString& title);

// A push button with the given geometry.
// Gives every menu of `bar` and every item of its menus a mnemonic (Alt + the underlined
// letter) without changing a word: in each menu the first letter of a word not yet taken,
// else any letter not yet taken. Captions that already have one keep it.
void GiveMnemonics(QMenuBar* bar);
// Redo's keys: Ctrl+Shift+Z, Ctrl+Y and the platform's own, each once (the platform's Redo is
// Ctrl+Shift+Z on Linux desktops: a key bound twice in a window is ambiguous and does nothing).
QList<QKeySequence> RedoKeys();
// A caption that is set anew later (Undo, Redo) with its first letter as the mnemonic.
QString WithFirstMnemonic(const QString& caption);

// Runs `draw`, a complete picture on `canvas`, and on a high-resolution screen hands it to
// `image`'s sharp picture of the part (0, 0) ... `logical` as well; while another painter is
// attached to the canvas (an export), for that one only.
void DrawComplete(TImage& image, Canvas& canvas, QSize logical, const std::function<void()>& draw);

QPushButton* AddButton(QWidget* parent, const char* name, const char* caption, int left, int top,
                       int w, int h);

// Starts the single-shot `timer` of a long operation run from the event loop, `us` after now:
// in real time after that many milliseconds (rounded up); on the virtual apparatus's manual
// clock the wait is slept at once (time passes only when something waits) and the timer fires
// at the next pass of the event loop.
void RestartAfter(QTimer& timer, int64_t us);

}  // namespace sonarix
