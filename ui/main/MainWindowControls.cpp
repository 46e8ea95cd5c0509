// The main window's controls, timers, actions and menus: where each control stands and what
// each action does when triggered.
#include <QActionGroup>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSlider>
#include <QTimer>
#include <QToolButton>

#include "plot/Controls.h"
#include "ui/main/MainWindow.h"

namespace sonarix {

void MainWindow::BuildControls(QWidget* c) {
    SpectrumSlotGroup =
        Named(new TRadioGroup(QStringLiteral("Current Spectrum"),
                              {QStringLiteral("Spectrum 1"), QStringLiteral("Spectrum 2"),
                               QStringLiteral("Spectrum 3"), QStringLiteral("Spectrum 4")},
                              c),
              "RadioGroup1");
    SpectrumSlotGroup->setGeometry(8, 24, 97, 113);
    SpectrumSlotGroup->SetItemIndex(0);
    DisplayWidthGroup =
        Named(new TRadioGroup(QStringLiteral("Display"),
                              {QStringLiteral("normal"), QStringLiteral("wide"),
                               QStringLiteral("very wide"), QStringLiteral("maximal")},
                              c),
              "RadioGroup2");
    DisplayWidthGroup->setGeometry(111, 24, 79, 113);
    DisplayWidthGroup->SetItemIndex(0);

    struct Field {
        QLabel*& label;
        QLineEdit*& edit;
        const char* labelName;
        const char* editName;
        const char* caption;
        const char* text;
        int labelTop;
        int editTop;
    };
    const Field fields[] = {
        {StartFrequencyLabel, StartFrequencyEdit, "Label1", "Edit1", "Start Frequency [Hz]", "100",
         160, 176},
        {StopFrequencyLabel, StopFrequencyEdit, "Label2", "Edit2", "Stop Frequency [Hz]", "10000",
         216, 235},
        {StepLabel, StepEdit, "Label3", "Edit3", "Step [Hz]", "10", 272, 291},
        {TimePerStepLabel, TimePerStepEdit, "Label4", "Edit4", "Time per Step [ms]", "50", 328,
         347},
    };
    for (const Field& f : fields) {
        f.label = Named(new QLabel(QString::fromLatin1(f.caption), c), f.labelName);
        f.label->move(32, f.labelTop);
        f.label->adjustSize();
        f.edit = Named(new QLineEdit(QString::fromLatin1(f.text), c), f.editName);
        f.edit->setGeometry(32, f.editTop, 121, 21);
    }

    StopButton = Named(new QPushButton(QStringLiteral("Stop"), c), "Button1");
    StopButton->setGeometry(32, 392, 121, 25);
    MeasureButton = Named(new QPushButton(QStringLiteral("Measure"), c), "Button2");
    MeasureButton->setGeometry(30, 392, 123, 25);
    MeasureButton->raise();  // "Measure" lies over "Stop"
    ClearSpectrumButton = Named(new QPushButton(QStringLiteral("Clear Spectrum"), c), "Button3");
    ClearSpectrumButton->setGeometry(30, 432, 123, 25);
    // It empties a slot at once: a click only, never a key that was meant for another button.
    ClearSpectrumButton->setFocusPolicy(Qt::NoFocus);
    // "Stop" comes up under the pointer when "Measure" hides: the second click of a
    // double-click on "Measure" is not meant for it.
    IgnoreSecondClickOfDoubleClick(StopButton);
    FitSpectrumButton = Named(new QPushButton(QStringLiteral("Fit Spectrum"), c), "Button4");
    FitSpectrumButton->setGeometry(30, 472, 123, 25);
    FastButton = Named(new QPushButton(QStringLiteral("Fast Measure"), c), "FastButton");
    FastButton->setGeometry(30, 499, 123, 20);
    FastButton->setToolTip(QStringLiteral(
        "The whole spectrum in seconds: an exponential sweep, recorded whole and deconvolved "
        "(spacing and length in the Measure menu)"));

    FftFilterCheck = Named(new QCheckBox(QStringLiteral("FFT-Filter on"), c), "CheckBox1");
    FftFilterCheck->move(47, 520);
    FftFilterCheck->adjustSize();
    FftFilterCheck->setChecked(true);
    // Both check boxes 17 pixels high, so that "Lock-in" fits between the filter and the
    // volume's label.
    FftFilterCheck->resize(FftFilterCheck->width(), 17);
    LockInCheck = Named(new QCheckBox(QStringLiteral("Lock-in"), c), "CheckBox2");
    LockInCheck->move(47, 537);
    LockInCheck->adjustSize();
    LockInCheck->resize(LockInCheck->width(), 17);
    LockInCheck->setToolTip(QStringLiteral(
        "Detects the level phase-locked to the played signal: less noise than the FFT filter"));

    VolumeLabel = Named(new QLabel(QStringLiteral("Amplitude Output Signal"), c), "Label5");
    VolumeLabel->move(47, 555);
    VolumeLabel->adjustSize();
    VolumeSlider = Named(new QSlider(Qt::Horizontal, c), "TrackBar1");
    VolumeSlider->setGeometry(8, 568, 182, 45);
    VolumeSlider->setRange(0, 100);
    VolumeSlider->setTickInterval(10);
    VolumeSlider->setTickPosition(QSlider::TicksBelow);
    VolumeSlider->setValue(50);
    connect(VolumeSlider, &QSlider::valueChanged, this, [this] { ChangeVolume(); });

    BuildPlotControls(c);
}

void MainWindow::BuildPlotControls(QWidget* c) {
    LagArea = Named(new QWidget(c), "LagArea");
    LagArea->setGeometry(8, 628, 97, 25);
    LagIndicator = Named(new QLabel(c), "Panel2");
    LagIndicator->setGeometry(16, 632, 17, 17);
    LagIndicator->setAutoFillBackground(true);
    LagIndicator->setStyleSheet(QStringLiteral("background-color: #800000;"));
    LagIndicator->hide();
    SaturationPanel = AddSaturationPanel(c, 111, 632, 74, 17);
    // Beneath them, while scripts are connected to the remote control.
    RemoteLabel = Named(new QLabel(c), "RemoteLabel");
    RemoteLabel->setGeometry(8, 653, 182, 16);
    RemoteLabel->setStyleSheet(QStringLiteral("color: #800000;"));
    RemoteLabel->hide();
    ShowLatency();

    const PlotArea area = AddPlotArea(c, kImageWidth, kImageHeight, "Label6");
    PlotScrollBox = area.box;
    PlotPanel = area.panel;
    PlotImage = area.image;
    FrequencyReadOut = area.readOut;
    FrequencyReadOut->move(272, 552);
    connect(DisplayWidthGroup, &TRadioGroup::Clicked, this, [this] { ApplyDisplayWidth(); });
    connect(StopButton, &QPushButton::clicked, this, [this] { OnStopClicked(); });
    connect(MeasureButton, &QPushButton::clicked, this, [this] { OnMeasureClicked(); });
    connect(ClearSpectrumButton, &QPushButton::clicked, this, [this] { OnClearSpectrumClicked(); });
    connect(FitSpectrumButton, &QPushButton::clicked, this, [this] { FitExecute(); });
    connect(FastButton, &QPushButton::clicked, this, [this] { FastMeasureClick(); });
    connect(PlotImage, &TImage::MouseDown, this,
            [this](int x, int, Qt::MouseButton) { SetFreq(x); });
    connect(PlotImage, &TImage::MouseMove, this, [this](int x, int y) { ShowFrequencyAt(x, y); });
    connect(PlotImage, &TImage::MouseEnter, this, [this] { OnPlotEntered(); });
    connect(PlotImage, &TImage::MouseLeave, this, [this] { OnPlotLeft(); });
}

void MainWindow::BuildTimers() {
    LiveSpectrumTimer = Named(new QTimer(this), "Timer1");
    LiveSpectrumTimer->setInterval(200);
    LiveWaveformTimer = Named(new QTimer(this), "Timer2");
    LiveWaveformTimer->setInterval(200);
    connect(LiveSpectrumTimer, &QTimer::timeout, this, [this] { RefreshLiveSpectrum(); });
    connect(LiveWaveformTimer, &QTimer::timeout, this, [this] { RefreshLiveWaveform(); });
    LiveSpectrumTimer->start();
    LiveWaveformTimer->start();
    // A sweep's steps change the picture up to 500 times a second; the screen is shown what
    // changed at most every 20 ms.
    m_sweepTimer = new QTimer(this);
    m_sweepTimer->setSingleShot(true);
    m_sweepTimer->setTimerType(Qt::PreciseTimer);
    connect(m_sweepTimer, &QTimer::timeout, this, [this] { ContinueSweep(); });
    m_showTimer = new QTimer(this);
    m_showTimer->setSingleShot(true);
    m_showTimer->setInterval(20);
    connect(m_showTimer, &QTimer::timeout, this, [this] {
        PlotImage->update(m_unshown);
        m_unshown = QRect();
    });
}

void MainWindow::BuildMenus() {
    CreateActions();
    ConnectActions();
    BuildMenuBar();
    BuildProgressCorner();
}

void MainWindow::CreateActions() {
    auto action = [this](QAction*& a, const char* name, const char* caption, bool enabled) {
        a = new QAction(QString::fromLatin1(caption), this);
        a->setObjectName(QString::fromLatin1(name));
        a->setEnabled(enabled);
    };
    // Actions whose windows and files come later stay disabled until then.
    action(SaveSpectrum, "SaveSpectrum", "Save Spectrum ", true);
    action(OpenSpectrum, "OpenSpectrum", "Open Spectrum", true);
    action(SaveAsImage, "SaveAsImage", "Save as Image", true);
    action(PrinterSetup, "PrinterSetup", "Printer Setup", true);
    action(PrintImage, "PrintImage", "Print", true);
    action(Exit, "Exit", "Exit", true);
    action(ChangeFont, "ChangeFont", "Change Font", true);
    action(ChangePenColor, "ChangePenColor", "ChangePenColor", true);
    action(ChangeLineThickness, "ChangeLineThickness", "ChangeLineThickness", true);
    action(SphereModes, "SphereModes", "Sphere Modes", true);
    SphereModes->setCheckable(true);
    connect(SphereModes, &QAction::triggered, this, [this] { SphereModesExecute(); });
    action(Fit, "Fit", "Fit", true);
    action(WaveFunction, "WaveFktWindow", "Measure Wave Function", true);
    action(VirtualApparatus, "VirtualApparatus", "Virtual Apparatus", true);
    VirtualApparatus->setVisible(false);
    action(LiveFftOn, "LifeFFTOn", "Life FFT of Microphone Signal", true);
    action(LiveWaveOn, "LifeWaveOn", "Life Image of Microphone Signal", true);
    action(ConfigureSoundCard, "ConfigureSoundCard", "Mono / Stereo", true);
    action(SelectInputChannel, "SelectInputChannel", "Input Channel / Volume", true);
    action(ConfigureSerial, "ConfigureSeriell", "Serial Port", true);
    action(CalibrateLatency, "CalibrateLatency", "Calibrate Latency", true);
    action(ConfigureRemote, "ConfigureRemote", "Remote Control", true);
    action(ManualHelp, "ManualHelp", "Manual and Help", true);
    action(VersionInfo, "VersionInfo", "Version info", true);
    action(SaveSession, "SaveSession", "Save Session", false);
    action(OpenSession, "OpenSession", "Open Session", false);
    action(RestoreLastSession, "RestoreLastSession", "Restore Last Session", false);
    action(Undo, "Undo", "Undo", false);
    action(Redo, "Redo", "Redo", false);
    action(MeasureAction, "MeasureAction", "Measure", true);
    action(FastMeasure, "FastMeasure", "Fast Measure", true);
    connect(MeasureAction, &QAction::triggered, this, [this] {
        if (MeasureButton->isVisible() && MeasureButton->isEnabled()) OnMeasureClicked();
    });
    connect(FastMeasure, &QAction::triggered, this, [this] { FastMeasureClick(); });
    auto* spacings = new QActionGroup(this);
    for (size_t i = 0; i < FastSpacing.size(); ++i) {
        const double hz = kFastSpacings[i];
        FastSpacing[i] = spacings->addAction(QStringLiteral("Spacing %1 Hz").arg(hz));
        FastSpacing[i]->setObjectName(QStringLiteral("FastSpacing%1").arg(i));
        FastSpacing[i]->setCheckable(true);
        FastSpacing[i]->setChecked(hz == 1.0);
    }
    auto* lengths = new QActionGroup(this);
    for (size_t i = 0; i < FastLength.size(); ++i) {
        const int factor = kFastLengthFactors[i];
        FastLength[i] = lengths->addAction(
            factor == 1 ? QStringLiteral("Sweep Length as for the Range")
                        : QStringLiteral("Sweep Length x %1 (less noise)").arg(factor));
        FastLength[i]->setObjectName(QStringLiteral("FastLength%1").arg(i));
        FastLength[i]->setCheckable(true);
        FastLength[i]->setChecked(factor == 1);
    }
}

void MainWindow::ConnectActions() {
    Undo->setShortcut(QKeySequence::Undo);
    Redo->setShortcuts(RedoKeys());
    connect(SaveSession, &QAction::triggered, this, [this] { SaveSessionExecute(); });
    connect(OpenSession, &QAction::triggered, this, [this] { OpenSessionExecute(); });
    connect(RestoreLastSession, &QAction::triggered, this, [this] { RestoreLastSessionExecute(); });
    connect(Undo, &QAction::triggered, this, [this] { UndoExecute(); });
    connect(Redo, &QAction::triggered, this, [this] { RedoExecute(); });
    SaveSpectrum->setShortcut(QKeySequence::Save);
    OpenSpectrum->setShortcut(QKeySequence::Open);
    PrintImage->setShortcut(QKeySequence::Print);
    MeasureAction->setShortcuts({QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_M)});
    Fit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    ManualHelp->setShortcut(QKeySequence(Qt::Key_F1));
    Exit->setShortcut(QKeySequence::Quit);
    connect(SaveSpectrum, &QAction::triggered, this, [this] { SaveSpectrumExecute(); });
    connect(OpenSpectrum, &QAction::triggered, this, [this] { OpenSpectrumExecute(); });
    connect(SaveAsImage, &QAction::triggered, this, [this] { SaveAsImageExecute(); });
    connect(PrinterSetup, &QAction::triggered, this, [this] { PrinterSetupExecute(); });
    connect(PrintImage, &QAction::triggered, this, [this] { PrintExecute(); });
    connect(Exit, &QAction::triggered, this, [this] { ExitExecute(); });
    connect(Fit, &QAction::triggered, this, [this] { FitExecute(); });
    connect(LiveFftOn, &QAction::triggered, this, [this] { LiveFftOnExecute(); });
    connect(LiveWaveOn, &QAction::triggered, this, [this] { LiveWaveOnExecute(); });
    connect(ConfigureSoundCard, &QAction::triggered, this, [this] { ConfigureSoundCardExecute(); });
    connect(SelectInputChannel, &QAction::triggered, this, [this] {
        if (OpenInputDialog) OpenInputDialog();
    });
    connect(WaveFunction, &QAction::triggered, this, [this] {
        if (OpenWaveWindow) OpenWaveWindow();
    });
    connect(VirtualApparatus, &QAction::triggered, this, [this] {
        if (OpenVirtualApparatus) OpenVirtualApparatus();
    });
    connect(ChangeFont, &QAction::triggered, this, [this] { ChangeFontExecute(); });
    connect(ChangePenColor, &QAction::triggered, this, [this] { ChangePenColorExecute(); });
    connect(ChangeLineThickness, &QAction::triggered, this,
            [this] { ChangeLineThicknessExecute(); });
    connect(ManualHelp, &QAction::triggered, this, [this] { ManualHelpExecute(); });
    connect(ConfigureSerial, &QAction::triggered, this, [this] { ConfigureSerialExecute(); });
    connect(CalibrateLatency, &QAction::triggered, this, [this] {
        if (OpenLatencyDialog) OpenLatencyDialog();
    });
    connect(ConfigureRemote, &QAction::triggered, this, [this] {
        if (OpenRemoteDialog) OpenRemoteDialog();
    });
    connect(VersionInfo, &QAction::triggered, this, [this] { VersionInfoExecute(); });
}

