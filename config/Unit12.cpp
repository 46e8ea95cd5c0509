// The virtual apparatus window.
#include "config/Unit12.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <algorithm>
#include <cmath>

#include "platform/audio/VirtualApparatus.h"
#include "plot/Controls.h"

namespace sonarix {

TForm12::TForm12(audio::VirtualApparatus& apparatus, QWidget* parent)
    : QDialog(parent), m_apparatus(apparatus) {
    SetUpFixedDialog(this, "VirtualApparatus", "Virtual Apparatus", 240, 110);
    Label1 = AddLabel(this, "Label1", "Angle between hemispheres", 16, 16);
    ComboBox1 = Named(new QComboBox(this), "ComboBox1");
    for (int k = 0; k <= 18; ++k) ComboBox1->addItem(QStringLiteral("%1°").arg(10 * k));
    ComboBox1->setGeometry(16, 36, 100, 22);
    CheckBox1 =
        Named(new QCheckBox(QStringLiteral("Follow the selected angle"), this), "CheckBox1");
    CheckBox1->move(16, 70);
    CheckBox1->adjustSize();
    CheckBox1->setChecked(true);
    ComboBox1->setCurrentIndex(
        std::clamp(static_cast<int>(std::lround(apparatus.HemisphereAngle() / 10.0)), 0, 18));
    connect(ComboBox1, &QComboBox::currentIndexChanged, this,
            [this](int index) { m_apparatus.SetHemisphereAngle(10.0 * index); });
}

void TForm12::SetAngle(double alphaDegrees) {
    const int index = std::clamp(static_cast<int>(std::lround(alphaDegrees / 10.0)), 0, 18);
    ComboBox1->setCurrentIndex(index);
    m_apparatus.SetHemisphereAngle(10.0 * index);
}

double TForm12::Angle() const { return m_apparatus.HemisphereAngle(); }

bool TForm12::Follow() const { return CheckBox1->isChecked(); }

}  // namespace sonarix
