// The serial port object, the generator link and the serial dialog, against pseudo-terminals.
#include <gtest/gtest.h>
#include <termios.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>

#include "app/Program.h"
#include "measurement/GeneratorLink.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "platform/serial/TApdComPort.h"
#include "tests/ProgramFixture.h"
#include "tests/serial/PtyGenerator.h"
#include "ui/config/SerialPortDialog.h"
#include "ui/main/MainWindow.h"

namespace sonarix {
namespace {

struct CommandCase {
    double frequency;
    const char* text;
};

class FrequencyCommandText : public testing::TestWithParam<CommandCase> {};

TEST_P(FrequencyCommandText, SevenDecimalsInTwelveCharacters) {
    EXPECT_EQ(FrequencyCommand(GetParam().frequency), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Commands, FrequencyCommandText,
                         testing::Values(CommandCase{110.0, "FRQ: 110.0000000\r"},
                                         CommandCase{1000.0, "FRQ:1000.0000000\r"},
                                         CommandCase{10000.0, "FRQ:10000.0000000\r"},
                                         CommandCase{99.5, "FRQ:  99.5000000\r"},
                                         CommandCase{-5.0, "FRQ:  -5.0000000\r"},
                                         CommandCase{440.0, "FRQ: 440.0000000\r"},
                                         CommandCase{0.123456789, "FRQ:   0.1234568\r"}),
                         [](const auto& info) {
                             return test::CaseName(info.index, info.param.frequency);
                         });

TEST(GeneratorInit, IsFortyTwoBytesEndingInCarriageReturn) {
    const std::string init = kGeneratorInit;
    EXPECT_EQ(init.size(), 42u);
    EXPECT_EQ(init.back(), '\r');
}

// The program brought up on the virtual apparatus with COM numbers mapped as the test says.
class SerialLinkTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override { MapPorts(); }
    void Start() {
        ASSERT_NO_FATAL_FAILURE(ProgramOnApparatus::Start());
        serialDialog = p.serialDialog.get();
    }
    termios LineOf(const test::PtyGenerator& g) {
        termios t{};
        tcgetattr(g.SlaveFd(), &t);
        return t;
    }

    SerialPortDialog* serialDialog = nullptr;
};

TEST_F(SerialLinkTest, OkOpensThePortWithTheDefaultLineAndSendsTheInitialisation) {
    test::PtyGenerator generator;
    devices[3] = generator.Device();
    Start();
    ASSERT_EQ(serialDialog->PortBox->count(), 2);
    EXPECT_EQ(serialDialog->PortBox->itemText(0), "None");
    EXPECT_EQ(serialDialog->PortBox->itemText(1), "COM3");
    EXPECT_EQ(serialDialog->PortBox->itemData(1, Qt::ToolTipRole).toString().toStdString(),
              generator.Device());
    EXPECT_EQ(serialDialog->PortBox->currentIndex(), 0);
    serialDialog->show();
    serialDialog->PortBox->setCurrentIndex(1);
    serialDialog->OnOkClicked();
    EXPECT_FALSE(serialDialog->isVisible());
    EXPECT_EQ(serialDialog->result(), QDialog::Accepted);
    const SharedState& s = *p.state;
    EXPECT_EQ(s.SerialPortNr, 3);
    EXPECT_TRUE(s.SerialPort->Open());
    EXPECT_EQ(s.SerialPort->OutSize, 256);
    EXPECT_EQ(s.SerialCommand, kGeneratorInit);
    EXPECT_EQ(generator.WaitFor(42), kGeneratorInit);
    EXPECT_TRUE(messages.Messages().empty());
    // 9600 baud, 8 data bits, no parity, 2 stop bits, XON/XOFF.
    const termios t = LineOf(generator);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_cc[VSTART], 17);
    EXPECT_EQ(t.c_cc[VSTOP], 19);
    EXPECT_EQ(s.SerialPort->BufferFull(), 3072);
    EXPECT_EQ(s.SerialPort->BufferResume(), 1024);
    EXPECT_FALSE(t.c_oflag & OPOST);  // the carriage returns go out as they are
}

TEST_F(SerialLinkTest, OtherSettingsFromTheDialogReachTheLine) {
    test::PtyGenerator generator;
    devices[1] = generator.Device();
    Start();
    serialDialog->PortBox->setCurrentIndex(1);
    serialDialog->BaudRateBox->setCurrentIndex(6);  // 19200
    serialDialog->ParityBox->setCurrentIndex(0);    // none
    serialDialog->DataBitsBox->setCurrentIndex(3);  // 8 data bits
    serialDialog->StopBitsBox->setCurrentIndex(0);  // 1 stop bit
    serialDialog->ProtocolBox->setCurrentIndex(0);  // no flow control
    serialDialog->OnOkClicked();
    const SharedState& s = *p.state;
    EXPECT_EQ(s.SerialPortNr, 1);
    EXPECT_EQ(s.SerialBaud, 19200);
    EXPECT_EQ(s.SerialParity, 0);
    EXPECT_EQ(s.SerialDataBits, 8);
    EXPECT_EQ(s.SerialStopBits, 1);
    EXPECT_EQ(s.SerialSwFlow, 0);
    EXPECT_EQ(generator.WaitFor(42), kGeneratorInit);
    const termios t = LineOf(generator);
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_iflag & IXON);
    const TApdComPort::Line line = s.SerialPort->OpenLine();
    EXPECT_EQ(line.baud, 19200);
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_EQ(line.parity, pNone);
    EXPECT_EQ(line.stopBits, 1);
    EXPECT_FALSE(line.xonXoff);
}

