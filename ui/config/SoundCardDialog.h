// SoundCardDialog, "Configure Sound Card": mono or stereo recording and, in stereo, the channel the
// measurements evaluate.
#pragma once

#include <QDialog>

class QCheckBox;
class QPushButton;

namespace sonarix {

class TRadioGroup;

class SoundCardDialog : public QDialog {
    Q_OBJECT
public:
    explicit SoundCardDialog(QWidget* parent = nullptr);

    QCheckBox* StereoCheck = nullptr;          // "Stereo"
    TRadioGroup* InputChannelGroup = nullptr;  // "Input Channel": "left", "right"
    QPushButton* OkButton = nullptr;           // "Ok"

    // "Stereo" clicked: after 10 ms the channel group follows it (keeping its selection).
    void SwitchStereo();
    void OnOkClicked();
    bool Stereo() const;
    bool Left() const;
};

}  // namespace sonarix
