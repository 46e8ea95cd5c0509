// The remote control on the running program: a script's client over TCP measures, reads what
// the slots hold, and meets bad input, load and other hosts without a message box, a lost
// point or a wait of the window.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/RemoteControl.h"
#include "fitting/FitRun.h"
#include "measurement/FastSweep.h"
#include "platform/audio/VirtualApparatus.h"
#include "plot/Controls.h"
#include "remote/Scpi.h"
#include "tests/ProgramFixture.h"
#include "ui/config/RemoteDialog.h"
#include "ui/fit/PeakFitWindow.h"
#include "ui/main/MainWindow.h"
#include "ui/wave/WaveFunctionWindow.h"

namespace sonarix {
namespace {

void WaitFor(const std::function<bool()>& done, int ms = 30000) {
    const QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
}

// A script's connection, answered through the event loop the program runs in.
class Client {
public:
    explicit Client(uint16_t port, const QHostAddress& from = {},
                    const QHostAddress& to = QHostAddress::LocalHost) {
        if (!from.isNull()) socket.bind(from);
        socket.connectToHost(to, port);
        WaitFor([&] {
            return socket.state() == QAbstractSocket::ConnectedState ||
                   socket.state() == QAbstractSocket::UnconnectedState;
        });
    }
    bool Connected() const { return socket.state() == QAbstractSocket::ConnectedState; }
    void Send(const std::string& text) {
        socket.write(text.data(), static_cast<qint64>(text.size()));
    }
    // The next response message, without its terminator ("" when none comes).
    std::string Line() {
        WaitFor([&] { return socket.canReadLine() || !Connected(); });
        if (!socket.canReadLine()) return {};
        std::string line = socket.readLine().toStdString();
        if (!line.empty() && line.back() == '\n') line.pop_back();
        return line;
    }
    std::string Query(const std::string& q) {
        Send(q + "\n");
        return Line();
    }
    // The definite-length block of a query's answer.
    std::string Block(const std::string& q) {
        Send(q + "\n");
        auto need = [&](qint64 n) {
            WaitFor([&] { return socket.bytesAvailable() >= n; });
            return socket.bytesAvailable() >= n;
        };
        if (!need(2) || socket.read(1) != "#") return {};
        const int digits = socket.read(1).toInt();
        if (!need(digits)) return {};
        const qint64 length = socket.read(digits).toLongLong();
        if (!need(length + 1)) return {};
        std::string data = socket.read(length).toStdString();
        socket.read(1);  // the terminator
        return data;
    }
    QTcpSocket socket;
};

class RemoteTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Start());
        p.remote = std::make_unique<RemoteControl>(p);
        std::string why;
        ASSERT_TRUE(p.remote->Start(RemoteOptions{0, false}, why)) << why;
        port = p.remote->Server().Port();
    }
    // The slot's points as the ASCII answer lists them.
    std::string SlotText(int slot) const {
        std::string out;
        for (int k = 1; k <= p.state->SpecCount[slot]; ++k) {
            for (const double v : {p.state->SpecFreq[slot][k], p.state->SpecAmp[slot][k]}) {
                out += (out.empty() ? "" : ",") + scpi::FormatNumber(v);
            }
            if (p.state->SpecPhased[slot])
                out += "," + scpi::FormatNumber(p.state->SpecPhase[slot][k]);
        }
        return out;
    }
    uint16_t port = 0;
};

