// The serial dialog.
#include "ui/config/SerialPortDialog.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <iterator>

#include "measurement/GeneratorLink.h"
#include "measurement/Messages.h"
#include "platform/serial/TApdComPort.h"
#include "plot/Controls.h"

namespace sonarix {

SerialPortDialog::SerialPortDialog(SharedState& state, QWidget* parent)
    : QDialog(parent), m_state(state) {
    setObjectName(QStringLiteral("Form8"));
    setWindowTitle(QStringLiteral("Configure Serial Port"));
    setFixedSize(std::max(232, TitleWidth(windowTitle())), 441);
    struct Box {
        QComboBox*& box;
        const char* name;
        const char* label;
        QStringList items;
        int selected;
    };
    const Box boxes[] = {
        {PortBox, "ComboBox1", "Serial Port", {QStringLiteral("None")}, 0},
        {BaudRateBox,
         "ComboBox2",
         "Baude Rate",
         {"300", "600", "1200", "2400", "4800", "9600", "19200"},
         5},
        {ParityBox, "ComboBox3", "Parity", {"None", "odd", "even"}, 0},
        {DataBitsBox, "ComboBox4", "Data Bits", {"5", "6", "7", "8"}, 3},
        {StopBitsBox, "ComboBox5", "Stop Bits", {"1", "2"}, 1},
        {ProtocolBox, "ComboBox6", "Software Protocol", {"None", "Xon/Xoff"}, 1},
    };
    int top = 16;
    for (const Box& b : boxes) {
        auto* label = new QLabel(QString::fromLatin1(b.label), this);
        label->move(24, top);
        label->adjustSize();
        // Plain drop-down lists: values outside the lists cannot be typed.
        b.box = new QComboBox(this);
        b.box->setObjectName(QString::fromLatin1(b.name));
        b.box->setEditable(false);
        b.box->addItems(b.items);
        b.box->setCurrentIndex(b.selected);
        b.box->setGeometry(24, top + 16, 185, 21);
        top += 60;
    }
    OkButton = new QPushButton(QStringLiteral("OK"), this);
    OkButton->setObjectName(QStringLiteral("Button1"));
    OkButton->setGeometry(24, 392, 81, 25);
    CancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    CancelButton->setObjectName(QStringLiteral("Button2"));
    CancelButton->setGeometry(128, 392, 81, 25);
    connect(OkButton, &QPushButton::clicked, this, [this] { OnOkClicked(); });
    connect(CancelButton, &QPushButton::clicked, this, [this] { OnCancelClicked(); });
}

void SerialPortDialog::FillPortList() {
    PortBox->clear();
    PortBox->addItem(QStringLiteral("None"));
    PortBox->setCurrentIndex(0);
    // PortAvailable for n = 1 ... 9, with one look at the system's list.
    const std::vector<std::string> devices = PortDevices();
    for (int n = 1; n <= 9; ++n) {
        if (!DevicePresent(devices[n - 1])) continue;
        PortBox->addItem(QStringLiteral("COM%1").arg(n));
        PortBox->setItemData(PortBox->count() - 1, QString::fromStdString(devices[n - 1]),
                             Qt::ToolTipRole);
    }
}

namespace {
constexpr int kBauds[] = {300, 600, 1200, 2400, 4800, 9600, 19200};
}  // namespace

void SerialPortDialog::ShowSettings() {
    const SharedState& s = m_state;
    const int port = PortBox->findText(QStringLiteral("COM%1").arg(s.SerialPortNr));
    PortBox->setCurrentIndex(s.SerialPortNr > 0 && port > 0 ? port : 0);
    const int* baud = std::find(std::begin(kBauds), std::end(kBauds), s.SerialBaud);
    if (baud != std::end(kBauds)) BaudRateBox->setCurrentIndex(static_cast<int>(baud - kBauds));
    ParityBox->setCurrentIndex(std::clamp<int>(s.SerialParity, 0, 2));
    DataBitsBox->setCurrentIndex(std::clamp(s.SerialDataBits - 5, 0, 3));
    StopBitsBox->setCurrentIndex(std::clamp(s.SerialStopBits - 1, 0, 1));
    ProtocolBox->setCurrentIndex(s.SerialSwFlow == swfNone ? 0 : 1);
}

void SerialPortDialog::showEvent(QShowEvent* event) {
    ShowSettings();
    QDialog::showEvent(event);
}

void SerialPortDialog::OnOkClicked() {
    SharedState& s = m_state;
    if (PortBox->currentIndex() == 0) s.SerialPortNr = 0;
    for (int k = 1; k <= 9; ++k) {
        if (PortBox->currentText() == QStringLiteral("COM%1").arg(k)) s.SerialPortNr = k;
    }
    const int baud = BaudRateBox->currentIndex();
    if (baud >= 0 && baud < 7) s.SerialBaud = kBauds[baud];
    const int parity = ParityBox->currentIndex();
    if (parity >= 0 && parity <= 2) s.SerialParity = static_cast<uint8_t>(parity);
    s.SerialDataBits = DataBitsBox->currentIndex() + 5;
    s.SerialStopBits = StopBitsBox->currentIndex() + 1;
    if (ProtocolBox->currentIndex() == 0) s.SerialSwFlow = swfNone;
    if (ProtocolBox->currentIndex() == 1) s.SerialSwFlow = swfBoth;
    const LinkResult link = s.SerialPortNr > 0 ? OpenGeneratorLink(s) : LinkResult::Opened;
    if (link == LinkResult::OpenFailed) {
        // The settings are stored; the dialog stays open so another port can be chosen.
        ShowMessage(s.SerialPort->ErrorString());
        return;
    }
    if (link == LinkResult::NotAvailable) ShowMessage(kPortNotAvailable);
    accept();
}

void SerialPortDialog::OnCancelClicked() { reject(); }

}  // namespace sonarix
