// The fit window's controls and menus: where each control stands and what each action does.
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QTimer>

#include "plot/Canvas.h"
#include "plot/Controls.h"
#include "ui/fit/PeakFitWindow.h"

namespace sonarix {

void PeakFitWindow::BuildControls(QWidget* c) {
    PeakNumberGroup = Named(new TRadioGroup(QStringLiteral("Peak Number"),
                                            {QStringLiteral("1. Peak"), QStringLiteral("2. Peak"),
                                             QStringLiteral("3. Peak"), QStringLiteral("4. Peak"),
                                             QStringLiteral("5. Peak"), QStringLiteral("6. Peak"),
                                             QStringLiteral("7. Peak"), QStringLiteral("8. Peak")},
                                            c),
                            "RadioGroup1");
    PeakNumberGroup->setGeometry(8, 8, 185, 105);
    PeakNumberGroup->SetColumns(2);
    PeakNumberGroup->SetItemIndex(0);
    connect(PeakNumberGroup, &TRadioGroup::Clicked, this, [this] { ChangePeakNumber(); });

    PeakParameterPanel = Named(new QWidget(c), "Panel2");
    PeakParameterPanel->setGeometry(8, 120, 185, 108);
    PeakParameterTitle = AddLabel(PeakParameterPanel, "Label1", "Peak Parameter", 6, 4, true);
    struct Row {
        QLabel*& caption;
        QLabel*& value;
        const char* captionName;
        const char* valueName;
        const char* text;
        const char* initial;
    };
    const Row rows[] = {
        {FrequencyCaption, FrequencyValue, "Label2", "Label3", "Frequency [Hz]:", "0.000"},
        {AmplitudeCaption, AmplitudeValue, "Label4", "Label5", "Amplitude [a.u.]:", "0.000"},
        {WidthCaption, WidthValue, "Label6", "Label7", "Width [Hz]:", "20.000"},
        {PhaseCaption, PhaseValue, "Label8", "Label9", "Phase [degrees]:", "0.000"}};
    int top = 26;
    for (const Row& r : rows) {
        r.caption = AddLabel(PeakParameterPanel, r.captionName, r.text, 6, top);
        r.value = AddLabel(PeakParameterPanel, r.valueName, r.initial, 100, top);
        r.value->setMinimumWidth(80);
        top += 20;
    }

    PhaseMinusLabel = AddLabel(c, "Label10", "-180", 10, 236);
    PhaseLabel = AddLabel(c, "Label11", "Phase", 86, 236);
    PhasePlusLabel = AddLabel(c, "Label12", "180", 166, 236);
    PhaseMinusLabel->setText(QStringLiteral("-180°"));
    PhasePlusLabel->setText(QStringLiteral("180°"));
    PhaseMinusLabel->adjustSize();
    PhasePlusLabel->adjustSize();
    PhaseSlider = Named(new QSlider(Qt::Horizontal, c), "TrackBar1");
    PhaseSlider->setGeometry(8, 252, 185, 40);
    PhaseSlider->setRange(-180, 180);
    PhaseSlider->setTickInterval(30);
    PhaseSlider->setTickPosition(QSlider::TicksBelow);
    PhaseSlider->setValue(0);
    connect(PhaseSlider, &QSlider::valueChanged, this, [this] { SetPeakPhase(); });

    FitRangePanel = Named(new QWidget(c), "Panel3");
    FitRangePanel->setGeometry(8, 300, 185, 80);
    FitRangeTitle = AddLabel(FitRangePanel, "Label13", "Fit Range", 6, 4, true);
    FromLabel = AddLabel(FitRangePanel, "Label14", "from", 6, 28);
    RangeFromEdit = Named(new QLineEdit(QStringLiteral("1000"), FitRangePanel), "Edit1");
    RangeFromEdit->setGeometry(44, 24, 121, 21);
    ToLabel = AddLabel(FitRangePanel, "Label15", "to", 6, 54);
    RangeToEdit = Named(new QLineEdit(QStringLiteral("10000"), FitRangePanel), "Edit2");
    RangeToEdit->setGeometry(44, 50, 121, 21);
    for (QLineEdit* range : {RangeFromEdit, RangeToEdit}) {
        connect(range, &QLineEdit::editingFinished, this, [this] {
            if (OnPeaksChanged) OnPeaksChanged();
        });
    }

    StandardErrorsPanel = Named(new QWidget(c), "Panel4");
    StandardErrorsPanel->setGeometry(8, 482, 185, 120);
    StandardErrorsTitle = AddLabel(StandardErrorsPanel, "Label17", "Standard Errors", 6, 4, true);
    StandardErrorsText = AddLabel(StandardErrorsPanel, "Label18", "", 6, 24);
    StandardErrorsText->setGeometry(6, 24, 175, 92);
    StandardErrorsText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    FitPhasesCheck = Named(new QCheckBox(QStringLiteral("Fit phases too"), c), "CheckBox1");
    FitPhasesCheck->setGeometry(14, 608, 179, 20);
    FitPhasesCheck->setToolTip(
        QStringLiteral("The spectrum was measured with its phases (Lock-in with a calibrated "
                       "latency): fit amplitude and phase, which also determines the "
                       "amplitudes and phases of overlapping peaks"));
    FitPhasesCheck->setEnabled(false);

    StopButton = AddButton(c, "Button1", "Stop", 46, 396, 109, 25);
    StartFitButton = AddButton(c, "Button2", "Start Fit", 46, 396, 109, 25);
    StartFitButton->raise();  // "Start Fit" lies over "Stop"
    IgnoreSecondClickOfDoubleClick(StopButton);
    connect(StopButton, &QPushButton::clicked, this, [this] { OnStopClicked(); });
    connect(StartFitButton, &QPushButton::clicked, this, [this] { OnStartFitClicked(); });
    FitAllButton = AddButton(c, "FitAllButton", "Fit All Modes", 46, 428, 109, 25);
    FitAllButton->setToolTip(
        QStringLiteral("Every mode of the fit range at once, with a background (and with the "
                       "phases a delay): the modes are found from the table's peaks, the "
                       "spectrum's maxima and what the fit leaves over"));
    connect(FitAllButton, &QPushButton::clicked, this, [this] { FitAllModesClick(); });
    FitProgress = Named(new QProgressBar(c), "ProgressBar1");
    FitProgress->setGeometry(8, 460, 185, 17);
    FitProgress->setRange(0, 50);
    FitProgress->setTextVisible(false);
    FitProgress->hide();

    const PlotArea area = AddPlotArea(c, 3200, 1200, "Label16");
    PlotScrollBox = area.box;
    PlotPanel = area.panel;
    PlotImage = area.image;
    FrequencyReadOut = area.readOut;
    connect(PlotImage, &TImage::MouseDown, this,
            [this](int x, int y, Qt::MouseButton b) { SetPeakAmp(x, y, b); });
    connect(PlotImage, &TImage::MouseMove, this, [this](int x, int y) { ShowFrequencyAt(x, y); });
    connect(PlotImage, &TImage::MouseEnter, this, [this] { OnPlotEntered(); });
    connect(PlotImage, &TImage::MouseLeave, this, [this] { OnPlotLeft(); });
}

void PeakFitWindow::BuildMenus() {
    auto action = [this](QAction*& a, const char* name, const char* caption, bool enabled,
                         void (PeakFitWindow::*handler)()) {
        a = new QAction(QString::fromUtf8(caption), this);
        a->setObjectName(QString::fromLatin1(name));
        a->setEnabled(enabled);
        if (handler != nullptr)
            connect(a, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
    };
    action(SaveFitData, "SaveFitData", "Save Fit Function", true,
           &PeakFitWindow::SaveFitDataExecute);
    action(SaveFitParameter, "SaveFitParameter", "Save Fit Parameter", true,
           &PeakFitWindow::SaveFitParameterExecute);
    action(SaveFitReport, "SaveFitReport", "Save Fit Report", true,
           &PeakFitWindow::SaveFitReportExecute);
    action(FindPeaksAction, "FindPeaks", "Find Peaks", true, &PeakFitWindow::FindPeaksExecute);
    action(FitAllModesAction, "FitAllModes", "Fit All Modes", true,
           &PeakFitWindow::FitAllModesClick);
    action(RemovePeak, "RemovePeak", "Remove Peak", true, &PeakFitWindow::RemovePeakExecute);
    action(RemoveAll, "RemoveAll", "Remove All", true, &PeakFitWindow::RemoveAllExecute);
    action(SpeedOfSoundAction, "SpeedOfSound", "Speed of Sound", true,
           &PeakFitWindow::SpeedOfSoundExecute);
    // The plot base's handlers through lambdas: a member pointer into a second base class is
    // a call the undefined-behaviour sanitizer cannot follow.
    action(SaveAsImage, "SaveAsImage", "Save as Image", true, nullptr);
    action(PrinterSetup, "PrinterSetup", "Printer Setup", true, nullptr);
    action(Print, "Print", "Print", true, nullptr);
    connect(SaveAsImage, &QAction::triggered, this, [this] { SaveAsImageExecute(); });
    connect(PrinterSetup, &QAction::triggered, this, [this] { PrinterSetupExecute(); });
    connect(Print, &QAction::triggered, this, [this] { PrintExecute(); });
    action(ExitFit, "ExitFit", "Exit Fit", true, &PeakFitWindow::ExitFitExecute);
    action(ChangeFont, "ChangeFont", "Change Font", true, &PeakFitWindow::ChangeFontExecute);
    action(ChangeColorData, "ChangeColorData", "Change Color Data", true,
           &PeakFitWindow::ChangeColorDataExecute);
    action(ChangeColorFit, "ChangeColorFit", "Change Color Fit", true,
           &PeakFitWindow::ChangeColorFitExecute);
    action(ChangeLineThickness, "ChangeLineThickness", "Change Line Thickness", true,
           &PeakFitWindow::ChangeLineThicknessExecute);
    action(ManualAndHelp, "ManualandHelp", "Manual and Help", true,
           &PeakFitWindow::ManualAndHelpExecute);
    action(PhasePlot, "PhasePlot", "Phase Plot", false, &PeakFitWindow::DrawFitPlot);
    PhasePlot->setCheckable(true);
    QMenu* file = MenuBar->addMenu(QStringLiteral("File"));
    file->addActions(
        {SaveFitData, SaveFitParameter, SaveFitReport, SaveAsImage, PrinterSetup, Print, ExitFit});
    QMenu* view = MenuBar->addMenu(QStringLiteral("View"));
    view->addActions({ChangeFont, ChangeColorData, ChangeColorFit, ChangeLineThickness, PhasePlot});
    QMenu* peaks = MenuBar->addMenu(QStringLiteral("Peaks"));
    peaks->addActions({FindPeaksAction, FitAllModesAction, RemovePeak, RemoveAll});
    peaks->addSeparator();
    peaks->addAction(SpeedOfSoundAction);
    action(Undo, "Undo", "Undo", false, &PeakFitWindow::UndoExecute);
    action(Redo, "Redo", "Redo", false, &PeakFitWindow::RedoExecute);
    Undo->setShortcut(QKeySequence::Undo);
    Redo->setShortcuts(RedoKeys());
    m_history.OnChange = [this] { RefreshUndo(); };
    QMenu* edit = MenuBar->addMenu(QStringLiteral("Edit"));
    edit->addActions({Undo, Redo});
    QMenu* help = MenuBar->addMenu(QStringLiteral("Help"));
    help->addAction(ManualAndHelp);
    MenuBar->setFont(font());
    for (QMenu* m : {file, edit, view, peaks, help}) m->setFont(font());
    GiveMnemonics(MenuBar);
}

}  // namespace sonarix