// A pseudo-terminal keeps 8 data bits whatever is asked of it, like a serial adapter that
// lacks a setting: the opening fails with a clear reason instead of sending
// something else than the dialog shows.
TEST_F(SerialLinkTest, ASettingTheDeviceRefusesIsReported) {
    test::PtyGenerator generator;
    devices[1] = generator.Device();
    Start();
    serialDialog->show();
    serialDialog->PortBox->setCurrentIndex(1);
    serialDialog->DataBitsBox->setCurrentIndex(2);  // 7 data bits
    serialDialog->OnOkClicked();
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_NE(messages.Messages()[0].find("does not support this number of data bits"),
              std::string::npos)
        << messages.Messages()[0];
    EXPECT_TRUE(serialDialog->isVisible());
    EXPECT_FALSE(p.state->SerialPort->Open());
    EXPECT_EQ(generator.Received(), "");
    serialDialog->DataBitsBox->setCurrentIndex(3);
    serialDialog->OnOkClicked();
    EXPECT_FALSE(serialDialog->isVisible());
    EXPECT_EQ(generator.WaitFor(42), kGeneratorInit);
}

TEST_F(SerialLinkTest, NoPortsLeaveOnlyNoneAndOkTouchesNoPort) {
    Start();
    ASSERT_EQ(serialDialog->PortBox->count(), 1);
    EXPECT_EQ(serialDialog->PortBox->itemText(0), "None");
    serialDialog->OnOkClicked();
    EXPECT_EQ(p.state->SerialPortNr, 0);
    EXPECT_FALSE(p.state->SerialPort->Open());
    EXPECT_TRUE(messages.Messages().empty());
    EXPECT_EQ(serialDialog->result(), QDialog::Accepted);
}

TEST_F(SerialLinkTest, APortThatVanishedSinceStartUp) {
    test::PtyGenerator generator;
    devices[2] = generator.Device();
    Start();
    devices[2] = "/dev/sonarix-unplugged";
    serialDialog->show();
    serialDialog->PortBox->setCurrentIndex(1);
    serialDialog->OnOkClicked();
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0], "Seriel port not available");
    EXPECT_FALSE(serialDialog->isVisible());  // the dialog closes
    EXPECT_EQ(p.state->SerialPortNr, 2);
    EXPECT_FALSE(p.state->SerialPort->Open());
}

