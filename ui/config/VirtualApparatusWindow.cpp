// The virtual apparatus window.
#include "ui/config/VirtualApparatusWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QLabel>
#include <algorithm>
#include <cmath>
#include <string>

#include "physics/SampleRate.h"
#include "platform/audio/VirtualApparatus.h"
#include "plot/Controls.h"

namespace sonarix {

VirtualApparatusWindow::VirtualApparatusWindow(audio::VirtualApparatus& apparatus, QWidget* parent)
    : QDialog(parent), m_apparatus(apparatus) {
    SetUpDialog(this, "VirtualApparatus", "Virtual Apparatus");
    // Captions left, fields right; the window takes the size its contents need at any font
    // and scale.
    auto* grid = new QGridLayout(this);
    grid->setSizeConstraint(QLayout::SetFixedSize);
    grid->setContentsMargins(16, 16, 16, 16);
    grid->setVerticalSpacing(10);
    auto caption = [this](const char* name, const char* text) {
        return Named(new QLabel(QString::fromUtf8(text), this), name);
    };
    AngleCaption = caption("Label1", "Angle between hemispheres");
    AngleBox = Named(new QComboBox(this), "ComboBox1");
    for (int k = 0; k <= 18; ++k) AngleBox->addItem(QStringLiteral("%1°").arg(10 * k));
    FollowAngleCheck =
        Named(new QCheckBox(QStringLiteral("Follow the selected angle"), this), "CheckBox1");
    FollowAngleCheck->setChecked(true);
    AngleBox->setCurrentIndex(
        std::clamp(static_cast<int>(std::lround(apparatus.HemisphereAngle() / 10.0)), 0, 18));
    connect(AngleBox, &QComboBox::currentIndexChanged, this,
            [this](int index) { m_apparatus.SetHemisphereAngle(10.0 * index); });
    grid->addWidget(AngleCaption, 0, 0, 1, 2);
    grid->addWidget(AngleBox, 1, 0, Qt::AlignLeft);
    grid->addWidget(FollowAngleCheck, 2, 0, 1, 2);

    LatencyCaption = caption("Label2", "Latency [ms]");
    LatencySpin = Named(new QDoubleSpinBox(this), "SpinEdit1");
    LatencySpin->setDecimals(1);
    LatencySpin->setRange(0.0, audio::VirtualApparatus::kLongestLatency / kSamplesPerMs);
    LatencySpin->setValue(apparatus.Latency() / kSamplesPerMs);
    connect(LatencySpin, &QDoubleSpinBox::valueChanged, this, [this](double ms) {
        m_apparatus.SetLatency(static_cast<int>(std::lround(ms * kSamplesPerMs)));
    });
    NoiseCaption = caption("Label3", "Noise [% of full scale]");
    NoiseSpin = Named(new QDoubleSpinBox(this), "SpinEdit2");
    NoiseSpin->setDecimals(3);
    NoiseSpin->setSingleStep(0.01);
    NoiseSpin->setRange(0.0, 10.0);
    NoiseSpin->setValue(100.0 * apparatus.NoiseRms());
    connect(NoiseSpin, &QDoubleSpinBox::valueChanged, this,
            [this](double percent) { m_apparatus.SetNoiseRms(percent / 100.0); });
    grid->addWidget(LatencyCaption, 3, 0);
    grid->addWidget(LatencySpin, 3, 1);
    grid->addWidget(NoiseCaption, 4, 0);
    grid->addWidget(NoiseSpin, 4, 1);

    // The sphere. An apparatus without a sphere set (the idealised one) shows the defaults.
    const physics::SphereSetup setup = apparatus.Sphere().value_or(physics::SphereSetup{});
    RingBox = Named(new QComboBox(this), "RingBox");
    RingBox->addItems({QStringLiteral("none"), QStringLiteral("3 mm"), QStringLiteral("6 mm"),
                       QStringLiteral("9 mm")});
    RingBox->setCurrentIndex(std::clamp(static_cast<int>(std::lround(setup.ring / 0.003)), 0, 3));
    grid->addWidget(caption("Label4", "Spacer ring"), 5, 0);
    grid->addWidget(RingBox, 5, 1);
    int row = 6;
    auto spin = [&](QDoubleSpinBox*& box, const char* name, const char* text, double lo, double hi,
                    double step, double value) {
        box = Named(new QDoubleSpinBox(this), name);
        box->setDecimals(1);
        box->setRange(lo, hi);
        box->setSingleStep(step);
        box->setValue(value);
        grid->addWidget(caption((std::string(name) + "Label").c_str(), text), row, 0);
        grid->addWidget(box, row, 1);
        ++row;
    };
    spin(TemperatureEdit, "TemperatureEdit", "Temperature [°C]", -20.0, 50.0, 0.5, setup.celsius);
    spin(RadiusEdit, "RadiusEdit", "Radius [mm]", 20.0, 150.0, 0.5, 1000.0 * setup.radius);
    spin(OpeningsEdit, "OpeningsEdit", "Openings' loss [Hz]", 0.0, 100.0, 0.5,
         setup.openingHalfWidth);
    OpeningsEdit->setToolTip(
        QStringLiteral("The half width the openings and gaps add to every mode's"));
    HumBox = Named(new QCheckBox(QStringLiteral("Mains hum"), this), "HumBox");
    HumBox->setChecked(apparatus.Hum() > 0.0);
    BlocksBox = Named(new QCheckBox(QStringLiteral("Delivered in blocks"), this), "BlocksBox");
    BlocksBox->setToolTip(QStringLiteral(
        "The recording handed over in blocks of about 23 ms that wander, as a sound server does"));
    BlocksBox->setChecked(apparatus.BlockDelivery());
    grid->addWidget(HumBox, row, 0, 1, 2);
    grid->addWidget(BlocksBox, row + 1, 0, 1, 2);
    // At least as wide as the title bar needs to show the title whole; fixed from the start.
    grid->addItem(new QSpacerItem(TitleWidth(windowTitle()) - 32, 0), row + 2, 0, 1, 2);
    grid->activate();
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
