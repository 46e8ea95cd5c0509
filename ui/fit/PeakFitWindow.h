// PeakFitWindow, "Fit Window": the measured curve and the fit curve of one spectrum, up to eight
// peaks placed by hand (click, wheel, track bar), the fit run, and the fit result files. It
// gets what it needs from the main window by value (FitHandOver) and knows no other window.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fitting/FitRun.h"
#include "plot/FontDialog.h"
#include "plot/PictureExport.h"
#include "plot/PlotHandOver.h"
#include "plot/PlotMapping.h"
#include "plot/PlotWindow.h"
#include "session/SessionData.h"
#include "session/UndoHistory.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QTimer;
class QScrollArea;
class QSlider;

namespace sonarix {

class Canvas;
class PlotOutput;
class TImage;
class TRadioGroup;

class PeakFitWindow : public QDialog, public FitWindow, public PlotWindow {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 1007;
    static constexpr int kClientHeight = 670;
    static constexpr uint32_t kFitBlue = 0x00FF0000;  // RGB 0, 0, 255

    explicit PeakFitWindow(QWidget* parent = nullptr);
    ~PeakFitWindow() override;

    TRadioGroup* PeakNumberGroup = nullptr;  // "Peak Number"
    QLabel* PeakParameterTitle = nullptr;    // "Peak Parameter"
    QLabel* FrequencyCaption = nullptr;      // "Frequency [Hz]:"
    QLabel* FrequencyValue = nullptr;
    QLabel* AmplitudeCaption = nullptr;  // "Amplitude [a.u.]:"
    QLabel* AmplitudeValue = nullptr;
    QLabel* WidthCaption = nullptr;  // "Width [Hz]:"
    QLabel* WidthValue = nullptr;
    QLabel* PhaseCaption = nullptr;  // "Phase [degrees]:"
    QLabel* PhaseValue = nullptr;
    QLabel* PhaseMinusLabel = nullptr;      // "-180°"
    QLabel* PhaseLabel = nullptr;           // "Phase"
    QLabel* PhasePlusLabel = nullptr;       // "180°"
    QLabel* FitRangeTitle = nullptr;        // "Fit Range"
    QLabel* FromLabel = nullptr;            // "from"
    QLabel* ToLabel = nullptr;              // "to"
    QLabel* FrequencyReadOut = nullptr;     // frequency read-out over the plot
    QLabel* StandardErrorsTitle = nullptr;  // "Standard Errors"
    QLabel* StandardErrorsText = nullptr;   // the selected peak's errors and Q
    QWidget* StandardErrorsPanel = nullptr;
    QCheckBox* FitPhasesCheck = nullptr;  // "Fit phases too": for a slot measured with its phases
    QWidget* PeakParameterPanel = nullptr;
    QWidget* FitRangePanel = nullptr;
    QSlider* PhaseSlider = nullptr;
    QLineEdit* RangeFromEdit = nullptr;
    QLineEdit* RangeToEdit = nullptr;
    QPushButton* StopButton = nullptr;      // "Stop", beneath "Start Fit"
    QPushButton* StartFitButton = nullptr;  // "Start Fit"
    // "Fit All Modes": the whole-spectrum fit of every mode of the range with a background and
    // (with phases) a delay; also in the Peaks menu.
    QPushButton* FitAllButton = nullptr;
    QAction* FitAllModesAction = nullptr;
    QProgressBar* FitProgress = nullptr;
    QScrollArea* PlotScrollBox = nullptr;
    QMenuBar* MenuBar = nullptr;

