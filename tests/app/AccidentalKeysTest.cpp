// The keys a user presses by accident, in every window and in every state of the program (idle,
// sweeping, tone playing, fit running, angle measurement, calibrating): Tab, Space and Return
// through the window's controls, then Escape and the close box. Afterwards no stored data has
// changed that the keys did not ask for, no operation ran on behind a hidden window, and no
// message came twice. Then a few thousand random clicks and keys on every visible control
// during sweeps, tones and fits, after which the spectrum store still holds only measured
// points.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "measurement/Playback.h"
#include "plot/Controls.h"
#include "plot/PictureExport.h"
#include "session/SessionKeeper.h"
#include "tests/ProgramFixture.h"
#include "ui/config/InputDialog.h"
#include "ui/config/LatencyDialog.h"
#include "ui/config/RemoteDialog.h"
#include "ui/config/SerialPortDialog.h"
#include "ui/config/SoundCardDialog.h"
#include "ui/config/VirtualApparatusWindow.h"
#include "ui/fit/PeakFitWindow.h"
#include "ui/main/HelpDialog.h"
#include "ui/main/LineThicknessDialog.h"
#include "ui/main/LiveViews.h"
#include "ui/main/MainWindow.h"
#include "ui/main/VersionDialog.h"
#include "ui/wave/WaveFunctionWindow.h"

