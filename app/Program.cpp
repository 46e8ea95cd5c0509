// The program root: start-up, the wiring of the windows, shut-down.
#include "app/Program.h"

#include <QApplication>
#include <QMessageBox>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app/CommandLine.h"
#include "app/RemoteControl.h"
#include "measurement/Messages.h"
#include "measurement/Playback.h"
#include "physics/SampleRate.h"
#include "platform/Context.h"
#include "platform/audio/Audio.h"
#include "platform/audio/AudioBackend.h"
#include "platform/audio/AudioFactory.h"
#include "platform/audio/VirtualApparatus.h"
#include "platform/serial/TApdComPort.h"
#include "plot/Controls.h"
#include "session/Journal.h"
#include "session/SessionKeeper.h"
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

Program::Program() : state(std::make_unique<SharedState>()) {}

bool StartUp(Program& p) {
    SharedState& s = *p.state;
    // 1. The main window first, visible at once, then the serial dialog.
    p.mainWindow = std::make_unique<MainWindow>(s);
    p.mainWindow->show();
    p.inputDialog = std::make_unique<InputDialog>();
    p.serialDialog = std::make_unique<SerialPortDialog>(s);
    p.serialDialog->setFont(DialogFont());
    p.mainWindow->SerialDialog = p.serialDialog.get();
    // 2. Clear the plot image.
    p.mainWindow->ClearImage();
    // 3. The audio layer must implement contract 2.3.
    if ((audio::GetVersion() >> 16) != 0x0203) {
        ShowMessage(kWrongAudioVersion);
        return false;
    }
    // 4. Output on the default device.
    if (!audio::Init(-1, kSampleRate, 0, reinterpret_cast<void*>(p.mainWindow->winId()), nullptr)) {
        // The box says what the program always said; the reason goes to standard error.
        const char* reason = audio::ErrorText();
        if (reason != nullptr && reason[0] != '\0') {
            std::fprintf(stderr, "Sonarix: sound output: %s\n", reason);
        }
        audio::Free();
        ShowMessage(std::string(kCannotInitOutput) + "\n" + kVirtualHint);
        return false;
    }
    // 5. The default recording device.
    if (!audio::RecordInit(-1)) {
        audio::RecordFree();
        audio::Free();
        ShowMessage(kCannotStartRecordingDevice);
        return false;
    }
    // 6., 7. The input list; the last input that is on becomes the only one on.
    p.inputs = ListInputs();
    p.inputDialog->FillInputs(p.inputs);
    p.inputDialog->OnInputChosen();
    // 8. Mono recording.
    s.StereoInput = false;
    if (!StartRecording(s)) ShowMessage(kCannotStartRecording);
    // 9. - 12. The empty signal image and the defaults of the store, margins and channels.
    s.WavImage.Clear();
    for (int i = 0; i < kSlots; ++i) {
        s.SpecColor[i] = kDefaultSpecColor[i];
        s.SpecCount[i] = 0;
    }
    s.MarginLeft = 10;
    s.MarginBottom = 10;
    s.MarginRight = 20;
    s.MarginTop = 10;
    s.LeftChannel = true;
    s.StereoInput = false;
    // 13. The bare axes.
    p.mainWindow->RedrawSpectra();
    // 14. - 16. The port object, the list of present ports, the link defaults; no port is
    // opened.
    s.SerialPort = new TApdComPort(p.mainWindow.get());
    p.serialDialog->FillPortList();
    s.SerialBaud = 9600;
    s.SerialParity = 0;
    s.SerialDataBits = 8;
    s.SerialStopBits = 2;
    s.SerialSwFlow = 3;
    s.SerialPortNr = 0;
    // 17. The sweep and tone defaults.
    s.StartFreq = 100.0;
    s.StopFreq = 10000.0;
    s.StepFreq = 10.0;
    s.StepTime = 50.0;
    s.CurrentFreq = 1000.0;
    return true;
}

