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

    QCheckBox* CheckBox1 = nullptr;      // "Stereo"
    TRadioGroup* RadioGroup1 = nullptr;  // "Input Channel": "left", "right"
    QPushButton* Button1 = nullptr;      // "Ok"

    // "Stereo" clicked: after 10 ms the channel group follows it (keeping its selection).
    void SwitchStereo();
    void Button1Click();
    bool Stereo() const;
    bool Left() const;
};

}  // namespace sonarix
