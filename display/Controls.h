// Small widgets in the shape of the classic form controls: a radio group and a plot image.
#pragma once

#include <QGroupBox>
#include <QImage>
#include <QStringList>
#include <QWidget>
#include <vector>

class QButtonGroup;
class QRadioButton;

namespace sonarix {

// A captioned group of radio buttons with an item index (-1 = none selected).
class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent);
    int ItemIndex() const;
    void SetItemIndex(int index);
    QRadioButton* Button(int index) const { return m_buttons.at(static_cast<size_t>(index)); }

signals:
    // The user picked an item (also when SetItemIndex changes it, as the classic OnClick).
    void Clicked();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QButtonGroup* m_group = nullptr;
    std::vector<QRadioButton*> m_buttons;
};

// A fixed-size picture shown at its top-left corner, with the mouse events of a plot.
class TImage : public QWidget {
    Q_OBJECT
public:
    TImage(int width, int height, QWidget* parent);
    QImage Picture;

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
};

// Builds a QFont that measures like the classic 8-point dialog font (11 pixels high).
QFont DialogFont();

}  // namespace sonarix
