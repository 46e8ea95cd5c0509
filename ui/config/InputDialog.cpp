// The input dialog.
#include "ui/config/InputDialog.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>

#include "platform/audio/Audio.h"
#include "plot/Controls.h"

namespace sonarix {

InputDialog::InputDialog(QWidget* parent) : QDialog(parent) {
    SetUpFixedDialog(this, "Form7", "Input", 205, 350);
    setModal(false);
    InputCaption = AddLabel(this, "Label1", "Select input channel", 24, 16);
    InputBox = Named(new QComboBox(this), "ComboBox1");
    // A list to choose from: a typed name is no input of the sound card.
    InputBox->setEditable(false);
    InputBox->setGeometry(24, 34, 157, 22);
    VolumeCaption = AddLabel(this, "Label2", "Volume", 80, 70);
    VolumeSlider = Named(new QSlider(Qt::Vertical, this), "TrackBar1");
    VolumeSlider->setGeometry(80, 88, 45, 170);
    VolumeSlider->setRange(0, 100);
    VolumeSlider->setInvertedAppearance(true);  // 0 at the top
    // ... so Up, Page Up and the wheel turned away from the user move the handle up, towards
    // the loudest level, as they do on every other slider.
    VolumeSlider->setInvertedControls(true);
    VolumeSlider->setTickInterval(10);
    VolumeSlider->setTickPosition(QSlider::TicksBothSides);
    VolumeSlider->setValue(50);
    InputKindLabel = AddLabel(this, "Label3", " ", 100, 270);
    OkButton = AddButton(this, "Button1", "OK", 64, 310, 75, 25);
    connect(InputBox, &QComboBox::activated, this, [this] { OnInputChosen(); });
    connect(VolumeSlider, &QSlider::valueChanged, this, [this] { OnVolumeChanged(); });
    connect(OkButton, &QPushButton::clicked, this, [this] { OnOkClicked(); });
}

void InputDialog::FillInputs(const InputList& inputs) {
    const QSignalBlocker block(InputBox);
    InputBox->clear();
    for (const std::string& name : inputs.names) InputBox->addItem(QString::fromStdString(name));
    InputBox->setCurrentIndex(inputs.selected);
}

void InputDialog::OnInputChosen() {
    SwitchToInput(InputBox->currentIndex());
    ShowInputState();
}

void InputDialog::ShowInputState() {
    const uint32_t v = audio::RecordGetInput(InputBox->currentIndex());
    // The slider clamps; a change writes the level back through TrackBar1Change.
    VolumeSlider->setValue(std::clamp(100 - static_cast<int>(v & 0xFFFF), 0, 100));
    InputKindLabel->setText(QString::fromLatin1(InputKindText(v)));
    InputKindLabel->adjustSize();
    InputKindLabel->move(100 - InputKindLabel->width() / 2, InputKindLabel->y());
}

void InputDialog::OnVolumeChanged() {
    audio::RecordSetInput(InputBox->currentIndex(),
                          audio::kInputLevel + static_cast<uint32_t>(100 - VolumeSlider->value()));
}

void InputDialog::OnOkClicked() { hide(); }

}  // namespace sonarix