TEST_F(SerialLinkTest, ADeviceThatCannotBeOpenedKeepsTheDialogOpen) {
    devices[1] = "/tmp";  // present, but not a serial device
    test::PtyGenerator generator;
    devices[2] = generator.Device();
    Start();
    ASSERT_EQ(serialDialog->PortBox->count(), 3);
    serialDialog->show();
    serialDialog->PortBox->setCurrentIndex(1);
    serialDialog->BaudRateBox->setCurrentIndex(4);  // 4800
    serialDialog->OnOkClicked();
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_NE(messages.Messages()[0].find("Cannot open serial port /tmp"), std::string::npos)
        << messages.Messages()[0];
    EXPECT_TRUE(serialDialog->isVisible());
    EXPECT_EQ(p.state->SerialPortNr, 1);  // the settings are stored
    EXPECT_EQ(p.state->SerialBaud, 4800);
    EXPECT_FALSE(p.state->SerialPort->Open());
    // The port object works again with another port.
    serialDialog->PortBox->setCurrentIndex(2);
    serialDialog->OnOkClicked();
    EXPECT_FALSE(serialDialog->isVisible());
    EXPECT_EQ(generator.WaitFor(42), kGeneratorInit);
    EXPECT_EQ(cfgetospeed(&static_cast<const termios&>(LineOf(generator))), B4800);
}

TEST_F(SerialLinkTest, CancelChangesNothingAndTheBoxesShowTheSettingsInForce) {
    test::PtyGenerator generator;
    devices[1] = generator.Device();
    Start();
    serialDialog->show();
    serialDialog->PortBox->setCurrentIndex(1);
    serialDialog->BaudRateBox->setCurrentIndex(0);
    serialDialog->OnCancelClicked();
    EXPECT_FALSE(serialDialog->isVisible());
    EXPECT_EQ(p.state->SerialPortNr, 0);
    EXPECT_EQ(p.state->SerialBaud, 9600);
    EXPECT_FALSE(p.state->SerialPort->Open());
    // Opened again, the boxes show the settings in force, not what was cancelled.
    serialDialog->show();
    EXPECT_EQ(serialDialog->PortBox->currentIndex(), 0);
    EXPECT_EQ(serialDialog->BaudRateBox->currentIndex(), 5);
    serialDialog->OnOkClicked();
    EXPECT_EQ(p.state->SerialPortNr, 0);
    EXPECT_EQ(p.state->SerialBaud, 9600);
    serialDialog->show();
    serialDialog->PortBox->setCurrentIndex(1);
    serialDialog->BaudRateBox->setCurrentIndex(0);
    serialDialog->OnOkClicked();
    EXPECT_EQ(p.state->SerialPortNr, 1);
    EXPECT_EQ(p.state->SerialBaud, 300);
    serialDialog->show();
    EXPECT_EQ(serialDialog->PortBox->currentText(), "COM1");
    EXPECT_EQ(serialDialog->BaudRateBox->currentText(), "300");
    // "None" afterwards: no further link, and the open port is left as it is.
    serialDialog->PortBox->setCurrentIndex(0);
    serialDialog->OnOkClicked();
    EXPECT_EQ(p.state->SerialPortNr, 0);
    EXPECT_TRUE(p.state->SerialPort->Open());
}

TEST_F(SerialLinkTest, ThousandCommandsArriveCompleteAndInOrder) {
    test::PtyGenerator generator;
    devices[1] = generator.Device();
    Start();
    serialDialog->PortBox->setCurrentIndex(1);
    serialDialog->BaudRateBox->setCurrentIndex(6);
    serialDialog->OnOkClicked();
    std::string expected = kGeneratorInit;
    for (int i = 0; i < 1000; ++i) {
        const std::string command = FrequencyCommand(100.0 + 9.9 * i);
        ASSERT_TRUE(SendCommand(*p.state, command)) << i;
        EXPECT_EQ(p.state->SerialPort->PendingOutput(), 0);
        expected += command;
    }
    EXPECT_EQ(generator.WaitFor(expected.size()), expected);
}