namespace sonarix {
namespace {

enum class State { Idle, Sweeping, TonePlaying, FitRunning, AngleMeasurement, Calibrating };

const char* StateName(State s) {
    switch (s) {
        case State::Idle:
            return "Idle";
        case State::Sweeping:
            return "Sweeping";
        case State::TonePlaying:
            return "TonePlaying";
        case State::FitRunning:
            return "FitRunning";
        case State::AngleMeasurement:
            return "AngleMeasurement";
        default:
            return "Calibrating";
    }
}

struct Case {
    int form;  // N of the window whose object name is FormN
    State state;
};

// The program with short sweeps, four filled slots, and every file, font and colour dialog
// answered "cancel" (the printer dialogs too), so that only the windows of the program come up.
class Accidents : public test::ProgramOnApparatus {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Start());
        auto none = [] { return std::optional<std::string>(); };
        f->ChooseSaveFile = none;
        f->ChooseOpenFile = none;
        f->ChooseSessionSaveFile = none;
        f->ChooseSessionOpenFile = none;
        f->ChooseFont = [](const FontChoice&) { return std::optional<FontChoice>(); };
        f->ChooseColor = [](const QColor&) { return std::optional<QColor>(); };
        p.fitWindow->ChooseFitDataFile = none;
        p.fitWindow->ChooseParameterFile = none;
        p.fitWindow->ChooseReportFile = none;
        p.fitWindow->ChooseRadius = [](double) { return std::optional<double>(); };
        p.fitWindow->ChooseFont = f->ChooseFont;
        p.fitWindow->ChooseColor = f->ChooseColor;
        p.waveWindow->ChooseSaveFile = none;
        p.waveWindow->ChooseOpenFile = none;
        // The remote control that keys may switch on listens on a port free now, not on 5025.
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            p.remoteDialog->PortEdit->setValue(probe.serverPort());
        }
        auto cancel = [](QPrinter&) { return false; };
        for (PlotOutput* o : {&f->Output(), &p.fitWindow->Output(), &p.waveWindow->Output()}) {
            o->ChoosePictureFile = none;
            o->RunPrintDialog = cancel;
            o->RunPrinterSetup = cancel;
        }
        f->StartFrequencyEdit->setText("1000");
        f->StopFrequencyEdit->setText("2000");
        f->StepEdit->setText("10");
        f->TimePerStepEdit->setText("20");
        for (int slot = 0; slot < kSlots; ++slot) Fill(slot, 200.0 + slot, 3000.0, 20.0);
        f->RedrawSpectra();
        before.count = p.state->SpecCount;
        before.freq = p.state->SpecFreq;
        before.amp = p.state->SpecAmp;
        Activate(f);
    }

    QWidget* Form(int n) {
        switch (n) {
            case 1:
                return f;
            case 2:
                return p.liveSpectrum.get();
            case 3:
                return p.liveWaveform.get();
            case 4:
                return p.lineThickness.get();
            case 5:
                return p.fitWindow.get();
            case 6:
                return p.soundCardDialog.get();
            case 7:
                return p.inputDialog.get();
            case 8:
                return p.serialDialog.get();
            case 9:
                return p.waveWindow.get();
            case 10:
                return p.helpDialog.get();
            case 11:
                return p.versionDialog.get();
            case 12:
                return p.virtualWindow.get();
            case 13:
                return p.latencyDialog.get();
            default:
                return p.remoteDialog.get();
        }
    }
    // The main window's action that opens window n (none for the main window itself).
    QAction* Opener(int n) {
        const std::map<int, QAction*> openers = {
            {2, f->LiveFftOn},           {3, f->LiveWaveOn},
            {4, f->ChangeLineThickness}, {5, f->Fit},
            {6, f->ConfigureSoundCard},  {7, f->SelectInputChannel},
            {8, f->ConfigureSerial},     {9, f->WaveFunction},
            {10, f->ManualHelp},         {11, f->VersionInfo},
            {12, f->VirtualApparatus},   {13, f->CalibrateLatency},
            {14, f->ConfigureRemote}};
        const auto it = openers.find(n);
        return it == openers.end() ? nullptr : it->second;
    }
    static bool Modal(int n) { return n != 1 && n != 2 && n != 3 && n != 7 && n != 12; }

    // No long operation goes on behind a window that is no longer shown.
    void ExpectNothingRunsHidden() {
        EXPECT_TRUE(p.state->Running != Operation::Angle || p.waveWindow->isVisible());
        EXPECT_TRUE(p.state->Running != Operation::Calibration || p.latencyDialog->isVisible());
        EXPECT_TRUE(!p.fitWindow->FitRunning() || p.fitWindow->isVisible());
    }

    // Space, Return and Tab through the window's controls, then Escape and the close box.
    // Windows that these keys open on top are closed again as a user would (Escape).
    void PressKeys(QWidget* w) {
        Activate(w);
        // The wave function's values measured so far must survive every key.
        if (w == p.waveWindow.get()) {
            // Values as measured ones come: an undo step of the session.
            p.session->ChangeWave("Measure value", [this] {
                for (int k = 10; k < kAngles; ++k) {
                    p.waveWindow->WaveAmplitude[static_cast<size_t>(k)] = 5;
                }
            });
        }
        for (int i = 0; i < 8 && w->isVisible(); ++i) {
            // First where the focus already is: where a click or a hidden button left it.
            for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Tab}) {
                if (w->isVisible()) Press(w, key);
            }
        }
        if (w->isVisible()) Press(w, Qt::Key_Escape);
        if (w->isVisible()) {
            w->close();
            ExpectNothingRunsHidden();
        }
        if (w == p.waveWindow.get()) {
            // Space on "Clear" asks for it (an undo step, as is a value Space measured after
            // it): Undo brings the values back.
            const auto kept = [this] {
                for (int k = 10; k < kAngles; ++k) {
                    if (p.waveWindow->WaveAmplitude[static_cast<size_t>(k)] == 0.0) return false;
                }
                return true;
            };
            if (p.waveWindow->Measuring())
                test::FinishAngle(*p.waveWindow);  // Space on "Measure value"
            test::FinishSweep(*f);  // and the tone of this state (undo waits for them)
            for (int i = 0; i < 20 && !kept() && f->Undo->isEnabled(); ++i) f->Undo->trigger();
            EXPECT_TRUE(kept());
        }
    }
    // While the next key is handled, a modal window or a popup that it brings up over `w` gets
    // Escape, and then its close box, as a user would close it.
    void CloseWhatComesUpOver(QWidget* w) {
        m_closer = [this, w] {
            QWidget* top = QApplication::activePopupWidget();
            if (top == nullptr) top = QApplication::activeModalWidget();
            if (top == nullptr || top == w || top == m_stateWindow) return;
            if (m_tries++ < 2) {
                Key(top, Qt::Key_Escape);
            } else {
                top->close();
            }
        };
        m_tries = 0;
        ArmCloser();
    }
    void ArmCloser() {
        QTimer::singleShot(0, &m_timers, [this] {
            if (!m_closer) return;
            m_closer();
            ArmCloser();
        });
    }
    void Press(QWidget* w, Qt::Key key) {
        const size_t shown = messages.Messages().size();
        CloseWhatComesUpOver(w);
        Key(w, key);
        m_closer = {};
        ExpectNothingRunsHidden();
        ExpectNoMessageTwice(shown);
    }

    // Opens window n the way the user does and presses the keys in it; a modal window is
    // closed afterwards if the keys left it open (its own Return or Escape closes it).
    void OpenAndPress(int n) {
        QWidget* w = Form(n);
        QAction* opener = Opener(n);
        if (opener == nullptr) {
            PressKeys(w);
            return;
        }
        if (!opener->isEnabled()) {
            // Unavailable in this state (a modal window during a sweep): nothing to press.
            EXPECT_EQ(p.state->Running, Operation::Sweep) << n;
            return;
        }
        if (!Modal(n)) {
            opener->trigger();
            PressKeys(w);
            return;
        }
        QTimer::singleShot(0, w, [this, w] {
            PressKeys(w);
            // A calibration that a key started runs on from the event loop; the dialog closes
            // once it has ended.
            test::RunWhile([this] { return p.latencyDialog->Running(); });
            if (w->isVisible()) w->close();
        });
        opener->trigger();
    }

    // Runs `inside` within the state, and lets the state end.
    void InState(State state, int form) {
        QWidget* w = Form(form);
        switch (state) {
            case State::Idle:
                OpenAndPress(form);
                break;
            case State::Sweeping:
                AtRound(3, [&] { OpenAndPress(form); });
                QTest::mouseClick(f->MeasureButton, Qt::LeftButton);
                test::FinishSweep(*f);
                break;
            case State::TonePlaying:
                AtRound(3, [&] { OpenAndPress(form); });
                QTest::mouseClick(f->PlotImage, Qt::LeftButton, {}, f->PlotPanel->rect().center());
                test::FinishSweep(*f);
                break;
            case State::FitRunning:
                m_stateWindow = w;
                QTimer::singleShot(0, w, [&] {
                    AtRound(3, [&] { PressKeys(w); });
                    QTest::mouseClick(p.fitWindow->StartFitButton, Qt::LeftButton);
                    test::FinishFit(*p.fitWindow);
                    if (w->isVisible()) w->close();
                });
                f->Fit->trigger();
                break;
            case State::AngleMeasurement:
                m_stateWindow = w;
                p.state->CurrentFreq = 2272.7;
                QTimer::singleShot(0, w, [&] {
                    // The keys while the measurement runs from the event loop.
                    bool pressed = false;
                    AtRound(3, [&] {
                        EXPECT_TRUE(p.waveWindow->Measuring());
                        PressKeys(w);
                        pressed = true;
                    });
                    QTest::mouseClick(p.waveWindow->MeasureValueButton, Qt::LeftButton);
                    test::RunWhile([&] { return p.waveWindow->Measuring() || !pressed; });
                    if (w->isVisible()) w->close();
                });
                f->WaveFunction->trigger();
                break;
            case State::Calibrating:
                m_stateWindow = w;
                QTimer::singleShot(0, w, [&] {
                    AtRound(5, [&] { PressKeys(w); });
                    QTest::mouseClick(p.latencyDialog->CalibrateButton, Qt::LeftButton);
                    test::RunWhile([&] { return p.latencyDialog->Running(); });
                    if (w->isVisible()) w->close();
                });
                f->CalibrateLatency->trigger();
                break;
        }
        apparatus->AdvanceMs(12000);  // the last tone has played out
        QApplication::processEvents();
    }

    // Every slot holds what it held, or a sweep from its first step (1010 ... 2000 Hz, or the
    // range the keys typed into the fields), which a key on "Measure" asked for, as far as a key
    // on "Stop" let it go: no key may clear a slot.
    void ExpectTheStoreIntact() {
        const SharedState& s = *p.state;
        for (int slot = 0; slot < kSlots; ++slot) {
            const auto k = static_cast<size_t>(slot);
            const int n = s.SpecCount[k];
            const bool same = n == before.count[k] &&
                              std::equal(s.SpecFreq[k].begin(), s.SpecFreq[k].begin() + n + 1,
                                         before.freq[k].begin()) &&
                              std::equal(s.SpecAmp[k].begin(), s.SpecAmp[k].begin() + n + 1,
                                         before.amp[k].begin());
            if (same) continue;
            ASSERT_GT(n, 0) << "slot " << slot << " was emptied";
            const double first = s.StartFreq + s.StepFreq;
            ASSERT_EQ(s.SpecFreq[k][1], first) << "slot " << slot << " was cleared";
            for (int i = 1; i <= n; ++i) {
                ASSERT_GE(s.SpecFreq[k][i], first - 1e-9) << slot << " " << i;
                ASSERT_LE(s.SpecFreq[k][i], s.StopFreq + 1e-9) << slot << " " << i;
                if (i > 1) {
                    ASSERT_NEAR(s.SpecFreq[k][i] - s.SpecFreq[k][i - 1], s.StepFreq, 1e-6) << slot;
                }
            }
        }
    }
    // No message comes twice from one key: each says something of its own.
    void ExpectNoMessageTwice(size_t from) {
        std::set<std::string> seen;
        for (size_t i = from; i < messages.Messages().size(); ++i) {
            EXPECT_TRUE(seen.insert(messages.Messages()[i]).second) << messages.Messages()[i];
        }
    }

    // The store as the test began (on the heap: a fixture of megabytes puts its second base
    // class beyond what the sanitizer's type check takes for a sane offset).
    struct Store {
        std::array<int32_t, kSlots> count;
        std::array<SharedState::SlotArray, kSlots> freq, amp;
    };
    std::unique_ptr<Store> m_before = std::make_unique<Store>();
    Store& before = *m_before;
    QWidget* m_stateWindow = nullptr;  // the window of the state's own operation
    std::function<void()> m_closer;
    int m_tries = 0;
};

