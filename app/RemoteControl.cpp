// The SCPI commands of the running program.
#include "app/RemoteControl.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "app/Program.h"
#include "fitting/FitReport.h"
#include "fitting/FitRun.h"
#include "measurement/Messages.h"
#include "measurement/ReadNumber.h"
#include "physics/SampleRate.h"
#include "platform/audio/Audio.h"
#include "platform/audio/VirtualApparatus.h"
#include "plot/Controls.h"
#include "ui/config/LatencyDialog.h"
#include "ui/config/VirtualApparatusWindow.h"
#include "ui/fit/PeakFitWindow.h"
#include "ui/main/MainWindow.h"
#include "ui/wave/WaveFunctionWindow.h"

namespace sonarix {

using scpi::Call;

namespace {
// The main window's fields at the start, which *RST brings back.
struct FieldDefault {
    QLineEdit* MainWindow::*edit;
    const char* pattern;
    const char* text;
    double lo, hi;
};
constexpr FieldDefault kFields[] = {
    {&MainWindow::StartFrequencyEdit, "[SENSe:]FREQuency:STARt", "100", 1e-3, 1e5},
    {&MainWindow::StopFrequencyEdit, "[SENSe:]FREQuency:STOP", "10000", 1e-3, 1e5},
    {&MainWindow::StepEdit, "[SENSe:]FREQuency:STEP", "10", 1e-3, 1e5},
    {&MainWindow::TimePerStepEdit, "[SENSe:]SWEep:DWELl", "50", 1.0, 1e5},
};

// The error number of a message of the program: the runtime's file errors by their kind,
// everything else an execution error.
int CodeOf(const std::string& text) {
    auto starts = [&](int io) { return text.rfind(IoErrorText(io), 0) == 0; };
    if (starts(2)) return scpi::kFileNameNotFound;
    if (starts(3) || starts(5) || starts(101)) return scpi::kMassStorageError;
    return scpi::kExecutionError;
}

// The messages of the program go to a connection's error queue.
void RouteTo(platform::Context& c, const std::weak_ptr<scpi::Status>& status) {
    c.tell = [status](const std::string& text) {
        if (const auto s = status.lock()) s->Push(CodeOf(text), text);
    };
    c.ask = [](const std::string&) { return false; };
}

// A slot: the parameter (1 ... 4) when given, otherwise the current one; -1 after an error.
int SlotOf(Call& c, const MainWindow& f) {
    if (!c.Parameters(0, 1)) return -1;
    if (c.Count() == 0) return f.SpectrumSlotGroup->ItemIndex();
    int slot = 0;
    return c.Integer(0, 1, kSlots, slot) ? slot - 1 : -1;
}

// An angle between the hemispheres: 0 ... 180 degrees in steps of 10.
bool AngleOf(Call& c, double& degrees) {
    if (!c.Number(0, 0.0, 180.0, degrees)) return false;
    if (std::fmod(degrees, 10.0) == 0.0) return true;
    c.Fail(scpi::kIllegalParameterValue, "a multiple of 10 degrees");
    return false;
}

void AppendDouble(std::string& out, double v, bool swapped) {
    uint64_t bits = std::bit_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i) {
        const int shift = swapped ? 8 * i : 56 - 8 * i;
        out += static_cast<char>((bits >> shift) & 0xFF);
    }
}
}  // namespace

RemoteControl::RemoteControl(Program& program) : p(program), m_server(m_tree) {
    scpi::AddStatusCommands(m_tree);
    AddProgramCommands();
    AddSweepCommands();
    AddTraceCommands();
    AddFileCommands();
    AddApparatusCommands();
    AddWaveCommands();
    AddFitCommands();
    m_server.Busy = [this] { return Busy(); };
    m_server.ConnectionsChanged = [this](int n) {
        if (p.mainWindow) p.mainWindow->ShowRemote(n);
    };
    m_server.BeginUnit = [this](const std::shared_ptr<scpi::Status>& status) {
        m_current = status;
        m_unit.emplace([status](platform::Context& c) { RouteTo(c, status); });
    };
    m_server.EndUnit = [this] { m_unit.reset(); };
    m_watch.setInterval(20);
    QObject::connect(&m_watch, &QTimer::timeout, [this] {
        if (Busy()) return;
        m_watch.stop();
        m_operation.reset();
    });
}

