// LineThicknessDialog, "Line thickness": the pen width of the plots, 1 to 4 pixels.
#pragma once

#include <QDialog>

class QPushButton;

namespace sonarix {

class TRadioGroup;

class LineThicknessDialog : public QDialog {
    Q_OBJECT
public:
    explicit LineThicknessDialog(QWidget* parent = nullptr);
    TRadioGroup* RadioGroup1 = nullptr;  // "1 Pixel" ... "4 Pixel"
    QPushButton* Button1 = nullptr;      // "OK"
    void Button1Click();
};

}  // namespace sonarix
