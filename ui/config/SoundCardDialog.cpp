// The sound card dialog.
#include "ui/config/SoundCardDialog.h"

#include <QCheckBox>
#include <QPushButton>

#include "platform/Clock.h"
#include "plot/Controls.h"

namespace sonarix {

SoundCardDialog::SoundCardDialog(QWidget* parent) : QDialog(parent) {
    SetUpFixedDialog(this, "Form6", "Configure Sound Card", 240, 281);
    CheckBox1 = Named(new QCheckBox(QStringLiteral("Stereo"), this), "CheckBox1");
    CheckBox1->move(80, 32);
    CheckBox1->adjustSize();
    RadioGroup1 = Named(new TRadioGroup(QStringLiteral("Input Channel"),
                                        {QStringLiteral("left"), QStringLiteral("right")}, this),
                        "RadioGroup1");
    RadioGroup1->setGeometry(64, 72, 113, 89);
    RadioGroup1->SetItemIndex(0);
    RadioGroup1->setEnabled(false);
    Button1 = AddButton(this, "Button1", "Ok", 82, 200, 75, 25);
    connect(CheckBox1, &QCheckBox::clicked, this, [this] { SwitchStereo(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void SoundCardDialog::SwitchStereo() {
    platform::Sleep(10);
    RadioGroup1->setEnabled(CheckBox1->isChecked());
}

void SoundCardDialog::Button1Click() { done(1); }

bool SoundCardDialog::Stereo() const { return CheckBox1->isChecked(); }
bool SoundCardDialog::Left() const { return RadioGroup1->ItemIndex() == 0; }

}  // namespace sonarix