RemoteControl::~RemoteControl() {
    m_server.ConnectionsChanged = {};
    m_server.Stop();
    if (p.mainWindow) p.mainWindow->ShowRemote(0);
    m_operation.reset();
}

bool RemoteControl::Start(const RemoteOptions& options, std::string& why) {
    return m_server.Start(options, why);
}

bool RemoteControl::Busy() const {
    // The playback of an angle value plays on after its level is read: the next one waits.
    if (p.state != nullptr && audio::ChannelIsActive(p.state->PlayStream) != 0) return true;
    return (p.mainWindow != nullptr &&
            (p.mainWindow->Engine().Running() || p.mainWindow->Engine().TonePlaying())) ||
           (p.waveWindow != nullptr && p.waveWindow->Measuring()) ||
           (p.fitWindow != nullptr && p.fitWindow->FitRunning()) ||
           (p.latencyDialog != nullptr && p.latencyDialog->Running());
}

bool RemoteControl::Refused(Call& c, int code) const {
    if (!Busy()) return false;
    c.Fail(code, "a measurement, tone, fit or calibration is running");
    return true;
}

void RemoteControl::RouteWhileRunning(const std::shared_ptr<scpi::Status>& status) {
    if (!Busy()) return;
    const std::weak_ptr<scpi::Status> weak = status;
    m_operation.reset();
    m_operation.emplace([weak](platform::Context& c) { RouteTo(c, weak); });
    m_watch.start();
}

void RemoteControl::AddProgramCommands() {
    m_tree.Add("*IDN", {}, [](Call& c) {
        if (!c.Parameters(0, 0)) return;
        const bool virtualApparatus =
            dynamic_cast<audio::VirtualApparatus*>(audio::CurrentBackend()) != nullptr;
        std::string version = VersionText();
        version = version.substr(version.find(' ') + 1);
        c.Answer(std::string("Sonarix,") + (virtualApparatus ? "virtual apparatus" : "sound card") +
                 ",0," + version);
    });
    m_tree.Add("*RST",
               [this](Call& c) {
                   if (!c.Parameters(0, 0)) return;
                   MainWindow& f = *p.mainWindow;
                   if (Busy()) f.EndSweepNow();
                   for (const FieldDefault& d : kFields)
                       (f.*d.edit)->setText(QString::fromLatin1(d.text));
                   f.FftFilterCheck->setChecked(true);
                   f.LockInCheck->setChecked(false);
                   f.VolumeSlider->setValue(50);
                   f.SpectrumSlotGroup->SetItemIndex(0);
                   c.ConnectionStatus().binary = false;
                   c.ConnectionStatus().swapped = false;
               },
               {});
}