class AccidentalKeys : public Accidents, public testing::WithParamInterface<Case> {};

TEST_P(AccidentalKeys, ChangeNothingTheyDidNotAskFor) {
    const Case c = GetParam();
    InState(c.state, c.form);
    ExpectNothingRunsHidden();
    EXPECT_EQ(p.state->Running, Operation::None);
    EXPECT_FALSE(p.fitWindow->FitRunning());
    EXPECT_FALSE(Playing(*p.state));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    for (QWidget* w : {Form(5), Form(9), Form(13)}) EXPECT_FALSE(w->isVisible());
    ExpectTheStoreIntact();
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (const State s : {State::Idle, State::TonePlaying}) {
        for (int n = 1; n <= 14; ++n) cases.push_back({n, s});
    }
    // During a sweep the main window and the windows beside it; the modal ones are unavailable
    // (the case checks that their menu items are disabled).
    for (int n = 1; n <= 14; ++n) cases.push_back({n, State::Sweeping});
    cases.push_back({5, State::FitRunning});
    cases.push_back({9, State::AngleMeasurement});
    cases.push_back({13, State::Calibrating});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryWindowAndState, AccidentalKeys, testing::ValuesIn(AllCases()),
                         [](const testing::TestParamInfo<Case>& i) {
                             return std::string(StateName(i.param.state)) + "Form" +
                                    std::to_string(i.param.form);
                         });

