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
        {ComboBox1, "ComboBox1", "Serial Port", {QStringLiteral("None")}, 0},
        {ComboBox2,
         "ComboBox2",
         "Baude Rate",
         {"300", "600", "1200", "2400", "4800", "9600", "19200"},
         5},
        {ComboBox3, "ComboBox3", "Parity", {"None", "odd", "even"}, 0},
        {ComboBox4, "ComboBox4", "Data Bits", {"5", "6", "7", "8"}, 3},
        {ComboBox5, "ComboBox5", "Stop Bits", {"1", "2"}, 1},
        {ComboBox6, "ComboBox6", "Software Protocol", {"None", "Xon/Xoff"}, 1},
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
    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(24, 392, 81, 25);
    Button2 = new QPushButton(QStringLiteral("Cancel"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(128, 392, 81, 25);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
}

void SerialPortDialog::FillPortList() {
    ComboBox1->clear();
    ComboBox1->addItem(QStringLiteral("None"));
    ComboBox1->setCurrentIndex(0);
    // PortAvailable for n = 1 ... 9, with one look at the system's list.
    const std::vector<std::string> devices = PortDevices();
    for (int n = 1; n <= 9; ++n) {
        if (!DevicePresent(devices[n - 1])) continue;
        ComboBox1->addItem(QStringLiteral("COM%1").arg(n));
        ComboBox1->setItemData(ComboBox1->count() - 1, QString::fromStdString(devices[n - 1]),
                               Qt::ToolTipRole);
    }
}

namespace {
constexpr int kBauds[] = {300, 600, 1200, 2400, 4800, 9600, 19200};
}  // namespace

void SerialPortDialog::ShowSettings() {
    const SharedState& s = m_state;
    const int port = ComboBox1->findText(QStringLiteral("COM%1").arg(s.SerialPortNr));
    ComboBox1->setCurrentIndex(s.SerialPortNr > 0 && port > 0 ? port : 0);
    const int* baud = std::find(std::begin(kBauds), std::end(kBauds), s.SerialBaud);
    if (baud != std::end(kBauds)) ComboBox2->setCurrentIndex(static_cast<int>(baud - kBauds));
    ComboBox3->setCurrentIndex(std::clamp<int>(s.SerialParity, 0, 2));
    ComboBox4->setCurrentIndex(std::clamp(s.SerialDataBits - 5, 0, 3));
    ComboBox5->setCurrentIndex(std::clamp(s.SerialStopBits - 1, 0, 1));
    ComboBox6->setCurrentIndex(s.SerialSwFlow == swfNone ? 0 : 1);
}

void SerialPortDialog::showEvent(QShowEvent* event) {
    ShowSettings();
    QDialog::showEvent(event);
}

void SerialPortDialog::Button1Click() {
    SharedState& s = m_state;
    if (ComboBox1->currentIndex() == 0) s.SerialPortNr = 0;
    for (int k = 1; k <= 9; ++k) {
        if (ComboBox1->currentText() == QStringLiteral("COM%1").arg(k)) s.SerialPortNr = k;
    }
    const int baud = ComboBox2->currentIndex();
    if (baud >= 0 && baud < 7) s.SerialBaud = kBauds[baud];
    const int parity = ComboBox3->currentIndex();
    if (parity >= 0 && parity <= 2) s.SerialParity = static_cast<uint8_t>(parity);
    s.SerialDataBits = ComboBox4->currentIndex() + 5;
    s.SerialStopBits = ComboBox5->currentIndex() + 1;
    if (ComboBox6->currentIndex() == 0) s.SerialSwFlow = swfNone;
    if (ComboBox6->currentIndex() == 1) s.SerialSwFlow = swfBoth;
    if (s.SerialPortNr > 0 && OpenGeneratorLink(s) == LinkResult::OpenFailed) {
        // The settings are stored; the dialog stays open so another port can be chosen.
        ShowMessage(s.SerialPort->ErrorString());
        return;
    }
    accept();
}

void SerialPortDialog::Button2Click() { reject(); }

}  // namespace sonarix