void CreateRemainingWindows(Program& p) {
    p.lineThickness = std::make_unique<LineThicknessDialog>();
    p.helpDialog = std::make_unique<HelpDialog>();
    p.versionDialog = std::make_unique<VersionDialog>();
    p.mainWindow->ThicknessDialog = p.lineThickness.get();
    p.mainWindow->HelpWindow = p.helpDialog.get();
    p.mainWindow->VersionWindow = p.versionDialog.get();
    p.liveSpectrum = std::make_unique<LiveSpectrumWindow>(*p.state);
    p.liveWaveform = std::make_unique<LiveWaveformWindow>(*p.state);
    p.soundCardDialog = std::make_unique<SoundCardDialog>();
    p.mainWindow->LiveSpectrumView = p.liveSpectrum.get();
    p.mainWindow->LiveWaveformView = p.liveWaveform.get();
    MainWindow* f1 = p.mainWindow.get();
    p.liveSpectrum->FilterOn = [f1] { return f1->FftFilterOn(); };
    SoundCardDialog* card = p.soundCardDialog.get();
    p.mainWindow->ChooseSoundCard = [card] {
        card->exec();
        return std::make_pair(card->Stereo(), card->Left());
    };
    InputDialog* input = p.inputDialog.get();
    p.mainWindow->OpenInputDialog = [input] {
        input->show();
        input->raise();
        KeepOnScreen(input);
    };
    p.fitWindow = std::make_unique<PeakFitWindow>();
    PeakFitWindow* fit = p.fitWindow.get();
    LineThicknessDialog* thickness = p.lineThickness.get();
    p.mainWindow->OpenFitWindow = [fit](const FitHandOver& h) { fit->FitExecute(h); };
    fit->ChooseLineThickness = [thickness] {
        thickness->exec();  // OK and the close box alike apply the choice
        return std::clamp(thickness->ThicknessGroup->ItemIndex(), 0, 3) + 1;
    };
    fit->HelpWindow = p.helpDialog.get();

    p.angles = std::make_unique<AngleData>();
    p.waveWindow = std::make_unique<WaveFunctionWindow>(*p.state, *p.angles);
    WaveFunctionWindow* wave = p.waveWindow.get();
    MainWindow* main = p.mainWindow.get();
    wave->MainFftFilterOn = [main] { return main->FftFilterOn(); };
    wave->MainLockInOn = [main] { return main->LockInOn(); };
    wave->MainVolume = [main] { return main->VolumePosition(); };
    wave->PlanFast = [main](FastPlan& plan) {
        const MeasureWindow::SweepFields fields = main->Fields();
        return PlanFastSweep(fields.start, fields.stop, main->FastChoice(), plan);
    };
    main->OpenWaveWindow = [wave] { wave->Open(); };

    // The session: undo of what replaces or clears data, session files, the journal.
    p.session = std::make_unique<SessionKeeper>(*p.state);
    SessionKeeper* session = p.session.get();
    // The windows' parts of a session, applied in this order (the settings redraw last).
    p.fitPart = std::make_unique<ValuePart<FitSession>>(
        "fit", [fit] { return fit->SessionPart(); },
        [fit](const FitSession& f) { fit->RestoreSessionPart(f); });
    p.settingsPart = std::make_unique<ValuePart<WindowSettings>>(
        "settings", [main] { return main->SessionSettings(); },
        [main](const WindowSettings& w) { main->ApplySessionSettings(w); });
    session->Register(*p.fitPart);
    session->Register(*p.settingsPart);
    session->Angles = p.angles.get();
    session->ShowSpectra = [main] { main->RedrawSpectra(); };
    session->Tell = [](const Notice& n) { ShowMessage(n.text); };
    session->Ask = [](const std::string& question) { return AskQuestion(question); };
    session->ShowWave = [wave] {
        wave->DrawPolarPlot();
        wave->RefreshUndo();
    };
    main->UseSession(session);
    wave->UseSession(session);
    main->OnExitUnsaved = [session] { session->NoteUnsavedAtExit(); };
    fit->OnClosed = [session] { session->Noted(); };
    fit->OnPeaksChanged = [session] { session->Noted(); };

    p.latencyDialog = std::make_unique<LatencyDialog>(*p.state);
    LatencyDialog* latency = p.latencyDialog.get();
    latency->MainVolume = [main] { return main->VolumePosition(); };
    latency->OnCalibrated = [main, session] {
        main->ShowLatency();
        session->Noted();
    };
    main->OpenLatencyDialog = [latency] {
        latency->ShowResult();
        latency->exec();
    };

    p.remoteDialog = std::make_unique<RemoteDialog>();
    RemoteDialog* remote = p.remoteDialog.get();
    Program* program = &p;
    remote->Apply = [program](const std::optional<RemoteOptions>& options) {
        return SwitchRemote(*program, options);
    };
    remote->InForce = [program]() -> std::optional<RemoteOptions> {
        if (!program->remote) return std::nullopt;
        return program->remote->Server().Options();
    };
    remote->Connections = [program] {
        return program->remote ? program->remote->Server().Clients() : 0;
    };
    main->OpenRemoteDialog = [remote] { remote->exec(); };

    // On the virtual apparatus its hemisphere can be turned, by hand or by "Measure value".
    if (auto* apparatus = dynamic_cast<audio::VirtualApparatus*>(audio::CurrentBackend())) {
        p.virtualWindow = std::make_unique<VirtualApparatusWindow>(*apparatus);
        VirtualApparatusWindow* knob = p.virtualWindow.get();
        main->VirtualApparatus->setVisible(true);
        main->OpenVirtualApparatus = [knob] {
            knob->show();
            knob->raise();
            KeepOnScreen(knob);
        };
        wave->OnMeasureAngle = [knob](double alpha) {
            if (knob->Follow()) knob->SetAngle(alpha);
        };
    }
}