// Random clicks and keys on every visible control, a few thousand of them, during whatever
// they start: sweeps, tones, fits, angle measurements, calibrations, the dialogs. Clicks and
// keys go through the platform's event delivery, so a window under a modal one gets none, and
// two quick clicks at one place make a double-click. Typing is limited to letters, signs and
// deletions, so that no sweep grows beyond a few thousand steps.
class RandomInput : public Accidents, public testing::WithParamInterface<unsigned> {
protected:
    void SetUp() override {
        Accidents::SetUp();
        if (HasFatalFailure()) return;
        for (QAction* a :
             {f->LiveFftOn, f->LiveWaveOn, f->SelectInputChannel, f->VirtualApparatus}) {
            a->trigger();
        }
    }

    // The window that takes input now: a popup, the top modal window, or one of the visible
    // windows beside each other.
    QWidget* TopWindow() {
        if (QWidget* w = QApplication::activePopupWidget()) return w;
        if (QWidget* w = QApplication::activeModalWidget()) return w;
        std::vector<QWidget*> shown;
        for (int n : {1, 2, 3, 7, 12}) {
            if (Form(n)->isVisible()) shown.push_back(Form(n));
        }
        return shown[m_rng() % shown.size()];
    }
    void RandomEvent() {
        QWidget* w = TopWindow();
        const unsigned what = m_rng() % 10;
        if (what < 6) {
            std::vector<QWidget*> targets;
            for (QWidget* c : w->findChildren<QWidget*>()) {
                const bool control = qobject_cast<QAbstractButton*>(c) != nullptr ||
                                     qobject_cast<QLineEdit*>(c) != nullptr ||
                                     qobject_cast<QAbstractSlider*>(c) != nullptr ||
                                     qobject_cast<QComboBox*>(c) != nullptr ||
                                     qobject_cast<QAbstractSpinBox*>(c) != nullptr ||
                                     qobject_cast<TImage*>(c) != nullptr;
                if (control && c->isVisible() && c->isEnabled() && c->width() > 0) {
                    targets.push_back(c);
                }
            }
            if (targets.empty()) targets.push_back(w);
            QWidget* t = targets[m_rng() % targets.size()];
            const QRect r = t->visibleRegion().boundingRect().isEmpty()
                                ? t->rect()
                                : t->visibleRegion().boundingRect();
            const QPoint at(r.left() + static_cast<int>(m_rng() % std::max(1, r.width())),
                            r.top() + static_cast<int>(m_rng() % std::max(1, r.height())));
            m_ms += 60 + static_cast<int>(m_rng() % 700);  // sometimes a double-click
            ClickAt(t, at, m_ms);
        } else if (what < 9) {
            static const Qt::Key keys[] = {
                Qt::Key_Tab,   Qt::Key_Backtab, Qt::Key_Space,     Qt::Key_Return, Qt::Key_Escape,
                Qt::Key_Up,    Qt::Key_Down,    Qt::Key_Left,      Qt::Key_Right,  Qt::Key_PageUp,
                Qt::Key_Home,  Qt::Key_End,     Qt::Key_Backspace, Qt::Key_Delete, Qt::Key_X,
                Qt::Key_Minus, Qt::Key_Period};
            Key(w, keys[m_rng() % std::size(keys)]);
        } else {
            // A menu item of the window (not "Exit", which ends the program).
            std::vector<QAction*> actions;
            for (QAction* a : w->findChildren<QAction*>()) {
                if (a->isEnabled() && a->isVisible() && !a->text().isEmpty() && a != f->Exit &&
                    a->menu() == nullptr) {
                    actions.push_back(a);
                }
            }
            if (!actions.empty()) actions[m_rng() % actions.size()]->trigger();
        }
    }