void RemoteControl::AddSweepCommands() {
    for (const FieldDefault& d : kFields) {
        QLineEdit* MainWindow::*edit = d.edit;
        const double lo = d.lo, hi = d.hi;
        m_tree.Add(
            d.pattern,
            [this, edit, lo, hi](Call& c) {
                double v = 0.0;
                if (!c.Parameters(1, 1) || !c.Number(0, lo, hi, v)) return;
                if (Refused(c)) return;
                (p.mainWindow.get()->*edit)->setText(QString::fromStdString(scpi::FormatNumber(v)));
            },
            [this, edit](Call& c) {
                if (!c.Parameters(0, 0)) return;
                const std::string text = (p.mainWindow.get()->*edit)->text().toStdString();
                const std::optional<double> v = ParseNumber(text);
                if (!v) return c.Fail(scpi::kSettingsConflict, "the field reads \"" + text + "\"");
                c.Answer(scpi::FormatNumber(*v));
            });
    }
    auto check = [this](const char* pattern, QCheckBox* MainWindow::*box) {
        m_tree.Add(
            pattern,
            [this, box](Call& c) {
                bool on = false;
                if (!c.Parameters(1, 1) || !c.Boolean(0, on)) return;
                if (Refused(c)) return;
                (p.mainWindow.get()->*box)->setChecked(on);
            },
            [this, box](Call& c) {
                if (c.Parameters(0, 0))
                    c.Answer((p.mainWindow.get()->*box)->isChecked() ? "1" : "0");
            });
    };
    check("[SENSe:]FILTer:FFT[:STATe]", &MainWindow::FftFilterCheck);
    check("[SENSe:]LOCKin[:STATe]", &MainWindow::LockInCheck);
    m_tree.Add(
        "SOURce:VOLume",
        [this](Call& c) {
            int v = 0;
            if (c.Parameters(1, 1) && c.Integer(0, 0, 100, v))
                p.mainWindow->VolumeSlider->setValue(v);
        },
        [this](Call& c) {
            if (c.Parameters(0, 0)) c.Answer(std::to_string(p.mainWindow->VolumeSlider->value()));
        });
    auto start = [this](QPushButton* MainWindow::*button) {
        return [this, button](Call& c) {
            if (!c.Parameters(0, 0)) return;
            if (Refused(c, scpi::kInitIgnored)) return;
            (p.mainWindow.get()->*button)->click();
            RouteWhileRunning(m_current);
        };
    };
    m_tree.Add("INITiate[:IMMediate][:STEPped]", start(&MainWindow::MeasureButton), {});
    m_tree.Add("INITiate[:IMMediate]:FAST", start(&MainWindow::FastButton), {});
    m_tree.Add("ABORt",
               [this](Call& c) {
                   if (c.Parameters(0, 0) && Busy()) p.mainWindow->StopButton->click();
               },
               {});
    // The tone of a click on the plot, and its end (Escape).
    m_tree.Add(
        "SOURce:TONE",
        [this](Call& c) {
            double hz = 0.0;
            if (!c.Parameters(1, 1) || !c.Number(0, 1.0, 22050.0, hz)) return;
            if (Refused(c)) return;
            if (!p.mainWindow->PlayToneAt(hz))
                c.Fail(scpi::kExecutionError, "the tone did not start");
        },
        [this](Call& c) {
            if (c.Parameters(0, 0))
                c.Answer(p.mainWindow->Engine().TonePlaying()
                             ? scpi::FormatNumber(p.state->CurrentFreq)
                             : "0");
        });
    m_tree.Add("SOURce:TONE:STOP",
               [this](Call& c) {
                   if (c.Parameters(0, 0)) p.mainWindow->Engine().EndTone();
               },
               {});
    // Configure / "Calibrate Latency": the dialog shown and its "Calibrate" clicked; the
    // latency found, in milliseconds (9.91E+37 while there is none).
    m_tree.Add(
        "CALibration:LATency",
        [this](Call& c) {
            if (!c.Parameters(0, 0)) return;
            if (Refused(c, scpi::kInitIgnored)) return;
            p.latencyDialog->show();
            p.latencyDialog->CalibrateButton->click();
            RouteWhileRunning(m_current);
        },
        [this](Call& c) {
            if (!c.Parameters(0, 0)) return;
            const LatencyCalibration& l = p.state->Latency;
            c.Answer(l.valid ? scpi::FormatNumber(l.samples * 1000.0 / kSampleRate) : "9.91E+37");
        });
    m_tree.Add("STATus:OPERation:CONDition", {}, [this](Call& c) {
        if (c.Parameters(0, 0)) c.Answer(Busy() ? "16" : "0");  // bit 4: measuring
    });
}