TEST_F(RemoteTest, AScriptMeasuresWhatTheWindowShowsAndReadsTheSlotExactly) {
    EXPECT_FALSE(f->RemoteLabel->isVisibleTo(f));
    Client c(port);
    ASSERT_TRUE(c.Connected());
    EXPECT_EQ(c.Query("*IDN?").rfind("Sonarix,virtual apparatus,0,", 0), 0u);
    EXPECT_TRUE(f->RemoteLabel->isVisibleTo(f)) << "the window notes the script";
    EXPECT_EQ(f->RemoteLabel->text(), "Remote: 1 script connected");
    c.Send("*RST;:FREQ:STAR 1000;STOP 1400;STEP 20;:SWE:DWEL 10;:TRAC:SLOT 2\n");
    EXPECT_EQ(c.Query("FREQ:STAR?;STOP?;STEP?;:SWE:DWEL?;:TRAC:SLOT?"), "1000;1400;20;10;2");
    // The window shows what the script set.
    EXPECT_EQ(f->StartFrequencyEdit->text(), "1000");
    EXPECT_EQ(f->SpectrumSlotGroup->ItemIndex(), 1);
    EXPECT_EQ(c.Query("INIT;STAT:OPER:COND?"), "16");
    EXPECT_EQ(c.Query("*OPC?"), "1");
    EXPECT_FALSE(f->Engine().Running());
    EXPECT_EQ(c.Query("TRAC:POIN?"), std::to_string(p.state->SpecCount[1]));
    EXPECT_EQ(p.state->SpecCount[1], 20);
    EXPECT_EQ(c.Query("TRAC:DATA? 2"), SlotText(1));
    // The same points as a block of doubles, in either byte order.
    c.Send("FORM REAL,64\n");
    for (const bool swapped : {false, true}) {
        c.Send(swapped ? "FORM:BORD SWAP\n" : "FORM:BORD NORM\n");
        const std::string block = c.Block("TRAC?");
        ASSERT_EQ(block.size(), 8u * 2 * 20);
        for (int k = 0; k < 40; ++k) {
            unsigned char b[8];
            for (int i = 0; i < 8; ++i) {
                b[swapped ? i : 7 - i] = static_cast<unsigned char>(block[8 * k + i]);
            }
            double v = 0.0;
            std::memcpy(&v, b, 8);
            EXPECT_EQ(
                v, k % 2 == 0 ? p.state->SpecFreq[1][k / 2 + 1] : p.state->SpecAmp[1][k / 2 + 1]);
        }
    }
    // A fast measurement into slot 3, waited for with *WAI.
    c.Send("FORM ASC;:TRAC:SLOT 3;:INIT:FAST;*WAI;:TRAC:POIN?\n");
    const std::string points = c.Line();
    EXPECT_EQ(points, std::to_string(p.state->SpecCount[2]));
    EXPECT_GT(p.state->SpecCount[2], 100);
    EXPECT_EQ(c.Query("TRAC:DATA? 3"), SlotText(2));
    // The latency calibrated by command: the apparatus's 10 ms.
    EXPECT_EQ(c.Query("CAL:LAT?"), "9.91E+37");
    EXPECT_EQ(c.Query("CAL:LAT;*OPC?"), "1");
    EXPECT_NEAR(std::stod(c.Query("CAL:LAT?")), 10.0, 0.1);
    EXPECT_TRUE(p.state->Latency.valid);
    // A tone, and its end.
    EXPECT_EQ(c.Query("SOUR:TONE 2500;TONE?"), "2500");
    EXPECT_TRUE(f->Engine().TonePlaying());
    EXPECT_EQ(c.Query("SOUR:TONE:STOP;*OPC?;:SOUR:TONE?"), "1;0");
    c.Send("TRAC:CLE 2\n");
    EXPECT_EQ(c.Query("TRAC:POIN? 2;:SYST:ERR?"), "0;0,\"No error\"");
    EXPECT_TRUE(messages.Messages().empty()) << messages.Messages()[0];
    c.socket.disconnectFromHost();
    WaitFor([&] { return !f->RemoteLabel->isVisibleTo(f); });
    EXPECT_FALSE(f->RemoteLabel->isVisibleTo(f));
}

