// The sound card dialog.
#include "ui/config/SoundCardDialog.h"

#include <QCheckBox>
#include <QPushButton>

#include "platform/Clock.h"
#include "plot/Controls.h"

namespace sonarix {

SoundCardDialog::SoundCardDialog(QWidget* parent) : QDialog(parent) {
    SetUpFixedDialog(this, "Form6", "Configure Sound Card", 240, 281);
    StereoCheck = Named(new QCheckBox(QStringLiteral("Stereo"), this), "CheckBox1");
    StereoCheck->move(80, 32);
    StereoCheck->adjustSize();
    InputChannelGroup =
        Named(new TRadioGroup(QStringLiteral("Input Channel"),
                              {QStringLiteral("left"), QStringLiteral("right")}, this),
              "RadioGroup1");
    InputChannelGroup->setGeometry(64, 72, 113, 89);
    InputChannelGroup->SetItemIndex(0);
    InputChannelGroup->setEnabled(false);
    OkButton = AddButton(this, "Button1", "Ok", 82, 200, 75, 25);
    connect(StereoCheck, &QCheckBox::clicked, this, [this] { SwitchStereo(); });
    connect(OkButton, &QPushButton::clicked, this, [this] { OnOkClicked(); });
}

void SoundCardDialog::SwitchStereo() {
    platform::Sleep(10);
    InputChannelGroup->setEnabled(StereoCheck->isChecked());
}

void SoundCardDialog::OnOkClicked() { done(1); }

bool SoundCardDialog::Stereo() const { return StereoCheck->isChecked(); }
bool SoundCardDialog::Left() const { return InputChannelGroup->ItemIndex() == 0; }

}  // namespace sonarix
