// The program on the virtual apparatus.
#include "tests/ProgramFixture.h"

#include <QApplication>
#include <cmath>

#include "measurement/Messages.h"
#include "platform/Clock.h"
#include "platform/audio/Audio.h"
#include "platform/serial/PortDevices.h"

namespace sonarix::test {

ProgramOnApparatus::ProgramOnApparatus() = default;

ProgramOnApparatus::~ProgramOnApparatus() {
    m_program.reset();
    audio::UseBackend(nullptr);
    platform::SetSleepHandler({});
    SetPortDeviceMapper({});
}

void ProgramOnApparatus::Start(std::unique_ptr<audio::VirtualApparatus> backend) {
    if (!backend) {
        backend = std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::Manual);
    }
    apparatus = backend.get();
    audio::UseBackend(std::move(backend));
    ASSERT_TRUE(StartUp(p));
    CreateRemainingWindows(p);
    f = p.form1.get();
    QApplication::processEvents();
}

void ProgramOnApparatus::TearDown() {
    if (p.form1) ShutDown(p);
    m_program.reset();
    audio::UseBackend(nullptr);
    apparatus = nullptr;
    f = nullptr;
    platform::SetSleepHandler({});
    SetPortDeviceMapper({});
}

void ProgramOnApparatus::MapPorts() {
    SetPortDeviceMapper([this](int n) -> std::string {
        auto it = devices.find(n);
        return it == devices.end() ? std::string() : it->second;
    });
}

void ProgramOnApparatus::Fill(int slot, double from, double to, double step) {
    int n = 0;
    for (double x = from; x <= to; x += step) {
        ++n;
        p.state->SpecFreq[slot][n] = x;
        p.state->SpecAmp[slot][n] = 10.0 + 5.0 * std::sin(x / 300.0);
    }
    p.state->SpecCount[slot] = n;
}

}  // namespace sonarix::test