// A script's angle series, a fast spectrum per angle ("Whole spectrum per angle"), the
// apparatus following the selected angle: the values are the window's.
// The script's 19-angle series with a fast spectrum per angle, and the same series clicked in the
// window ("Whole spectrum per angle", "Measure value" 19 times) on the same noise: the same values.
TEST_F(RemoteTest, AnAngleSeriesWithASpectrumPerAngleIsTheWindowsSeries) {
    Client c(port);
    apparatus->SetNoiseSeed(11);
    c.Send("FREQ:STAR 3000;STOP 4500;:WAVE:MODE WHOLE;CLE\n");
    EXPECT_EQ(c.Query("WAVE:MODE?"), "WHOL");
    EXPECT_TRUE(p.waveWindow->WholeSpectrum->isChecked());
    for (int angle = 0; angle <= 180; angle += 10) {
        ASSERT_EQ(c.Query("WAVE:ANGL " + std::to_string(angle) + ";MEAS;*OPC?"), "1") << angle;
        EXPECT_EQ(apparatus->HemisphereAngle(), angle) << "the apparatus follows";
    }
    c.Send("WAVE:FREQ 3690\n");
    const std::string script = c.Query("WAVE:DATA?");
    EXPECT_EQ(c.Query("SYST:ERR?"), "0,\"No error\"");
    const WaveValues scriptValues = p.waveWindow->WaveAmplitude;
    EXPECT_GT(scriptValues[18], 2.0 * scriptValues[9])
        << script << ": the l = 1 mode sounds at 180 degrees, hardly at 90";
    // The user opens the window to look: the script's values are there.
    WaveValues shown{};
    QTimer::singleShot(0, p.waveWindow.get(), [&] {
        shown = p.waveWindow->WaveAmplitude;
        p.waveWindow->reject();
    });
    f->WaveFunction->trigger();
    EXPECT_EQ(shown, scriptValues);

    WaveFunctionWindow& w = *p.waveWindow;
    Activate(&w);
    apparatus->SetNoiseSeed(11);
    QTest::mouseClick(w.ClearButton, Qt::LeftButton);
    EXPECT_EQ(w.WaveAmplitude[18], 0.0);
    for (int k = 0; k < kAngles; ++k) {
        QTest::mouseClick(w.MeasureValueButton, Qt::LeftButton);
        test::FinishAngle(w);
    }
    EXPECT_EQ(apparatus->HemisphereAngle(), 180.0);
    w.FrequencyEdit->setText("3690");
    QTest::keyClick(w.FrequencyEdit, Qt::Key_Return);
    for (int k = 0; k < kAngles; ++k)
        EXPECT_EQ(w.WaveAmplitude[k], scriptValues[k]) << 10 * k << " degrees";
    EXPECT_TRUE(messages.Messages().empty()) << messages.Messages()[0];
}

// Find Peaks and a fit over a range, the peaks read with their errors: the fit window's table.
TEST_F(RemoteTest, FindsPeaksFitsAndReadsThemWithTheirErrors) {
    Client c(port);
    ASSERT_EQ(c.Query("FREQ:STAR 2000;STOP 2600;STEP 5;:SWE:DWEL 10;:INIT;*OPC?"), "1");
    c.Send("FIT:OPEN 1;:FIT:RANG 2100,2500\n");
    EXPECT_EQ(c.Query("FIT:RANG?"), "2100,2500");
    EXPECT_TRUE(p.fitWindow->isVisible());
    ASSERT_EQ(c.Query("FIT:PEAK:FIND;*OPC?;:FIT;*OPC?"), "1;1");
    EXPECT_TRUE(p.fitWindow->ReportShown());
    std::vector<double> v;
    std::stringstream in(c.Query("FIT:PEAK?"));
    for (std::string item; std::getline(in, item, ',');) v.push_back(std::stod(item));
    ASSERT_FALSE(v.empty());
    ASSERT_EQ(v.size() % 8, 0u);
    const PeakTable& t = p.fitWindow->Fit().peaks;
    size_t row = 0;
    for (int k = 1; k <= kPeaks; ++k) {
        if (t.PeakAmplitude[k] == 0.0) continue;
        EXPECT_EQ(v[row], t.PeakFrequency[k]);
        EXPECT_EQ(v[row + 1], t.PeakWidth[k]);
        EXPECT_EQ(v[row + 2], t.PeakAmplitude[k]);
        EXPECT_GT(v[row + 4], 0.0) << "a frequency error";
        EXPECT_LT(v[row + 4], 1.0);
        row += 8;
    }
    EXPECT_EQ(row, v.size());
    EXPECT_EQ(c.Query("SYST:ERR?"), "0,\"No error\"");
    EXPECT_TRUE(messages.Messages().empty()) << messages.Messages()[0];
}

