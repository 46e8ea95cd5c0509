// InputDialog, "Input": which recording input of the sound card is on, its level (the inverted
// slider: the top is the loudest) and its kind. Shown beside the main window.
#pragma once

#include <QDialog>

#include "config/InputSwitching.h"

class QComboBox;
class QLabel;
class QPushButton;
class QSlider;

namespace sonarix {

class InputDialog : public QDialog {
    Q_OBJECT
public:
    explicit InputDialog(QWidget* parent = nullptr);

    QLabel* Label1 = nullptr;        // "Select input channel"
    QComboBox* ComboBox1 = nullptr;  // the input names, item index = input index
    QLabel* Label2 = nullptr;        // "Volume"
    QSlider* TrackBar1 = nullptr;    // 0 at the top; level = 100 - position
    QLabel* Label3 = nullptr;        // the kind of the selected input
    QPushButton* Button1 = nullptr;  // "OK"

    // The input list of start-up: the names, with the selected input chosen.
    void FillInputs(const InputList& inputs);
    // All inputs off, the chosen one on, its state shown.
    void ComboBox1Change();
    void ShowInputState();
    void TrackBar1Change();
    void Button1Click();
};

}  // namespace sonarix