void MainWindow::BuildMenuBar() {
    QMenuBar* bar = menuBar();
    QMenu* file = bar->addMenu(QStringLiteral("File"));
    file->addActions({SaveSpectrum, OpenSpectrum});
    file->addSeparator();
    file->addActions({SaveSession, OpenSession, RestoreLastSession});
    file->addSeparator();
    file->addActions({SaveAsImage, PrinterSetup, PrintImage, Exit});
    QMenu* edit = bar->addMenu(QStringLiteral("Edit"));
    edit->addActions({Undo, Redo});
    QMenu* measure = bar->addMenu(QStringLiteral("Measure"));
    measure->addActions({MeasureAction, FastMeasure});
    measure->addSeparator();
    for (QAction* a : FastSpacing) measure->addAction(a);
    measure->addSeparator();
    for (QAction* a : FastLength) measure->addAction(a);
    QMenu* view = bar->addMenu(QStringLiteral("View"));
    view->addActions({ChangeFont, ChangePenColor, ChangeLineThickness});
    view->addSeparator();
    view->addAction(SphereModes);
    QMenu* windows = bar->addMenu(QStringLiteral("Windows"));
    windows->addActions({Fit, WaveFunction, LiveFftOn, LiveWaveOn, VirtualApparatus});
    QMenu* configure = bar->addMenu(QStringLiteral("Configure"));
    configure->addActions(
        {ConfigureSoundCard, SelectInputChannel, ConfigureSerial, CalibrateLatency});
    configure->addSeparator();
    configure->addAction(ConfigureRemote);
    QMenu* help = bar->addMenu(QStringLiteral("Help"));
    help->addActions({ManualHelp, VersionInfo});
    // Menus are windows of their own and do not inherit the window's font.
    bar->setFont(font());
    for (QMenu* m : {file, edit, measure, view, windows, configure, help}) m->setFont(font());
    GiveMnemonics(bar);
}