// The user's clicks during a script's measurement do what they do during the user's own: the
// buttons of other work are unavailable, Stop ends it with the points so far, and the script's
// *OPC? answers.
TEST_F(RemoteTest, TheUsersStopEndsAScriptsMeasurementAsItEndsTheirOwn) {
    Client c(port);
    c.Send("FREQ:STAR 1000;STOP 3000;STEP 10;:SWE:DWEL 10\n");
    bool fitEnabled = true, measureShown = true;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (p.state->SpecCount[0] < 30) return;
        watch.stop();
        fitEnabled = f->FitSpectrumButton->isEnabled();
        measureShown = f->MeasureButton->isVisible();
        QTest::mouseClick(f->StopButton, Qt::LeftButton);
    });
    watch.start(0);
    EXPECT_EQ(c.Query("INIT;*OPC?"), "1");
    EXPECT_FALSE(fitEnabled);
    EXPECT_FALSE(measureShown);
    EXPECT_GE(p.state->SpecCount[0], 30);
    EXPECT_LT(p.state->SpecCount[0], 200) << "stopped";
    EXPECT_EQ(p.state->SpecFreq[0][1], 1010.0);
    EXPECT_EQ(c.Query("TRAC:POIN?"), std::to_string(p.state->SpecCount[0]));
    EXPECT_TRUE(f->MeasureButton->isVisible());
    EXPECT_TRUE(f->FitSpectrumButton->isEnabled());
    EXPECT_EQ(c.Query("SYST:ERR?"), "0,\"No error\"");
    EXPECT_TRUE(messages.Messages().empty()) << messages.Messages()[0];
}

TEST_F(RemoteTest, BadInputGoesToTheErrorQueueNeverToAMessageBox) {
    Client c(port);
    c.Send("FREQ:STAR 1000;STOP 1200;STEP 20;:SWE:DWEL 10\n");
    // Unknown headers, wrong types, values out of range, binary garbage, an overlong line.
    c.Send("FOO:BAR?\nFREQ:STAR ON\nFREQ:STAR 1e9\n\x01\x02\xff\xfe\n");
    c.Send(std::string(1 << 20, 'A') + "\n");
    const int expected[] = {-113, -104, -222, -101, -363};
    for (const int e : expected) EXPECT_EQ(std::atoi(c.Query("SYST:ERR?").c_str()), e);
    EXPECT_EQ(c.Query("SYST:ERR?"), "0,\"No error\"");
    EXPECT_EQ(c.Query("FREQ:STAR?"), "1000") << "nothing changed, the connection works on";
    // During a measurement: settings and a second start are refused, queries answer.
    EXPECT_EQ(c.Query("INIT;:FREQ:STAR 500;:INIT;:TRAC:SLOT 2;:FREQ:STAR?"), "1000");
    EXPECT_EQ(std::atoi(c.Query("SYST:ERR?").c_str()), -221);
    EXPECT_EQ(std::atoi(c.Query("SYST:ERR?").c_str()), -213);
    EXPECT_EQ(std::atoi(c.Query("SYST:ERR?").c_str()), -221);
    EXPECT_EQ(c.Query("*OPC?"), "1");
    EXPECT_EQ(p.state->SpecCount[0], 10) << "the measurement ran through";
    // What the program would tell its user goes to the queue with its words.
    c.Send("SOUR:VOL 0;:INIT:FAST\n");
    EXPECT_EQ(c.Query("SYST:ERR?"),
              "-200," + scpi::QuoteString(std::string("Execution error;") + kFastNoVolume));
    EXPECT_TRUE(messages.Messages().empty()) << messages.Messages()[0];
    // Another connection's errors are its own.
    Client other(port);
    EXPECT_EQ(other.Query("SYST:ERR?"), "0,\"No error\"");
}

TEST_F(RemoteTest, FourConnectionsFromThisComputerAndNoneFromElsewhere) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < RemoteServer::kMostClients; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        ASSERT_EQ(clients.back()->Query("*IDN?").substr(0, 8), "Sonarix,");
    }
    Client fifth(port);
    EXPECT_EQ(fifth.Line().rfind("refused: at most 4", 0), 0u);
    WaitFor([&] { return !fifth.Connected(); });
    EXPECT_FALSE(fifth.Connected());
    // A client that goes away in the middle of a long answer costs the others nothing.
    {
        Client gone(port);
        gone.Send("INIT;*OPC?;:TRAC:DATA?\n");
        gone.socket.abort();
    }
    clients.pop_back();
    WaitFor([&] { return p.remote->Server().Clients() < RemoteServer::kMostClients; });
    EXPECT_EQ(clients[0]->Query("*OPC?;:SYST:ERR?"), "1;0,\"No error\"");
    // Another host: 127.0.0.2 is this computer's loopback too, but not "localhost only".
    Client fromElsewhere(port, QHostAddress("127.0.0.2"));
    EXPECT_NE(fromElsewhere.Line().find("refused"), std::string::npos);
    Client toElsewhere(port, {}, QHostAddress("127.0.0.2"));
    EXPECT_FALSE(toElsewhere.Connected());
    EXPECT_TRUE(messages.Messages().empty());
}

