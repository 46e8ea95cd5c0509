// TForm12, "Virtual Apparatus": the hemisphere angle of the built-in resonator, which a real
// apparatus has as a knob, and whether "Measure value" turns it to the angle it is about to
// measure. Shown beside the main window; exists only when the program runs on the virtual
// apparatus.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;

namespace audio {
class VirtualApparatus;
}

namespace sonarix {

class TForm12 : public QDialog {
    Q_OBJECT
public:
    // The apparatus is the installed backend and outlives the window.
    explicit TForm12(audio::VirtualApparatus& apparatus, QWidget* parent = nullptr);

    QLabel* Label1 = nullptr;        // "Angle between hemispheres"
    QComboBox* ComboBox1 = nullptr;  // 0° ... 180° in 10° steps
    QCheckBox* CheckBox1 = nullptr;  // "Follow the selected angle"

    // Turns the hemisphere (and the box) to alpha degrees, a multiple of 10 within 0 ... 180.
    void SetAngle(double alphaDegrees);
    double Angle() const;
    bool Follow() const;

private:
    audio::VirtualApparatus& m_apparatus;
};

}  // namespace sonarix
