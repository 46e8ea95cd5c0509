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

    QLabel* InputCaption = nullptr;    // "Select input channel"
    QComboBox* InputBox = nullptr;     // the input names, item index = input index
    QLabel* VolumeCaption = nullptr;   // "Volume"
    QSlider* VolumeSlider = nullptr;   // 0 at the top; level = 100 - position
    QLabel* InputKindLabel = nullptr;  // the kind of the selected input
    QPushButton* OkButton = nullptr;   // "OK"

    // The input list of start-up: the names, with the selected input chosen.
    void FillInputs(const InputList& inputs);
    // All inputs off, the chosen one on, its state shown.
    void OnInputChosen();
    void ShowInputState();
    void OnVolumeChanged();
    void OnOkClicked();
};

}  // namespace sonarix
