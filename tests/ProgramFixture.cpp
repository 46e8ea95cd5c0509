// The program on the virtual apparatus.
#include "tests/ProgramFixture.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <cmath>

#include "measurement/Messages.h"
#include "platform/Context.h"
#include "session/SessionKeeper.h"
#include "ui/fit/PeakFitWindow.h"
#include "ui/main/MainWindow.h"
#include "ui/wave/WaveFunctionWindow.h"

namespace sonarix::test {

ProgramOnApparatus::ProgramOnApparatus() = default;

ProgramOnApparatus::~ProgramOnApparatus() {
    m_program.reset();
    m_apparatus.reset();
    m_ports.reset();
}

void ProgramOnApparatus::Start(std::unique_ptr<audio::VirtualApparatus> backend) {
    if (!backend) {
        backend = std::make_unique<audio::VirtualApparatus>(audio::VirtualApparatus::Clock::Manual);
    }
    apparatus = backend.get();
    m_apparatus.emplace(std::move(backend));
    ASSERT_TRUE(StartUp(p));
    CreateRemainingWindows(p);
    f = p.mainWindow.get();
    QApplication::processEvents();
}

void ProgramOnApparatus::TearDown() {
    if (p.mainWindow) ShutDown(p);
    m_program.reset();
    m_apparatus.reset();
    m_ports.reset();
    apparatus = nullptr;
    f = nullptr;
}

void ProgramOnApparatus::Activate(QWidget* window) {
    window->show();
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window)) << window->objectName().toStdString();
}

void ProgramOnApparatus::Key(QWidget* window, Qt::Key key, Qt::KeyboardModifiers mods) {
    QTest::keyClick(window->windowHandle(), key, mods);
}

void ProgramOnApparatus::ClickAt(QWidget* widget, QPoint pos, int ms) {
    QWindow* w = widget->window()->windowHandle();
    const QPointF local = w->mapFromGlobal(widget->mapToGlobal(QPointF(pos)));
    const QPointF global = widget->mapToGlobal(QPointF(pos));
    qt_handleMouseEvent(w, local, global, Qt::LeftButton, Qt::LeftButton, QEvent::MouseButtonPress,
                        Qt::NoModifier, ms);
    qt_handleMouseEvent(w, local, global, Qt::NoButton, Qt::LeftButton, QEvent::MouseButtonRelease,
                        Qt::NoModifier, ms + 40);
}

void SpeakThroughMessages(SessionKeeper& keeper) {
    keeper.Tell = [](const Notice& n) { ShowMessage(n.text); };
    keeper.Ask = [](const std::string& question) { return AskQuestion(question); };
}

void RunWhile(const std::function<bool()>& busy) {
    while (busy()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

void FinishSweep(MainWindow& form) {
    RunWhile([&] { return form.Engine().Running() || form.Engine().TonePlaying(); });
}

void FinishAngle(WaveFunctionWindow& form) {
    RunWhile([&] { return form.Measuring(); });
}

void FinishFit(PeakFitWindow& form) {
    RunWhile([&] { return form.FitRunning(); });
}

void ProgramOnApparatus::Sweep() {
    QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
    FinishSweep(*f);
}

void ProgramOnApparatus::AtRound(int n, std::function<void()> action) {
    QTimer::singleShot(0, &m_timers, [this, n, action = std::move(action)]() mutable {
        if (n <= 1) {
            action();
        } else {
            AtRound(n - 1, std::move(action));
        }
    });
}

void ProgramOnApparatus::MapPorts() {
    m_ports.emplace([this](platform::Context& c) {
        c.portDevice = [this](int n) -> std::string {
            auto it = devices.find(n);
            return it == devices.end() ? std::string() : it->second;
        };
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