    // One event per round of message processing, also inside what an event starts; after the
    // last, every window that came up is closed again and the operations run out.
    void Tick() {
        if (m_settled) return;
        QTimer::singleShot(0, &m_context, [this] { Tick(); });
        const SharedState& s = *p.state;
        if (s.Running == Operation::Sweep) {
            m_ranges[s.CurrentSlot].insert({s.StartFreq + s.StepFreq, s.StopFreq, s.StepFreq});
        }
        if (m_events < kEvents) {
            ++m_events;
            // The messages of this event itself, without those of the events that came inside
            // what it started (a sweep takes events at each step).
            const size_t shown = messages.Messages().size();
            const size_t nestedBefore = m_attributed;
            RandomEvent();
            const size_t own = messages.Messages().size() - shown - (m_attributed - nestedBefore);
            m_attributed += own;
            if (own > m_mostMessages) {
                m_mostMessages = own;
                m_stormy = messages.Messages().back();
            }
            return;
        }
        if (QWidget* popup = QApplication::activePopupWidget()) {
            popup->close();
        } else if (QWidget* modal = QApplication::activeModalWidget()) {
            modal->close();
        }
        if (s.Running == Operation::None && !p.fitWindow->FitRunning() && !Playing(s)) {
            m_settled = true;
        } else {
            apparatus->AdvanceMs(20);
        }
    }