TEST_F(SerialLinkTest, SendingOnAClosedPortOpensItFirstOrReportsWhyNot) {
    test::PtyGenerator generator;
    devices[4] = generator.Device();
    Start();
    TApdComPort& port = *p.state->SerialPort;
    port.ComNumber = 5;  // nothing there
    EXPECT_FALSE(SendCommand(*p.state, FrequencyCommand(440.0)));
    EXPECT_FALSE(port.ErrorString().empty());
    EXPECT_EQ(port.PendingOutput(), 0);
    port.ComNumber = 4;
    port.Baud = 9600;
    EXPECT_TRUE(SendCommand(*p.state, FrequencyCommand(440.0)));
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(generator.WaitFor(17), "FRQ: 440.0000000\r");
}

TEST_F(SerialLinkTest, ADeviceThatGoesAwayWhileOpenFailsTheSendInOrder) {
    auto generator = std::make_unique<test::PtyGenerator>();
    devices[1] = generator->Device();
    Start();
    serialDialog->PortBox->setCurrentIndex(1);
    serialDialog->OnOkClicked();
    ASSERT_TRUE(p.state->SerialPort->Open());
    generator.reset();  // unplugged: the other side of the line is gone
    const auto start = std::chrono::steady_clock::now();
    bool failed = false;
    for (int i = 0; i < 50 && !failed; ++i)
        failed = !SendCommand(*p.state, FrequencyCommand(500.0));
    EXPECT_TRUE(failed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(p.state->SerialPort->ErrorString().empty());
    EXPECT_EQ(p.state->SerialPort->PendingOutput(), 0);
}

TEST_F(SerialLinkTest, ConfigureSerialShowsTheDialogModally) {
    Start();
    EXPECT_TRUE(p.mainWindow->ConfigureSerial->isEnabled());
    EXPECT_EQ(serialDialog->windowTitle(), "Configure Serial Port");
    EXPECT_EQ(serialDialog->height(), 441);
    EXPECT_GE(serialDialog->width(), 232);
    EXPECT_FALSE(serialDialog->BaudRateBox->isEditable());
    EXPECT_EQ(serialDialog->BaudRateBox->currentText(), "9600");
    EXPECT_EQ(serialDialog->ParityBox->currentText(), "None");
    EXPECT_EQ(serialDialog->DataBitsBox->currentText(), "8");
    EXPECT_EQ(serialDialog->StopBitsBox->currentText(), "2");
    EXPECT_EQ(serialDialog->ProtocolBox->currentText(), "Xon/Xoff");
    QMetaObject::invokeMethod(
        serialDialog,
        [this] {
            EXPECT_TRUE(serialDialog->isModal());
            serialDialog->CancelButton->click();
        },
        Qt::QueuedConnection);
    p.mainWindow->ConfigureSerialExecute();
    EXPECT_FALSE(serialDialog->isVisible());
}

TEST_F(SerialLinkTest, APortHeldElsewhereCannotBeOpenedUntilItIsFree) {
    test::PtyGenerator generator;
    devices[1] = generator.Device();
    TApdComPort holder, second;
    holder.ComNumber = second.ComNumber = 1;
    ASSERT_TRUE(holder.SetOpen(true));
    EXPECT_FALSE(second.SetOpen(true));
    EXPECT_NE(second.ErrorString().find("Cannot open serial port"), std::string::npos)
        << second.ErrorString();
    EXPECT_FALSE(second.Open());
    EXPECT_EQ(second.PendingOutput(), 0);
    holder.SetOpen(false);
    ASSERT_TRUE(second.SetOpen(true));
    ASSERT_TRUE(second.WriteText("FRQ:1000.0000000\r"));
    EXPECT_EQ(generator.WaitFor(17), "FRQ:1000.0000000\r");
}

TEST(PortAvailable, OnlyComOneToNineThatExist) {
    {
        platform::ContextScope mapped([](platform::Context& c) {
            c.portDevice = [](int) { return std::string("/dev/null"); };
        });
        EXPECT_FALSE(PortAvailable(0));
        EXPECT_TRUE(PortAvailable(1));
        EXPECT_TRUE(PortAvailable(9));
        EXPECT_FALSE(PortAvailable(10));
    }
    platform::ContextScope missing([](platform::Context& c) {
        c.portDevice = [](int) { return std::string("/dev/sonarix-nothing"); };
    });
    EXPECT_FALSE(PortAvailable(1));
}

}  // namespace
}  // namespace sonarix
