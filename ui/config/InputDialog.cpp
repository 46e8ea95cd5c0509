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
    Label1 = AddLabel(this, "Label1", "Select input channel", 24, 16);
    ComboBox1 = Named(new QComboBox(this), "ComboBox1");
    // A list to choose from: a typed name is no input of the sound card.
    ComboBox1->setEditable(false);
    ComboBox1->setGeometry(24, 34, 157, 22);
    Label2 = AddLabel(this, "Label2", "Volume", 80, 70);
    TrackBar1 = Named(new QSlider(Qt::Vertical, this), "TrackBar1");
    TrackBar1->setGeometry(80, 88, 45, 170);
    TrackBar1->setRange(0, 100);
    TrackBar1->setInvertedAppearance(true);  // 0 at the top
    // ... so Up, Page Up and the wheel turned away from the user move the handle up, towards
    // the loudest level, as they do on every other slider.
    TrackBar1->setInvertedControls(true);
    TrackBar1->setTickInterval(10);
    TrackBar1->setTickPosition(QSlider::TicksBothSides);
    TrackBar1->setValue(50);
    Label3 = AddLabel(this, "Label3", " ", 100, 270);
    Button1 = AddButton(this, "Button1", "OK", 64, 310, 75, 25);
    connect(ComboBox1, &QComboBox::activated, this, [this] { ComboBox1Change(); });
    connect(TrackBar1, &QSlider::valueChanged, this, [this] { TrackBar1Change(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void InputDialog::FillInputs(const InputList& inputs) {
    const QSignalBlocker block(ComboBox1);
    ComboBox1->clear();
    for (const std::string& name : inputs.names) ComboBox1->addItem(QString::fromStdString(name));
    ComboBox1->setCurrentIndex(inputs.selected);
}

void InputDialog::ComboBox1Change() {
    SwitchToInput(ComboBox1->currentIndex());
    ShowInputState();
}

void InputDialog::ShowInputState() {
    const uint32_t v = audio::RecordGetInput(ComboBox1->currentIndex());
    // The slider clamps; a change writes the level back through TrackBar1Change.
    TrackBar1->setValue(std::clamp(100 - static_cast<int>(v & 0xFFFF), 0, 100));
    Label3->setText(QString::fromLatin1(InputKindText(v)));
    Label3->adjustSize();
    Label3->move(100 - Label3->width() / 2, Label3->y());
}

void InputDialog::TrackBar1Change() {
    audio::RecordSetInput(ComboBox1->currentIndex(),
                          audio::kInputLevel + static_cast<uint32_t>(100 - TrackBar1->value()));
}

void InputDialog::Button1Click() { hide(); }

}  // namespace sonarix
