// The program root: start-up, the wiring of the windows, shut-down.
#include "app/Program.h"

#include <QApplication>
#include <QMessageBox>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "measurement/Messages.h"
#include "measurement/Playback.h"
#include "physics/SampleRate.h"
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
    p.form1 = std::make_unique<MainWindow>(s);
    p.form1->show();
    p.form7 = std::make_unique<InputDialog>();
    p.form8 = std::make_unique<SerialPortDialog>(s);
    p.form8->setFont(DialogFont());
    p.form1->SerialDialog = p.form8.get();
    // 2. Clear the plot image.
    p.form1->ClearImage();
    // 3. The audio layer must implement contract 2.3.
    if ((audio::GetVersion() >> 16) != 0x0203) {
        ShowMessage(kWrongAudioVersion);
        return false;
    }
    // 4. Output on the default device.
    if (!audio::Init(-1, kSampleRate, 0, reinterpret_cast<void*>(p.form1->winId()), nullptr)) {
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
    p.form7->FillInputs(p.inputs);
    p.form7->OnInputChosen();
    // 8. Mono recording.
    s.StereoInput = false;
    StartRecording(s);
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
    p.form1->RedrawSpectra();
    // 14. - 16. The port object, the list of present ports, the link defaults; no port is
    // opened.
    s.SerialPort = new TApdComPort(p.form1.get());
    p.form8->FillPortList();
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
    p.form4 = std::make_unique<LineThicknessDialog>();
    p.form10 = std::make_unique<HelpDialog>();
    p.form11 = std::make_unique<VersionDialog>();
    p.form1->ThicknessDialog = p.form4.get();
    p.form1->HelpWindow = p.form10.get();
    p.form1->VersionWindow = p.form11.get();
    p.form2 = std::make_unique<LiveSpectrumWindow>(*p.state);
    p.form3 = std::make_unique<LiveWaveformWindow>(*p.state);
    p.form6 = std::make_unique<SoundCardDialog>();
    p.form1->LiveSpectrumView = p.form2.get();
    p.form1->LiveWaveformView = p.form3.get();
    MainWindow* f1 = p.form1.get();
    p.form2->FilterOn = [f1] { return f1->FftFilterOn(); };
    SoundCardDialog* card = p.form6.get();
    p.form1->ChooseSoundCard = [card] {
        card->exec();
        return std::make_pair(card->Stereo(), card->Left());
    };
    InputDialog* input = p.form7.get();
    p.form1->OpenInputDialog = [input] {
        input->show();
        input->raise();
        KeepOnScreen(input);
    };
    p.form5 = std::make_unique<PeakFitWindow>();
    PeakFitWindow* fit = p.form5.get();
    LineThicknessDialog* thickness = p.form4.get();
    p.form1->OpenFitWindow = [fit](const FitHandOver& h) { fit->FitExecute(h); };
    fit->ChooseLineThickness = [thickness] {
        thickness->exec();  // OK and the close box alike apply the choice
        return std::clamp(thickness->ThicknessGroup->ItemIndex(), 0, 3) + 1;
    };
    fit->HelpWindow = p.form10.get();

    p.form9 = std::make_unique<WaveFunctionWindow>(*p.state);
    WaveFunctionWindow* wave = p.form9.get();
    MainWindow* main = p.form1.get();
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
    session->ReadSettings = [main] { return main->SessionSettings(); };
    session->WriteSettings = [main](const WindowSettings& w) { main->ApplySessionSettings(w); };
    session->ReadFit = [fit] { return fit->SessionPart(); };
    session->WriteFit = [fit](const FitSession& f) { fit->RestoreSessionPart(f); };
    session->Wave = &wave->WaveAmplitude;
    session->Series = &wave->Series;
    session->ShowSpectra = [main] { main->RedrawSpectra(); };
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
    if (p.form1) p.form1->EndSweepNow();
    if (p.session) p.session->EndJournal();
    audio::Free();
}

Program::~Program() {
    // The windows let go of the session before it goes; it outlives none of them in use.
    if (form1) form1->EndSweepNow();
    if (form1) form1->UseSession(nullptr);
    if (form9) form9->UseSession(nullptr);
    if (form5) form5->OnClosed = {};
    if (form5) form5->OnPeaksChanged = {};
    if (latencyDialog) latencyDialog->OnCalibrated = {};
    session.reset();
    // The port object goes with the main window; nothing may point at it afterwards.
    latencyDialog.reset();
    virtualWindow.reset();
    form9.reset();
    form5.reset();
    form11.reset();
    form6.reset();
    form3.reset();
    form2.reset();
    form10.reset();
    form4.reset();
    form8.reset();
    form7.reset();
    form1.reset();
    if (state) state->SerialPort = nullptr;
}

void InstallMessageBoxes() {
    SetMessageSink([](const std::string& text) {
        QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(),
                        QString::fromStdString(text), QMessageBox::Ok,
                        QApplication::activeWindow());
        box.exec();
    });
    SetQuestionSink([](const std::string& text) {
        return QMessageBox::question(QApplication::activeWindow(), QApplication::applicationName(),
                                     QString::fromStdString(text),
                                     QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::Yes) == QMessageBox::Yes;
    });
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

// An argument the program does not know: the usage on standard error, exit code 2.
int Unknown(const char* argument) {
    std::fprintf(stderr, "sonarix: unknown argument \"%s\"\n\n%s", argument, kUsage);
    return 2;
}

}  // namespace

int RunProgram(int argc, char** argv) {
    bool onVirtual = false;
    // Ours first, and the answers that need no display. Qt's own options start with one dash
    // and are taken out of argv by QApplication; what is left after it is unknown.
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("%s\n", VersionText().c_str());
            return 0;
        }
        if (a == "--virtual") {
            onVirtual = true;
        } else if (a.rfind("--", 0) == 0) {
            return Unknown(argv[i]);
        }
    }
    QApplication app(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--virtual") != 0) return Unknown(argv[i]);
    }
    QApplication::setApplicationName(QStringLiteral("Sonarix"));
    // Test hook: messages on standard error instead of modal boxes.
    if (std::getenv("SONARIX_MESSAGES_TO_STDERR") == nullptr) InstallMessageBoxes();

    audio::UseBackend(onVirtual ? audio::CreateVirtualBackend() : audio::CreateSoundCardBackend());
    int rc = 1;
    {
        Program program;
        if (StartUp(program)) {
            CreateRemainingWindows(program);
            const std::string manual =
                LocateManual(QCoreApplication::applicationDirPath().toStdString());
            if (!manual.empty()) program.form10->SetManualFile(QString::fromStdString(manual));
            StartJournal(program, JournalFolder());
            rc = QApplication::exec();
            ShutDown(program);
        }
    }
    audio::UseBackend(nullptr);
    return rc;
}

}  // namespace sonarix