    static constexpr int kEvents = 3000;
    QObject m_context;  // the pending tick goes with the test
    size_t m_attributed = 0;
    std::string m_stormy;
    std::mt19937 m_rng;
    int m_ms = 1000000;
    int m_events = 0;
    bool m_settled = false;
    size_t m_mostMessages = 0;
    struct Range {
        double first, last, step;
        auto operator<=>(const Range&) const = default;
    };
    // Of every sweep into each slot: an undo may bring back an earlier one's points.
    std::map<int, std::set<Range>> m_ranges;
};

TEST_P(RandomInput, LeavesTheStoreConsistent) {
    const unsigned seed = GetParam();
    SCOPED_TRACE("seed " + std::to_string(seed));
    m_rng.seed(seed);
    QTimer::singleShot(0, &m_context, [this] { Tick(); });
    for (int round = 0;
         round < 200000 && !(m_settled && QApplication::activeModalWidget() == nullptr); ++round) {
        QApplication::processEvents();
    }
    ASSERT_TRUE(m_settled) << "the program did not come to rest";
    EXPECT_EQ(m_events, kEvents);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_LE(m_mostMessages, 5u) << "a message storm, the last: " << m_stormy;
    const SharedState& s = *p.state;
    for (int slot = 0; slot < kSlots; ++slot) {
        const auto k = static_cast<size_t>(slot);
        const int n = s.SpecCount[k];
        ASSERT_GE(n, 0);
        ASSERT_LE(n, kSlotCapacity);
        const bool same =
            n == before.count[k] && std::equal(s.SpecFreq[k].begin(), s.SpecFreq[k].begin() + n + 1,
                                               before.freq[k].begin());
        if (same || n == 0) continue;
        ASSERT_TRUE(m_ranges.count(slot)) << "slot " << slot << " changed without a sweep";
        // The points of one of the sweeps into the slot, in order.
        const auto fits = [&](const Range& r) {
            for (int i = 1; i <= n; ++i) {
                const double freq = s.SpecFreq[k][i];
                if (freq < r.first - 1e-6 || freq > r.last + 1e-6) return false;
                if (i > 1 && std::abs(freq - s.SpecFreq[k][i - 1] - r.step) > 1e-6) return false;
            }
            return true;
        };
        EXPECT_TRUE(std::any_of(m_ranges[slot].begin(), m_ranges[slot].end(), fits))
            << "slot " << slot << " holds points of no sweep into it";
        for (int i = 1; i <= n; ++i) {
            ASSERT_TRUE(std::isfinite(s.SpecAmp[k][i]) && s.SpecAmp[k][i] >= 0.0) << i;
        }
    }
    for (double v : p.waveWindow->WaveAmplitude) EXPECT_TRUE(std::isfinite(v) && v >= 0.0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomInput, testing::Values(1u, 2026u, 7031u));

}  // namespace
}  // namespace sonarix
