// The program brought up on the virtual apparatus's manual clock, for tests of its windows.
// Its context (the apparatus, its clock, the message recorder, the port mapping) ends with it.
#pragma once

#include <gtest/gtest.h>

#include <QObject>
#include <QPoint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/Program.h"
#include "platform/Context.h"
#include "platform/audio/VirtualApparatus.h"
#include "tests/TestSupport.h"

class QWidget;

namespace sonarix::test {

// A sweep or a tone runs from the event loop after the click that started it: this lets it run
// to its end.
void FinishSweep(MainWindow& form);
// So does an angle measurement ("Measure value").
void FinishAngle(WaveFunctionWindow& form);
// And a fit run ("Start Fit").
void FinishFit(PeakFitWindow& form);
// The event loop while `busy` says so (a calibration, a sweep started by a click).
void RunWhile(const std::function<bool()>& busy);
// A second session keeper (another program's) tells and asks through the message functions,
// as the program wires its own.
void SpeakThroughMessages(SessionKeeper& keeper);

class ProgramOnApparatus : public testing::Test {
protected:
    ProgramOnApparatus();
    ~ProgramOnApparatus() override;

    // Installs the apparatus (a fresh one on the manual clock unless given) and runs the
    // start-up and the creation of the remaining windows. Call with ASSERT_NO_FATAL_FAILURE.
    void Start(std::unique_ptr<audio::VirtualApparatus> backend = nullptr);
    void TearDown() override;

    // Maps COM numbers to the devices in `devices` (a number not there has no device).
    void MapPorts();
    std::map<int, std::string> devices;

    // Fills a slot with a smooth curve from `from` to `to` in steps of `step`.
    void Fill(int slot, double from, double to, double step);

    MessageRecorder messages;  // outlives the program, so its last messages are recorded too

    // Shows a window and makes it the active one, as a click on it would.
    static void Activate(QWidget* window);
    // A key pressed and released as the platform delivers it: to the focus widget of the
    // window (or whatever grabs the keyboard), through the application's shortcut handling.
    static void Key(QWidget* window, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier);
    // A mouse click as the platform delivers it, at `pos` of `widget`, with the platform's time
    // stamp `ms`: two clicks closer than the double-click interval make a double-click.
    static void ClickAt(QWidget* widget, QPoint pos, int ms);
    // Runs `action` inside the n-th round of message processing from now (a sweep processes
    // messages once a step, a tone every 50 ms of its clock, a fit run once a solver step).
    // A round that does not come in this test does not come in the next.
    void AtRound(int n, std::function<void()> action);
    // "Measure" clicked and the sweep run to its end.
    void Sweep();
    QObject m_timers;  // the context of the test's pending timers

private:
    std::optional<platform::ContextScope> m_apparatus;  // ends after the program
    std::optional<platform::ContextScope> m_ports;      // MapPorts' mapping
    std::unique_ptr<Program> m_program = std::make_unique<Program>();

protected:
    Program& p = *m_program;
    audio::VirtualApparatus* apparatus = nullptr;
    MainWindow* f = nullptr;
};

}  // namespace sonarix::test