void StartJournal(Program& p, const std::string& folder) {
    if (!p.session) return;
    p.session->StartJournal(folder);
    if (!p.session->OfferRestore()) p.session->SayUnsavedAtLastExit();
}

void ShutDown(Program& p) {
    p.remote.reset();  // the scripts go first: none may start anything now
    if (p.mainWindow) p.mainWindow->EndSweepNow();
    if (p.session) p.session->EndJournal();
    audio::Free();
}

Program::~Program() {
    remote.reset();  // no command reaches a window that is going
    // The windows let go of the session before it goes; it outlives none of them in use.
    if (mainWindow) mainWindow->EndSweepNow();
    if (mainWindow) mainWindow->UseSession(nullptr);
    if (waveWindow) waveWindow->UseSession(nullptr);
    if (fitWindow) fitWindow->OnClosed = {};
    if (fitWindow) fitWindow->OnPeaksChanged = {};
    if (latencyDialog) latencyDialog->OnCalibrated = {};
    session.reset();
    // The port object goes with the main window; nothing may point at it afterwards.
    latencyDialog.reset();
    remoteDialog.reset();
    virtualWindow.reset();
    waveWindow.reset();
    fitWindow.reset();
    versionDialog.reset();
    soundCardDialog.reset();
    liveWaveform.reset();
    liveSpectrum.reset();
    helpDialog.reset();
    lineThickness.reset();
    serialDialog.reset();
    inputDialog.reset();
    mainWindow.reset();
    if (state) state->SerialPort = nullptr;
}

void UseMessageBoxes(platform::Context& context) {
    context.tell = [](const std::string& text) {
        QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(),
                        QString::fromStdString(text), QMessageBox::Ok,
                        QApplication::activeWindow());
        box.exec();
    };
    context.ask = [](const std::string& text) {
        return QMessageBox::question(QApplication::activeWindow(), QApplication::applicationName(),
                                     QString::fromStdString(text),
                                     QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::Yes) == QMessageBox::Yes;
    };
}

std::string LocateManual(const std::string& executableDir) {
    namespace fs = std::filesystem;
    // The installed HTML page first (a browser shows it with its pictures), then its Markdown.
    const fs::path candidates[] = {fs::path(executableDir) / "../share/doc/sonarix/manual.html",
                                   fs::path(executableDir) / "../share/doc/sonarix/manual.md",
                                   fs::path(SONARIX_SOURCE_DIR) / "docs/manual.md"};
    for (const fs::path& p : candidates) {
        std::error_code e;
        if (fs::is_regular_file(p, e)) return fs::weakly_canonical(p, e).string();
    }
    return {};
}

std::string VersionText() { return std::string("Sonarix ") + SONARIX_VERSION; }