    QAction* SaveFitData = nullptr;
    QAction* SaveFitParameter = nullptr;
    QAction* SaveFitReport = nullptr;
    QAction* FindPeaksAction = nullptr;  // "Find Peaks"
    QAction* RemovePeak = nullptr;       // "Remove Peak": the selected peak inactive
    QAction* RemoveAll = nullptr;        // "Remove All"
    // "Speed of Sound": the active peaks assigned to the modes (l, n) of a sphere of the
    // radius asked for, and the speed of sound (and temperature) they give, with errors.
    QAction* SpeedOfSoundAction = nullptr;
    QAction* SaveAsImage = nullptr;
    QAction* PrinterSetup = nullptr;
    QAction* Print = nullptr;
    QAction* ExitFit = nullptr;
    QAction* ChangeFont = nullptr;
    QAction* ChangeColorData = nullptr;
    QAction* ChangeColorFit = nullptr;
    QAction* ChangeLineThickness = nullptr;
    QAction* ManualAndHelp = nullptr;
    QAction* PhasePlot = nullptr;  // "Phase Plot": the phases of data and fit instead
    // Edit / "Undo", "Redo" (Ctrl+Z, Ctrl+Shift+Z): the peak edits and fit runs since the
    // window was opened on its data. A history of its own, not the session's: the window is
    // modal and fits a copy of one slot handed over by value, so the session's steps (a
    // measurement, a cleared slot, an opened session) would change data it does not show, and
    // its own steps mean nothing once it is opened on other data. Its peaks and range go to
    // the session's journal as they change, and into the session file.
    QAction* Undo = nullptr;
    QAction* Redo = nullptr;
    UndoHistory& History() { return m_history; }
    void UndoExecute();
    void RedoExecute();

    // The peaks and the range a session keeps; a restored session's are taken at the next
    // opening in place of the empty table.
    FitSession SessionPart() const;
    void RestoreSessionPart(const FitSession& fit);
    // Called when the window closes (the session notes its peaks).
    std::function<void()> OnClosed;
    // Called after every change of the peak table (placing, the wheel, the phase bar, Find
    // Peaks, a run, Remove, undo and redo) and of the range: the session notes it at once, so
    // that the journal keeps it should the program be killed.
    std::function<void()> OnPeaksChanged;

    // Dialogs; tests put their own answers here. No value means cancelled.
    std::function<std::optional<FontChoice>(const FontChoice& current)> ChooseFont;
    std::function<std::optional<QColor>(const QColor& current)> ChooseColor;
    std::function<std::optional<std::string>()> ChooseFitDataFile;
    // The sphere's radius in mm for "Speed of Sound"; no value means cancelled.
    std::function<std::optional<double>(double current)> ChooseRadius;
    std::function<std::optional<std::string>()> ChooseParameterFile;
    // The line-thickness dialog of the main window: the chosen pen width 1 ... 4.
    std::function<int()> ChooseLineThickness;
    QDialog* HelpWindow = nullptr;  // "Manual and Help", not owned

    // The hand-over, then the window shown modally (unless show is false, for tests).
    void FitExecute(const FitHandOver& handOver, bool show = true);

    void DrawFitPlot();  // complete, also sharp on a high-resolution screen
    void ShowPeakParameters();
    void ChangePeakNumber();
    void SetPeakAmp(int x, int y, Qt::MouseButton button);
    void SetPeakWidth(int wheelDelta);
    void SetPeakPhase();
    void ShowFrequencyAt(int x, int y);
    void OnPlotEntered();
    void OnPlotLeft();
    void FitPlotToWindow();
    void ChangeFontExecute();
    void ChangeColorDataExecute();
    void ChangeColorFitExecute();
    void ChangeLineThicknessExecute();
    void ExitFitExecute();
    void ManualAndHelpExecute();
    void OnStopClicked();
    void OnStartFitClicked();
    void FitAllModesClick();
    void SaveFitDataExecute();
    void SaveFitParameterExecute();
    // "Save Fit Report": the errors and Q factors of the last run, as a spreadsheet file.
    void SaveFitReportExecute();
    std::function<std::optional<std::string>()> ChooseReportFile;
    // "Find Peaks": the table from the most prominent maxima in the fit range, refined against
    // the residual of their fit.
    void FindPeaksExecute();
    void SpeedOfSoundExecute();
    // "Remove Peak" and "Remove All": amplitude 0, so the peak leaves the model and the fit.
    void RemovePeakExecute();
    void RemoveAllExecute();
    // The last run's errors, while the peaks are still its result (a click, the wheel, Find
    // Peaks or new data end that; the phase bar's whole degrees do not).
    bool ReportShown() const { return m_reportShown; }
    bool FitRunning() const { return m_running; }