void RemoteControl::AddTraceCommands() {
    m_tree.Add(
        "TRACe:SLOT",
        [this](Call& c) {
            int slot = 0;
            if (!c.Parameters(1, 1) || !c.Integer(0, 1, kSlots, slot)) return;
            if (Refused(c)) return;
            p.mainWindow->SpectrumSlotGroup->SetItemIndex(slot - 1);
        },
        [this](Call& c) {
            if (c.Parameters(0, 0))
                c.Answer(std::to_string(p.mainWindow->SpectrumSlotGroup->ItemIndex() + 1));
        });
    m_tree.Add("TRACe:POINts", {}, [this](Call& c) {
        const int slot = SlotOf(c, *p.mainWindow);
        if (slot >= 0) c.Answer(std::to_string(p.state->SpecCount[slot]));
    });
    m_tree.Add("TRACe:PHASe", {}, [this](Call& c) {
        const int slot = SlotOf(c, *p.mainWindow);
        if (slot >= 0) c.Answer(p.state->SpecPhased[slot] ? "1" : "0");
    });
    m_tree.Add("TRACe[:DATA]", {}, [this](Call& c) {
        const int slot = SlotOf(c, *p.mainWindow);
        if (slot < 0) return;
        const SharedState& s = *p.state;
        const scpi::Status& st = c.ConnectionStatus();
        std::string out;
        auto add = [&](double v) {
            if (st.binary) {
                AppendDouble(out, v, st.swapped);
            } else {
                if (!out.empty()) out += ',';
                out += scpi::FormatNumber(v);
            }
        };
        for (int k = 1; k <= s.SpecCount[slot]; ++k) {
            add(s.SpecFreq[slot][k]);
            add(s.SpecAmp[slot][k]);
            if (s.SpecPhased[slot]) add(s.SpecPhase[slot][k]);
        }
        c.Answer(st.binary ? scpi::DefiniteBlock(out) : out);
    });
    m_tree.Add("TRACe:CLEar",
               [this](Call& c) {
                   const int slot = SlotOf(c, *p.mainWindow);
                   if (slot < 0) return;
                   if (Refused(c)) return;
                   p.mainWindow->SpectrumSlotGroup->SetItemIndex(slot);
                   p.mainWindow->ClearSpectrumButton->click();
               },
               {});
    m_tree.Add(
        "FORMat[:DATA]",
        [](Call& c) {
            int form = 0, bits = 64;
            if (!c.Parameters(1, 2) || !c.Choice(0, {"ASCii", "REAL"}, form)) return;
            if (c.Count() == 2 && (!c.Integer(1, 64, 64, bits) || form == 0)) {
                if (form == 0) c.Fail(scpi::kParameterNotAllowed, "ASCii takes no length");
                return;
            }
            c.ConnectionStatus().binary = form == 1;
        },
        [](Call& c) {
            if (c.Parameters(0, 0)) c.Answer(c.ConnectionStatus().binary ? "REAL,64" : "ASC");
        });
    m_tree.Add(
        "FORMat:BORDer",
        [](Call& c) {
            int order = 0;
            if (c.Parameters(1, 1) && c.Choice(0, {"NORMal", "SWAPped"}, order))
                c.ConnectionStatus().swapped = order == 1;
        },
        [](Call& c) {
            if (c.Parameters(0, 0)) c.Answer(c.ConnectionStatus().swapped ? "SWAP" : "NORM");
        });
}

namespace {
// Runs `action` with the file dialog `choose` answering `name`, as if the user had picked it.
using Chooser = std::function<std::optional<std::string>()>;
void WithFile(Chooser& choose, const std::string& name, QAction* action) {
    Chooser kept = std::move(choose);
    choose = [name] { return std::optional<std::string>(name); };
    action->trigger();
    choose = std::move(kept);
}
}  // namespace

