// TForm12, "Virtual Apparatus": the hemisphere angle of the built-in resonator, which a real
// apparatus has as a knob, whether "Measure value" turns it to the angle it is about to
// measure, and the latency and noise of its simulated sound card. Shown beside the main window;
// exists only when the program runs on the virtual apparatus.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
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

    QLabel* Label1 = nullptr;             // "Angle between hemispheres"
    QComboBox* ComboBox1 = nullptr;       // 0° ... 180° in 10° steps
    QCheckBox* CheckBox1 = nullptr;       // "Follow the selected angle"
    QLabel* Label2 = nullptr;             // "Latency [ms]"
    QDoubleSpinBox* SpinEdit1 = nullptr;  // 0 ... 185 ms
    QLabel* Label3 = nullptr;             // "Noise [% of full scale]"
    QDoubleSpinBox* SpinEdit2 = nullptr;  // 0 ... 10 %

    // Turns the hemisphere (and the box) to alpha degrees, a multiple of 10 within 0 ... 180.
    void SetAngle(double alphaDegrees);
    double Angle() const;
    bool Follow() const;

private:
    audio::VirtualApparatus& m_apparatus;
};

}  // namespace sonarix