void MainWindow::BuildProgressCorner() {
    QMenuBar* bar = menuBar();
    SweepNote =
        Named(new QLabel(QStringLiteral("Measuring: press Stop to use the other dialogs "), bar),
              "SweepNote");
    auto* corner = new QWidget(bar);
    auto* row = new QHBoxLayout(corner);
    row->setContentsMargins(0, 0, 0, 0);
    SweepProgress = Named(new QProgressBar(corner), "SweepProgress");
    SweepProgress->setRange(0, 100);
    SweepProgress->setTextVisible(false);
    SweepProgress->setFixedWidth(100);
    ProgressNote = Named(new QLabel(corner), "ProgressNote");
    EndTone = Named(new QToolButton(corner), "EndTone");
    EndTone->setText(QStringLiteral("End Tone"));
    EndTone->setToolTip(QStringLiteral("Ends the tone at once (Esc)"));
    EndTone->setFocusPolicy(Qt::NoFocus);
    connect(EndTone, &QToolButton::clicked, this, [this] { m_engine->EndTone(); });
    SweepNote->setParent(corner);
    for (QWidget* w : {static_cast<QWidget*>(SweepProgress), static_cast<QWidget*>(ProgressNote),
                       static_cast<QWidget*>(EndTone), static_cast<QWidget*>(SweepNote)}) {
        row->addWidget(w);
        w->hide();
    }
    // The label keeps the width of its longest text, so that the menu bar, which sizes its
    // corner only when the corner shows or hides, need not lay it out anew as it counts down.
    ProgressNote->setFixedWidth(ProgressNote->fontMetrics().horizontalAdvance(
        QStringLiteral("Tone 20000.0 Hz: 10 s left ")));
    // Within the menu bar's own height: the window's client area must not move down.
    const int height = bar->sizeHint().height() - 2;
    SweepProgress->setFixedHeight(height - 4);
    EndTone->setFixedHeight(height);
    EndTone->setAutoRaise(true);
    corner->setFixedHeight(height);
    m_corner = corner;
    m_corner->hide();
    bar->setCornerWidget(corner, Qt::TopRightCorner);
    // Escape stops a sweep (as Stop does) and ends a playing tone; otherwise it does nothing.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] {
        if (m_state.Running == Operation::Sweep) {
            OnStopClicked();
        } else {
            m_engine->EndTone();
        }
    });
}

}  // namespace sonarix