void RemoteControl::AddFileCommands() {
    // A slot's spectrum file: MMEMory:STORe:TRACe <slot>,"name" and MMEMory:LOAD:TRACe, through
    // "Save Spectrum " and "Open Spectrum" on that slot.
    auto trace = [this](bool store) {
        return [this, store](Call& c) {
            int slot = 0;
            std::string name;
            if (!c.Parameters(2, 2) || !c.Integer(0, 1, kSlots, slot) || !c.String(1, name)) return;
            if (Refused(c)) return;
            MainWindow& f = *p.mainWindow;
            f.SpectrumSlotGroup->SetItemIndex(slot - 1);
            WithFile(store ? f.ChooseSaveFile : f.ChooseOpenFile, name,
                     store ? f.SaveSpectrum : f.OpenSpectrum);
        };
    };
    m_tree.Add("MMEMory:STORe:TRACe", trace(true), {});
    m_tree.Add("MMEMory:LOAD:TRACe", trace(false), {});
    auto session = [this](bool store) {
        return [this, store](Call& c) {
            std::string name;
            if (!c.Parameters(1, 1) || !c.String(0, name)) return;
            if (Refused(c)) return;
            MainWindow& f = *p.mainWindow;
            WithFile(store ? f.ChooseSessionSaveFile : f.ChooseSessionOpenFile, name,
                     store ? f.SaveSession : f.OpenSession);
        };
    };
    m_tree.Add("MMEMory:STORe:SESSion", session(true), {});
    m_tree.Add("MMEMory:LOAD:SESSion", session(false), {});
    // The fit window's "Save Fit Data", "Save Fit Parameter" and "Save Fit Report", and the wave
    // window's "Save Data" and "Open Data": one file name each.
    auto named = [this](Chooser& choose, QAction* action, std::function<void()> after = {}) {
        return [this, &choose, action, after](Call& c) {
            std::string name;
            if (!c.Parameters(1, 1) || !c.String(0, name)) return;
            if (Refused(c)) return;
            WithFile(choose, name, action);
            if (after) after();
        };
    };
    PeakFitWindow& fit = *p.fitWindow;
    WaveFunctionWindow& wave = *p.waveWindow;
    m_tree.Add("MMEMory:STORe:FIT[:DATA]", named(fit.ChooseFitDataFile, fit.SaveFitData), {});
    m_tree.Add("MMEMory:STORe:FIT:PARameters", named(fit.ChooseParameterFile, fit.SaveFitParameter),
               {});
    m_tree.Add("MMEMory:STORe:FIT:REPort", named(fit.ChooseReportFile, fit.SaveFitReport), {});
    m_tree.Add("MMEMory:STORe:WAVE", named(wave.ChooseSaveFile, wave.SaveData), {});
    m_tree.Add("MMEMory:LOAD:WAVE",
               named(wave.ChooseOpenFile, wave.OpenData, [&wave] { wave.KeepValuesForOpening(); }),
               {});
}

void RemoteControl::AddApparatusCommands() {
    // The virtual apparatus's window, as its controls set it; on the sound card there is none.
    auto window = [this](Call& c) -> VirtualApparatusWindow* {
        if (p.virtualWindow == nullptr)
            c.Fail(scpi::kHardwareMissing, "the program runs on the sound card");
        return p.virtualWindow.get();
    };
    m_tree.Add(
        "APParatus:ANGLe",
        [window](Call& c) {
            double a = 0.0;
            if (!c.Parameters(1, 1) || !AngleOf(c, a)) return;
            if (VirtualApparatusWindow* w = window(c)) w->SetAngle(a);
        },
        [window](Call& c) {
            if (!c.Parameters(0, 0)) return;
            if (VirtualApparatusWindow* w = window(c)) c.Answer(scpi::FormatNumber(w->Angle()));
        });
    m_tree.Add(
        "APParatus:RING",
        [window](Call& c) {
            double mm = 0.0;
            if (!c.Parameters(1, 1) || !c.Number(0, 0.0, 9.0, mm)) return;
            if (std::fmod(mm, 3.0) != 0.0)
                return c.Fail(scpi::kIllegalParameterValue, "0, 3, 6 or 9 mm");
            if (VirtualApparatusWindow* w = window(c))
                w->RingBox->setCurrentIndex(static_cast<int>(mm / 3.0));
        },
        [window](Call& c) {
            if (!c.Parameters(0, 0)) return;
            if (VirtualApparatusWindow* w = window(c))
                c.Answer(std::to_string(3 * w->RingBox->currentIndex()));
        });
    m_tree.Add(
        "APParatus:TEMPerature",
        [this, window](Call& c) {
            if (!c.Parameters(1, 1) || window(c) == nullptr) return;
            QDoubleSpinBox* t = p.virtualWindow->TemperatureEdit;
            double celsius = 0.0;
            if (c.Number(0, t->minimum(), t->maximum(), celsius)) t->setValue(celsius);
        },
        [window](Call& c) {
            if (!c.Parameters(0, 0)) return;
            if (VirtualApparatusWindow* w = window(c))
                c.Answer(scpi::FormatNumber(w->TemperatureEdit->value()));
        });
}

