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
    TRadioGroup* ThicknessGroup = nullptr;  // "1 Pixel" ... "4 Pixel"
    QPushButton* OkButton = nullptr;        // "OK"
    void OnOkClicked();
};

}  // namespace sonarix
