// The virtual apparatus window.
#include "ui/config/VirtualApparatusWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <algorithm>
#include <cmath>
#include <string>

#include "platform/audio/VirtualApparatus.h"
#include "plot/Controls.h"

namespace sonarix {

VirtualApparatusWindow::VirtualApparatusWindow(audio::VirtualApparatus& apparatus, QWidget* parent)
    : QDialog(parent), m_apparatus(apparatus) {
    SetUpFixedDialog(this, "VirtualApparatus", "Virtual Apparatus", 240, 376);
    AngleCaption = AddLabel(this, "Label1", "Angle between hemispheres", 16, 16);
    AngleBox = Named(new QComboBox(this), "ComboBox1");
    for (int k = 0; k <= 18; ++k) AngleBox->addItem(QStringLiteral("%1°").arg(10 * k));
    AngleBox->setGeometry(16, 36, 100, 22);
    FollowAngleCheck =
        Named(new QCheckBox(QStringLiteral("Follow the selected angle"), this), "CheckBox1");
    FollowAngleCheck->move(16, 70);
    FollowAngleCheck->adjustSize();
    FollowAngleCheck->setChecked(true);
    AngleBox->setCurrentIndex(
        std::clamp(static_cast<int>(std::lround(apparatus.HemisphereAngle() / 10.0)), 0, 18));
    connect(AngleBox, &QComboBox::currentIndexChanged, this,
            [this](int index) { m_apparatus.SetHemisphereAngle(10.0 * index); });

    LatencyCaption = AddLabel(this, "Label2", "Latency [ms]", 16, 104);
    LatencySpin = Named(new QDoubleSpinBox(this), "SpinEdit1");
    LatencySpin->setGeometry(140, 100, 84, 22);
    LatencySpin->setDecimals(1);
    LatencySpin->setRange(0.0, audio::VirtualApparatus::kLongestLatency / 44.1);
    LatencySpin->setValue(apparatus.Latency() / 44.1);
    connect(LatencySpin, &QDoubleSpinBox::valueChanged, this, [this](double ms) {
        m_apparatus.SetLatency(static_cast<int>(std::lround(ms * 44.1)));
    });
    NoiseCaption = AddLabel(this, "Label3", "Noise [% of full scale]", 16, 138);
    NoiseSpin = Named(new QDoubleSpinBox(this), "SpinEdit2");
    NoiseSpin->setGeometry(140, 134, 84, 22);
    NoiseSpin->setDecimals(3);
    NoiseSpin->setSingleStep(0.01);
    NoiseSpin->setRange(0.0, 10.0);
    NoiseSpin->setValue(100.0 * apparatus.NoiseRms());
    connect(NoiseSpin, &QDoubleSpinBox::valueChanged, this,
            [this](double percent) { m_apparatus.SetNoiseRms(percent / 100.0); });

    // The sphere. An apparatus without a sphere set (the idealised one) shows the defaults.
    const physics::SphereSetup setup = apparatus.Sphere().value_or(physics::SphereSetup{});
    AddLabel(this, "Label4", "Spacer ring", 16, 176);
    RingBox = Named(new QComboBox(this), "RingBox");
    RingBox->addItems({QStringLiteral("none"), QStringLiteral("3 mm"), QStringLiteral("6 mm"),
                       QStringLiteral("9 mm")});
    RingBox->setGeometry(140, 172, 84, 22);
    RingBox->setCurrentIndex(std::clamp(static_cast<int>(std::lround(setup.ring / 0.003)), 0, 3));
    auto spin = [this](QDoubleSpinBox*& box, const char* name, const char* caption, int top,
                       double lo, double hi, double step, double value) {
        QLabel* label = AddLabel(this, (std::string(name) + "Label").c_str(), "", 16, top + 4);
        label->setText(QString::fromUtf8(caption));
        label->adjustSize();
        box = Named(new QDoubleSpinBox(this), name);
        box->setGeometry(140, top, 84, 22);
        box->setDecimals(1);
        box->setRange(lo, hi);
        box->setSingleStep(step);
        box->setValue(value);
    };
    spin(TemperatureEdit, "TemperatureEdit", "Temperature [°C]", 206, -20.0, 50.0, 0.5,
         setup.celsius);
    spin(RadiusEdit, "RadiusEdit", "Radius [mm]", 240, 20.0, 150.0, 0.5, 1000.0 * setup.radius);
    spin(OpeningsEdit, "OpeningsEdit", "Openings' loss [Hz]", 274, 0.0, 100.0, 0.5,
         setup.openingHalfWidth);
    OpeningsEdit->setToolTip(
        QStringLiteral("The half width the openings and gaps add to every mode's"));
    HumBox = Named(new QCheckBox(QStringLiteral("Mains hum"), this), "HumBox");
    HumBox->move(16, 312);
    HumBox->adjustSize();
    HumBox->setChecked(apparatus.Hum() > 0.0);
    BlocksBox = Named(new QCheckBox(QStringLiteral("Delivered in blocks"), this), "BlocksBox");
    BlocksBox->setToolTip(QStringLiteral(
        "The recording handed over in blocks of about 23 ms that wander, as a sound server does"));
    BlocksBox->move(16, 340);
    BlocksBox->adjustSize();
    BlocksBox->setChecked(apparatus.BlockDelivery());
    connect(BlocksBox, &QCheckBox::toggled, this,
            [this](bool on) { m_apparatus.SetBlockDelivery(on); });
    connect(RingBox, &QComboBox::currentIndexChanged, this, [this] { ApplySphere(); });
    for (QDoubleSpinBox* box : {TemperatureEdit, RadiusEdit, OpeningsEdit}) {
        connect(box, &QDoubleSpinBox::valueChanged, this, [this] { ApplySphere(); });
    }
    connect(HumBox, &QCheckBox::toggled, this,
            [this](bool on) { m_apparatus.SetHum(on ? kHumRms : 0.0); });
}

physics::SphereSetup VirtualApparatusWindow::Setup() const {
    physics::SphereSetup s;
    s.ring = 0.003 * RingBox->currentIndex();
    s.celsius = TemperatureEdit->value();
    s.radius = RadiusEdit->value() / 1000.0;
    s.openingHalfWidth = OpeningsEdit->value();
    return s;
}

void VirtualApparatusWindow::ApplySphere() { m_apparatus.SetSphere(Setup()); }

void VirtualApparatusWindow::SetAngle(double alphaDegrees) {
    const int index = std::clamp(static_cast<int>(std::lround(alphaDegrees / 10.0)), 0, 18);
    AngleBox->setCurrentIndex(index);
    m_apparatus.SetHemisphereAngle(10.0 * index);
}

double VirtualApparatusWindow::Angle() const { return m_apparatus.HemisphereAngle(); }

bool VirtualApparatusWindow::Follow() const { return FollowAngleCheck->isChecked(); }

}  // namespace sonarix