void RemoteControl::AddWaveCommands() {
    // The wave-function window's controls: the angle, "Whole spectrum per angle", the frequency
    // of the series, "Measure value", "Clear", and the 19 values.
    m_tree.Add(
        "WAVE:ANGLe",
        [this](Call& c) {
            double a = 0.0;
            if (!c.Parameters(1, 1) || !AngleOf(c, a)) return;
            if (Refused(c)) return;
            p.waveWindow->AngleGroup->SetItemIndex(static_cast<int>(a / 10.0));
        },
        [this](Call& c) {
            if (c.Parameters(0, 0))
                c.Answer(std::to_string(10 * p.waveWindow->AngleGroup->ItemIndex()));
        });
    m_tree.Add(
        "WAVE:MODE",
        [this](Call& c) {
            int mode = 0;
            if (!c.Parameters(1, 1) || !c.Choice(0, {"VALue", "WHOLe"}, mode)) return;
            if (Refused(c)) return;
            if (p.waveWindow->WholeSpectrum->isChecked() != (mode == 1))
                p.waveWindow->WholeSpectrum->trigger();
        },
        [this](Call& c) {
            if (c.Parameters(0, 0))
                c.Answer(p.waveWindow->WholeSpectrum->isChecked() ? "WHOL" : "VAL");
        });
    m_tree.Add(
        "WAVE:FREQuency",
        [this](Call& c) {
            double hz = 0.0;
            if (!c.Parameters(1, 1) || !c.Number(0, 1.0, 1e5, hz)) return;
            p.waveWindow->FrequencyEdit->setText(QString::fromStdString(scpi::FormatNumber(hz)));
            emit p.waveWindow->FrequencyEdit->returnPressed();
            p.waveWindow->KeepValuesForOpening();
        },
        [this](Call& c) {
            if (!c.Parameters(0, 0)) return;
            const std::optional<double> f =
                ParseNumber(p.waveWindow->FrequencyEdit->text().toStdString());
            c.Answer(f ? scpi::FormatNumber(*f) : "9.91E+37");
        });
    m_tree.Add("WAVE:MEASure",
               [this](Call& c) {
                   if (!c.Parameters(0, 0)) return;
                   if (Refused(c, scpi::kInitIgnored)) return;
                   // The button's state is refreshed by a timer only while the window shows.
                   p.waveWindow->ShowAvailability();
                   p.waveWindow->MeasureValueButton->click();
                   p.waveWindow->KeepValuesForOpening();
                   RouteWhileRunning(m_current);
               },
               {});
    m_tree.Add("WAVE:CLEar",
               [this](Call& c) {
                   if (!c.Parameters(0, 0)) return;
                   if (Refused(c)) return;
                   p.waveWindow->ClearButton->click();
               },
               {});
    m_tree.Add("WAVE:DATA", {}, [this](Call& c) {
        if (!c.Parameters(0, 0)) return;
        std::string out;
        for (const double v : p.waveWindow->WaveAmplitude)
            out += (out.empty() ? "" : ",") + scpi::FormatNumber(v);
        c.Answer(out);
    });
}