namespace {

// The SCPI server; a server that cannot listen is said on standard error, and the program
// runs on without it.
void StartRemote(Program& p, const RemoteOptions& options) {
    if (options.otherHosts) {
        std::fprintf(stderr,
                     "sonarix: warning: the remote control takes connections from other "
                     "computers: anyone who reaches port %u can measure and write files\n",
                     static_cast<unsigned>(options.port));
    }
    const std::string why = SwitchRemote(p, options);
    if (!why.empty()) {
        std::fprintf(stderr, "sonarix: the remote control cannot start: %s\n", why.c_str());
        return;
    }
    std::fprintf(stderr, "sonarix: remote control on port %u\n",
                 static_cast<unsigned>(p.remote->Server().Port()));
}

}  // namespace

std::string SwitchRemote(Program& p, const std::optional<RemoteOptions>& options) {
    std::optional<RemoteOptions> before;
    if (p.remote) before = p.remote->Server().Options();
    if (before == options) return {};
    // On another port the new server starts beside the old one, which keeps its connections if
    // it cannot; on the same port the old one must go first.
    if (!options || (before && before->port == options->port)) p.remote.reset();
    if (!options) return {};
    std::string why;
    auto remote = std::make_unique<RemoteControl>(p);
    if (remote->Start(*options, why)) {
        p.remote = std::move(remote);
        return {};
    }
    remote.reset();
    if (before && !p.remote) {
        std::string ignored;
        remote = std::make_unique<RemoteControl>(p);
        if (remote->Start(*before, ignored)) p.remote = std::move(remote);
    }
    return why;
}

namespace {

// An argument the program does not know: the usage on standard error, exit code 2.
int Unknown(const char* argument) {
    std::fprintf(stderr, "sonarix: unknown argument \"%s\"\n\n%s", argument, kUsage);
    return 2;
}

}  // namespace

Arguments ReadArguments(int argc, char** argv, bool all) {
    Arguments r;
    for (int i = 1; i < argc && r.wrong.empty(); ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            r.help = true;
        } else if (a == "--version") {
            r.version = true;
        } else if (a == "--virtual") {
            r.onVirtual = true;
        } else if (a == "--remote" || a == "--remote-any-host") {
            if (!r.remote) r.remote = RemoteOptions{};
            if (a == "--remote-any-host") r.remote->otherHosts = true;
        } else if (a.rfind("--remote=", 0) == 0) {
            const std::string port = a.substr(9);
            const bool digits = !port.empty() && port.size() <= 5 &&
                                port.find_first_not_of("0123456789") == std::string::npos;
            const int n = digits ? std::stoi(port) : 0;
            if (n < 1 || n > 65535) {
                r.wrong = a;
            } else {
                if (!r.remote) r.remote = RemoteOptions{};
                r.remote->port = static_cast<uint16_t>(n);
            }
        } else if (all || a.rfind("--", 0) == 0) {
            r.wrong = a;
        }
    }
    return r;
}

int RunProgram(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "measure") == 0) return RunMeasureCommand(argc, argv);
    // Ours first, and the answers that need no display.
    const Arguments ours = ReadArguments(argc, argv, false);
    if (ours.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (ours.version) {
        std::printf("%s\n", VersionText().c_str());
        return 0;
    }
    if (!ours.wrong.empty()) return Unknown(ours.wrong.c_str());
    QApplication app(argc, argv);
    // What Qt did not take is ours or wrong.
    const Arguments rest = ReadArguments(argc, argv, true);
    if (!rest.wrong.empty()) return Unknown(rest.wrong.c_str());
    const bool onVirtual = ours.onVirtual;
    QApplication::setApplicationName(QStringLiteral("Sonarix"));
    platform::Context context;
    context.backend = onVirtual ? audio::CreateVirtualBackend() : audio::CreateSoundCardBackend();
    // Test hook: messages on standard error instead of modal boxes.
    if (std::getenv("SONARIX_MESSAGES_TO_STDERR") == nullptr) UseMessageBoxes(context);
    const platform::ContextScope inUse(std::move(context));
    int rc = 1;
    {
        Program program;
        if (StartUp(program)) {
            CreateRemainingWindows(program);
            const std::string manual =
                LocateManual(QCoreApplication::applicationDirPath().toStdString());
            if (!manual.empty()) program.helpDialog->SetManualFile(QString::fromStdString(manual));
            StartJournal(program, JournalFolder());
            if (ours.remote) StartRemote(program, *ours.remote);
            rc = QApplication::exec();
            ShutDown(program);
        }
    }
    return rc;
}

}  // namespace sonarix