// Configure / "Remote Control", used with the keyboard: switched on at a port, opened again to see
// it and to read the warning about other computers, a port already taken, and off again.
class RemoteDialogTest : public test::ProgramOnApparatus {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Start()); }
    // The dialog opened from the menu, `keys` done in it while it is shown.
    void InDialog(const std::function<void(RemoteDialog&)>& keys) {
        RemoteDialog& d = *p.remoteDialog;
        bool shown = false;
        QTimer::singleShot(0, &d, [&] {
            shown = d.isVisible() && d.isModal();
            Activate(&d);
            keys(d);
            if (d.isVisible()) d.reject();
        });
        f->ConfigureRemote->trigger();
        EXPECT_TRUE(shown);
        EXPECT_FALSE(d.isVisible());
    }
    static void TypePort(RemoteDialog& d, uint16_t port) {
        d.PortEdit->setFocus(Qt::TabFocusReason);
        QTest::keyClick(d.PortEdit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(d.PortEdit, QString::number(port));
    }
    // A port nothing listens on now.
    static uint16_t FreePort() {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }
};

TEST_F(RemoteDialogTest, SwitchesTheServerWarnsOfOtherComputersAndKeepsItOnAFailedChange) {
    EXPECT_EQ(p.remote, nullptr) << "off by default";
    const uint16_t port = FreePort();
    InDialog([&](RemoteDialog& d) {
        EXPECT_EQ(d.StateLabel->text(), "Now: off.");
        EXPECT_FALSE(d.PortEdit->isEnabled());
        Key(&d, Qt::Key_Space);  // the focus starts on the switch
        EXPECT_TRUE(d.PortEdit->isEnabled());
        TypePort(d, port);
        Key(&d, Qt::Key_Return);
    });
    ASSERT_NE(p.remote, nullptr);
    EXPECT_EQ(p.remote->Server().Port(), port);
    auto c = std::make_unique<Client>(port);
    EXPECT_EQ(c->Query("*IDN?").substr(0, 8), "Sonarix,");
    WaitFor([&] { return f->RemoteLabel->isVisible(); });
    EXPECT_TRUE(f->RemoteLabel->isVisible());

    // Other computers: the warning says what they may do; Escape changes nothing.
    InDialog([&](RemoteDialog& d) {
        EXPECT_EQ(
            d.StateLabel->text(),
            QString("Now: on, port %1, from this computer only; 1 script connected.").arg(port));
        EXPECT_TRUE(d.HostsWarning->text().isEmpty());
        d.OtherHostsCheck->setFocus(Qt::TabFocusReason);
        Key(&d, Qt::Key_Space);
        EXPECT_TRUE(
            d.HostsWarning->text().contains(QString("on port %1 can then measure").arg(port)))
            << d.HostsWarning->text().toStdString();
        Key(&d, Qt::Key_Escape);
    });
    EXPECT_FALSE(p.remote->Server().Options().otherHosts);
    EXPECT_EQ(c->Query("SYST:ERR?"), "0,\"No error\"") << "the connection stays";

    // A port that is taken: the reason, the dialog stays, and the server runs on as it was.
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
    InDialog([&](RemoteDialog& d) {
        TypePort(d, holder.serverPort());
        Key(&d, Qt::Key_Return);
        EXPECT_TRUE(d.isVisible());
    });
    ASSERT_EQ(messages.Messages().size(), 1u);
    EXPECT_EQ(messages.Messages()[0].rfind("The remote control cannot listen on port " +
                                               std::to_string(holder.serverPort()) + ": ",
                                           0),
              0u)
        << messages.Messages()[0];
    ASSERT_NE(p.remote, nullptr);
    EXPECT_EQ(p.remote->Server().Port(), port);
    EXPECT_EQ(c->Query("*OPC?"), "1") << "the connection stays";

    // Off: the script's connection ends, the note goes.
    InDialog([&](RemoteDialog& d) {
        Key(&d, Qt::Key_Space);
        EXPECT_FALSE(d.PortEdit->isEnabled());
        Key(&d, Qt::Key_Return);
    });
    EXPECT_EQ(p.remote, nullptr);
    WaitFor([&] { return !c->Connected(); });
    EXPECT_FALSE(c->Connected());
    EXPECT_FALSE(f->RemoteLabel->isVisible());
}

}  // namespace
}  // namespace sonarix