void RemoteControl::AddFitCommands() {
    // "Fit Spectrum" on a slot: the fit window with its data, shown beside the main window
    // (not modal: a script's command must not wait in the window's own loop).
    m_tree.Add("FIT:OPEN",
               [this](Call& c) {
                   const int slot = SlotOf(c, *p.mainWindow);
                   if (slot < 0) return;
                   if (Refused(c)) return;
                   MainWindow& f = *p.mainWindow;
                   f.SpectrumSlotGroup->SetItemIndex(slot);
                   PeakFitWindow* fit = p.fitWindow.get();
                   auto kept = std::move(f.OpenFitWindow);
                   f.OpenFitWindow = [fit](const FitHandOver& h) { fit->FitExecute(h, false); };
                   f.FitExecute();
                   f.OpenFitWindow = std::move(kept);
                   fit->show();
               },
               {});
    m_tree.Add(
        "FIT:RANGe",
        [this](Call& c) {
            double from = 0.0, to = 0.0;
            if (!c.Parameters(2, 2) || !c.Number(0, 0.0, 1e5, from) || !c.Number(1, 0.0, 1e5, to))
                return;
            if (Refused(c)) return;
            p.fitWindow->RangeFromEdit->setText(QString::fromStdString(scpi::FormatNumber(from)));
            p.fitWindow->RangeToEdit->setText(QString::fromStdString(scpi::FormatNumber(to)));
        },
        [this](Call& c) {
            if (!c.Parameters(0, 0)) return;
            std::string out;
            for (QLineEdit* e : {p.fitWindow->RangeFromEdit, p.fitWindow->RangeToEdit}) {
                const std::optional<double> v = ParseNumber(e->text().toStdString());
                out += (out.empty() ? "" : ",") + (v ? scpi::FormatNumber(*v) : "9.91E+37");
            }
            c.Answer(out);
        });
    auto act = [this](auto what) {
        return [this, what](Call& c) {
            if (!c.Parameters(0, 0)) return;
            if (Refused(c, scpi::kInitIgnored)) return;
            what(*p.fitWindow);
            RouteWhileRunning(m_current);
        };
    };
    m_tree.Add("FIT:PEAKs:FIND", act([](PeakFitWindow& w) { w.FindPeaksAction->trigger(); }), {});
    m_tree.Add("FIT[:STARt]", act([](PeakFitWindow& w) { w.StartFitButton->click(); }), {});
    m_tree.Add("FIT:ALL", act([](PeakFitWindow& w) { w.FitAllButton->click(); }), {});
    // The active peaks: frequency, width, amplitude, phase, then their standard errors where the
    // last run's report stands for the table (otherwise 9.91E+37, "not a number").
    m_tree.Add("FIT:PEAKs", {}, [this](Call& c) {
        if (!c.Parameters(0, 0)) return;
        const PeakFitWindow& w = *p.fitWindow;
        const PeakTable& t = p.fitWindow->Fit().peaks;
        const FitReport& r = p.fitWindow->Runner().Report();
        std::string out;
        auto add = [&](double v) { out += (out.empty() ? "" : ",") + scpi::FormatNumber(v); };
        const double none = std::numeric_limits<double>::quiet_NaN();
        for (int k = 1; k <= kPeaks; ++k) {
            if (t.PeakAmplitude[k] == 0.0) continue;
            add(t.PeakFrequency[k]);
            add(t.PeakWidth[k]);
            add(t.PeakAmplitude[k]);
            add(t.PeakPhase[k]);
            const bool errors = w.ReportShown() && r.valid && r.peaks[k].valid;
            add(errors ? r.peaks[k].frequency : none);
            add(errors ? r.peaks[k].width : none);
            add(errors ? r.peaks[k].amplitude : none);
            add(errors ? r.peaks[k].phase : none);
        }
        c.Answer(out);
    });
}

}  // namespace sonarix