    FitState& Fit() { return *m_fit; }
    FitRunner& Runner() { return *m_runner; }
    // "Save as Image", "Printer Setup", "Print" of the visible plot; the dialogs are in there.
    // The plot once more as vectors (SVG, PDF, the printer) and the printed page's title (the
    // peaks' frequencies and widths).
    VectorDrawing PlotVectors() override;
    PrintTitle PlotTitle() const override;
    PlotGeometry Geometry() const;  // as the last redraw left it
    int FitDisplayWidth = 0;
    int RedrawCount() const { return m_redraws; }

    // FitWindow: what the fit run drives.
    void ShowStartFit(bool shown) override;
    void FitRange(double& from, double& to) override;
    void ShowProgress(bool shown) override;
    void StepProgress() override;
    void RefreshPeakLabels() override;
    void RedrawFit() override;
    bool FitPhases() const override;
    void Report(const Notice& notice) override;

    // Closing (by "Exit Fit", Escape or the close box) waits for a fit run to end.
    void done(int result) override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    // The wheel over any control of the window sets the width, as over the window itself.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void DrawFitPicture();
    void BuildControls(QWidget* client);
    void BuildMenus();
    void LayoutScrollBox();
    int SelectedPeak() const;  // 1 ... 8
    bool ShowsPhases() const;  // the phase plot is chosen and the data have phases
    // The phases of the data and of the fit, drawn against the axes of -180 ... 180 degrees.
    void DrawPhases(Canvas& c, const PlotGeometry& g);

    // Runs an edit of the peak table as one undo step (steps with the same merge key in a row
    // become one); an edit inside another belongs to the outer one.
    void ChangePeaks(const char* name, const std::string& merge,
                     const std::function<void()>& action);
    // What an undo step restores: the table and the whole-spectrum fit it came from.
    struct PeakState {
        PeakTable peaks;
        std::optional<AllModesFit> whole;
    };
    PeakState CurrentPeaks() const;
    // The undo step of a change made since the table was `before`.
    void RecordChange(const char* name, const std::string& merge, const PeakState& before);
    void SetPeaks(const PeakState& state);
    // Starts a run of the runner's (Start or StartWhole) from the event loop.
    void BeginRun(FitSteps (FitRunner::*start)(FitWindow&));
    void RefreshUndo();
    // The run's next solver step (m_fitTimer); at its end the run's undo step, its notes and a
    // pending close.
    void ContinueFit();
    std::unique_ptr<FitSteps> m_steps;  // the run in progress
    PeakState m_runBefore;
    // The data of the last hand-over: a new one of the same data keeps the peaks and range.
    bool m_handedOver = false;
    QTimer* m_fitTimer = nullptr;
    int m_closeResult = 0;
    UndoHistory m_history;
    int m_changing = 0;
    std::optional<FitSession> m_restored;
    std::unique_ptr<FitState> m_fit;
    double m_radiusMm = 50.0;  // the last radius given to "Speed of Sound"
    std::unique_ptr<FitRunner> m_runner;
    std::vector<int> m_x, m_y;
    QWidget* m_client = nullptr;
    QColor m_lastColor = Qt::black;
    int32_t m_marginLeft = 10, m_marginBottom = 10, m_marginRight = 20, m_marginTop = 10;
    double m_ampMax = 1e-10, m_freqMin = 100000.0, m_freqMax = 0.0;
    bool m_running = false;
    bool m_reportShown = false;
    bool m_closeAfterRun = false;
    int m_redraws = 0;
};

}  // namespace sonarix
