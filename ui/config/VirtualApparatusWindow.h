// VirtualApparatusWindow, "Virtual Apparatus": the hemisphere angle of the built-in resonator,
// which a real apparatus has as a knob, whether "Measure value" turns it to the angle it is about
// to measure, the latency and noise of its simulated sound card, and the sphere itself: spacer
// ring, temperature, radius, the openings' loss, mains hum. Shown beside the main window;
// exists only when the program runs on the virtual apparatus.
#pragma once

#include <QDialog>

#include "physics/ResonatorModel.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;

namespace audio {
class VirtualApparatus;
}

namespace sonarix {

class VirtualApparatusWindow : public QDialog {
    Q_OBJECT
public:
    // The apparatus is the installed backend and outlives the window.
    explicit VirtualApparatusWindow(audio::VirtualApparatus& apparatus, QWidget* parent = nullptr);

    QLabel* AngleCaption = nullptr;             // "Angle between hemispheres"
    QComboBox* AngleBox = nullptr;              // 0° ... 180° in 10° steps
    QCheckBox* FollowAngleCheck = nullptr;      // "Follow the selected angle"
    QLabel* LatencyCaption = nullptr;           // "Latency [ms]"
    QDoubleSpinBox* LatencySpin = nullptr;      // 0 ... 185 ms
    QLabel* NoiseCaption = nullptr;             // "Noise [% of full scale]"
    QDoubleSpinBox* NoiseSpin = nullptr;        // 0 ... 10 %
    QComboBox* RingBox = nullptr;               // "Spacer ring": none, 3, 6, 9 mm
    QDoubleSpinBox* TemperatureEdit = nullptr;  // "Temperature [°C]"
    QDoubleSpinBox* RadiusEdit = nullptr;       // "Radius [mm]"
    QDoubleSpinBox* OpeningsEdit = nullptr;     // "Openings' loss [Hz]": the extra half width
    QCheckBox* HumBox = nullptr;                // "Mains hum"
    QCheckBox* BlocksBox = nullptr;  // "Delivered in blocks": the recording as a server hands it
    static constexpr double kHumRms = 1e-3;  // of full scale, when on

    // The sphere as the controls set it.
    physics::SphereSetup Setup() const;

    // Turns the hemisphere (and the box) to alpha degrees, a multiple of 10 within 0 ... 180.
    void SetAngle(double alphaDegrees);
    double Angle() const;
    bool Follow() const;

private:
    void ApplySphere();
    audio::VirtualApparatus& m_apparatus;
};

}  // namespace sonarix
