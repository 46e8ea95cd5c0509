// MainWindow, the main window: the sweep controls on the left, the spectrum plot on the right,
// and the menu bar that reaches every other window.
#pragma once

#include <QColor>
#include <QFont>
#include <QMainWindow>
#include <QRect>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "measurement/FastSweep.h"
#include "measurement/SharedState.h"
#include "measurement/Sweep.h"
#include "plot/FontDialog.h"
#include "plot/PictureExport.h"
#include "plot/PlotHandOver.h"
#include "plot/PlotMapping.h"
#include "plot/PlotWindow.h"
#include "session/SessionData.h"
#include "ui/main/PlotDrawing.h"

class QAction;
class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QSlider;
class QTimer;
class QToolButton;

namespace sonarix {

class Canvas;
class PlotOutput;
class SessionKeeper;
class LiveSpectrumWindow;
class LiveWaveformWindow;
class LineThicknessDialog;
class HelpDialog;
class VersionDialog;
class TImage;
class TRadioGroup;

class MainWindow : public QMainWindow, public MeasureWindow, public PlotWindow {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 1007;
    static constexpr int kClientHeight = 670;
    static constexpr int kImageWidth = 3200;
    static constexpr int kImageHeight = 1200;

    explicit MainWindow(SharedState& state, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Controls; each widget's objectName is its original name (CONTRIBUTING.md).
    TRadioGroup* SpectrumSlotGroup = nullptr;  // "Current Spectrum"
    TRadioGroup* DisplayWidthGroup = nullptr;  // "Display"
    QLabel* StartFrequencyLabel = nullptr;
    QLabel* StopFrequencyLabel = nullptr;
    QLabel* StepLabel = nullptr;
    QLabel* TimePerStepLabel = nullptr;
    QLabel* VolumeLabel = nullptr;
    QLabel* FrequencyReadOut = nullptr;  // frequency read-out over the plot
    QLineEdit* StartFrequencyEdit = nullptr;
    QLineEdit* StopFrequencyEdit = nullptr;
    QLineEdit* StepEdit = nullptr;
    QLineEdit* TimePerStepEdit = nullptr;
    QPushButton* StopButton = nullptr;           // "Stop", beneath "Measure"
    QPushButton* MeasureButton = nullptr;        // "Measure"
    QPushButton* ClearSpectrumButton = nullptr;  // "Clear Spectrum"
    QPushButton* FitSpectrumButton = nullptr;    // "Fit Spectrum"
    QPushButton* FastButton = nullptr;           // "Fast Measure", beneath it
    QCheckBox* FftFilterCheck = nullptr;         // "FFT-Filter on"
    QCheckBox* LockInCheck = nullptr;            // "Lock-in", beneath it
    QSlider* VolumeSlider = nullptr;             // "Amplitude Output Signal"
    QLabel* LagIndicator = nullptr;              // lag indicator
    QLabel* RemoteLabel = nullptr;               // "Remote: n script(s) connected", else hidden
    QWidget* LagArea = nullptr;         // behind it, always there: its tooltip tells the latency
    QLabel* SaturationPanel = nullptr;  // "Saturation"
    QScrollArea* PlotScrollBox = nullptr;
    QTimer* LiveSpectrumTimer = nullptr;
    QTimer* LiveWaveformTimer = nullptr;
    // In the menu bar while a sweep runs: why the dialogs are unavailable then.
    QLabel* SweepNote = nullptr;
    // Beside it while a sweep or the tone runs: how far it is, the time left, and for the tone
    // a button that ends it at once (as Escape does).
    QProgressBar* SweepProgress = nullptr;
    QLabel* ProgressNote = nullptr;
    QToolButton* EndTone = nullptr;

    // Actions of the action list, bound to the menu items.
    QAction* SaveSpectrum = nullptr;
    QAction* OpenSpectrum = nullptr;
    QAction* SaveAsImage = nullptr;
    QAction* PrinterSetup = nullptr;
    QAction* PrintImage = nullptr;
    QAction* Exit = nullptr;
    QAction* ChangeFont = nullptr;
    QAction* ChangePenColor = nullptr;
    QAction* ChangeLineThickness = nullptr;
    // View / "Sphere Modes": the modes (l, n) of a sphere of the radius and temperature asked
    // for, marked and labelled on the spectrum; unchecked, the marks go.
    QAction* SphereModes = nullptr;
    // Asks for the sphere (radius in mm, temperature in degrees Celsius); no value: cancelled.
    std::function<std::optional<std::pair<double, double>>(double radiusMm, double celsius)>
        ChooseSphere;
    void SphereModesExecute();
    QAction* Fit = nullptr;
    QAction* WaveFunction = nullptr;
    QAction* VirtualApparatus = nullptr;  // only on the virtual apparatus
    QAction* LiveFftOn = nullptr;
    QAction* LiveWaveOn = nullptr;
    QAction* ConfigureSoundCard = nullptr;
    QAction* SelectInputChannel = nullptr;
    QAction* ConfigureSerial = nullptr;
    QAction* CalibrateLatency = nullptr;
    QAction* ConfigureRemote = nullptr;  // "Remote Control"
    QAction* ManualHelp = nullptr;
    QAction* VersionInfo = nullptr;
    // The session: File / "Save Session", "Open Session", "Restore Last Session", and the Edit
    // menu's "Undo" and "Redo".
    QAction* SaveSession = nullptr;
    QAction* OpenSession = nullptr;
    QAction* RestoreLastSession = nullptr;
    QAction* Undo = nullptr;
    QAction* Redo = nullptr;
    // The Measure menu: "Measure", "Fast Measure", and the fast measurement's spacing and
    // length (FastSpacing[i] for kFastSpacings[i], FastLength[i] for kFastLengthFactors[i]).
    QAction* MeasureAction = nullptr;
    QAction* FastMeasure = nullptr;
    std::array<QAction*, 5> FastSpacing{};
    std::array<QAction*, 4> FastLength{};

    // The windows this one opens, created after it (not owned). The serial dialog belongs to
    // the configuration windows and is only shown from here.
    LineThicknessDialog* ThicknessDialog = nullptr;
    QDialog* SerialDialog = nullptr;
    HelpDialog* HelpWindow = nullptr;
    VersionDialog* VersionWindow = nullptr;

    // The font dialog (font and text colour) and the colour dialog; tests put their own
    // answers here. No value means the dialog was cancelled.
    std::function<std::optional<FontChoice>(const FontChoice& current)> ChooseFont;
    std::function<std::optional<QColor>(const QColor& current)> ChooseColor;

    // The file dialogs of "Save Spectrum " and "Open Spectrum": the chosen name, or no value
    // when cancelled. Tests put their own answers here.
    std::function<std::optional<std::string>()> ChooseSaveFile;
    std::function<std::optional<std::string>()> ChooseOpenFile;
    // The same for the session files.
    std::function<std::optional<std::string>()> ChooseSessionSaveFile;
    std::function<std::optional<std::string>()> ChooseSessionOpenFile;

    // The session's keeper (undo, session files, journal), wired by the program; without one
    // the window works as before and the session's menu items stay disabled.
    void UseSession(SessionKeeper* keeper);
    SessionKeeper* Session() const { return m_session; }
    // The fields and plot settings a session keeps, and setting them from one.
    WindowSettings SessionSettings() const;
    void ApplySessionSettings(const WindowSettings& w);
    void SaveSessionExecute();
    void OpenSessionExecute();
    void RestoreLastSessionExecute();
    void UndoExecute();
    void RedoExecute();
    // The Edit menu's items say what they would undo and redo.
    void RefreshUndo();

    // The plot's canvas: font, pen width and colour live there.
    // "Save as Image", "Printer Setup", "Print" of the visible plot; the dialogs are in there.
    int RedrawCount() const { return m_redraws; }

    // Clears the plot image: white pen and brush over the whole 3200 x 1200 image.
    void ClearImage();
    // The complete redraw of the plot from the spectrum store.
    void RedrawSpectra();

    // "Stop", "Measure", "Clear Spectrum" and a click on the plot (the tone).
    // The remote note: how many scripts are connected (0 hides it).
    void ShowRemote(int connections);
    void OnStopClicked();
    void OnMeasureClicked();
    void OnClearSpectrumClicked();
    // "Fast Measure" with the Measure menu's spacing and length.
    void FastMeasureClick();
    FastSettings FastChoice() const;
    void SetFastChoice(const FastSettings& settings);
    void SetFreq(int x);
    // The tone of a click on the plot, at `frequency` Hz; false when it was ignored.
    bool PlayToneAt(double frequency);
    SweepEngine& Engine() { return *m_engine; }
    // Ends a running sweep at once, without the step in progress, or a tone (the program is
    // closing).
    void EndSweepNow();

    // "Fit Spectrum" and "Fit": the selected slot and the view handed to the fit window.
    void FitExecute();
    std::function<void(const FitHandOver&)> OpenFitWindow;  // wired by the program
    // The live views, refreshed by their timers while shown (created by the program).
    LiveSpectrumWindow* LiveSpectrumView = nullptr;
    LiveWaveformWindow* LiveWaveformView = nullptr;
    void RefreshLiveSpectrum();
    void RefreshLiveWaveform();
    void LiveFftOnExecute();
    void LiveWaveOnExecute();
    // "Mono / Stereo": recording stopped, the dialog (stereo, left) shown, recording restarted;
    // and "Input Channel / Volume". Both dialogs belong to the configuration and are wired in.
    void ConfigureSoundCardExecute();
    std::function<std::pair<bool, bool>()> ChooseSoundCard;
    std::function<void()> OpenInputDialog;

    // "Calibrate Latency" (its dialog belongs to the configuration), and the tooltip of the lag
    // indicator area from the state's calibration.
    std::function<void()> OpenLatencyDialog;
    void ShowLatency();
    // "Remote Control": the dialog that switches the SCPI server, wired by the program.
    std::function<void()> OpenRemoteDialog;

    // "Measure Wave Function" and "Virtual Apparatus", wired by the program.
    std::function<void()> OpenWaveWindow;
    std::function<void()> OpenVirtualApparatus;

    // Exit and the close box: with a sweep running or measurements not saved in a file since
    // they were made (by "Save Spectrum" of their slot or "Save Session"), asks first and says
    // where they are kept; false when the user stays. OnExitUnsaved runs when they leave
    // anyway (the program notes it for the next start).
    bool ConfirmExit();
    std::function<void()> OnExitUnsaved;

    void SaveSpectrumExecute();
    void OpenSpectrumExecute();

    void ChangeVolume();
    void ApplyDisplayWidth();
    void FitPlotToWindow();
    void ShowFrequencyAt(int x, int y);
    void OnPlotEntered();
    void OnPlotLeft();
    void ChangeFontExecute();
    void ChangePenColorExecute();
    void ChangeLineThicknessExecute();
    void ExitExecute();
    void ManualHelpExecute();
    void ConfigureSerialExecute();
    void VersionInfoExecute();

    // What a plotting window opened from here is handed.
    PlotHandOver HandOver() const;
    // "Save as Image" as SVG or PDF and "Print": the plot drawn once more as vectors, and
    // the printed page's title (the slots shown in their colours, the frequency range).
    VectorDrawing PlotVectors() override;
    PrintTitle PlotTitle() const override;

    // The plot's data area and mapping as the last redraw left them.
    PlotGeometry Geometry() const;

    // The Display width of item 0 ... 3 of "Display".
    int DisplayWidth(int item) const;

    // What the sweep and the tone read and drive.
    SweepFields Fields() const override;
    int SelectedSlot() const override;
    bool FftFilterOn() const override;
    bool LockInOn() const override;
    int VolumePosition() const override;
    void Redraw() override;
    void ShowLag(bool shown) override;
    void ShowSaturation(bool shown) override;
    void ShowMeasure(bool shown) override;
    void EnableMeasure(bool enabled) override;
    void ShowProgress(const Progress& progress) override;
    void Report(const Notice& notice) override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    // Closing the main window ends the program, whatever other windows are open.
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls(QWidget* client);
    void BuildPlotControls(QWidget* client);
    void BuildTimers();
    void BuildMenus();
    void CreateActions();
    void ConnectActions();
    void BuildMenuBar();
    void BuildProgressCorner();
    void LayoutScrollBox();

    void SetPanelWidth(int width);
    // An action on a slot, as an undo step when the session is wired.
    void ChangeSlot(int slot, const char* name, const std::function<void()>& action);
    // While a sweep runs, everything that would open a modal window (and so hold the sweep in
    // its event loop until the chirp has run out) or restart the recording is unavailable.
    void EnableBetweenSweeps(bool idle);
    // Shows the menu bar's corner at the size of what it holds, or hides it when empty.
    void RefreshCorner();
    // Where the frequency axis ends while the output plays: the running sweep's stop
    // frequency, or during a tone the "Stop Frequency" field (an unreadable text is said once).
    std::optional<double> AxisEnd();

    SharedState& m_state;
    QWidget* m_client = nullptr;
    std::unique_ptr<SpectrumPlot> m_plot;
    double m_sphereRadiusMm = 50.0, m_sphereCelsius = 20.0;
    std::unique_ptr<SweepEngine> m_engine;
    SessionKeeper* m_session = nullptr;
    bool m_idle = true;                    // no sweep runs
    bool m_toneFree = true;                // no tone plays ("Measure" enabled)
    std::array<bool, kSlots> m_unsaved{};  // measured into since the slot was last saved
    // "Fast Measure" (button and menu item): available while idle and no tone plays.
    void RefreshFastMeasure();
    // A sweep or fast measurement has started: its slot is unsaved, its pieces run from the
    // event loop.
    void MeasurementBegins();
    int m_redraws = 0;
    std::string m_unreadableStop;                 // the unreadable stop field text already reported
    std::pair<int, int> m_progressShown{-1, -1};  // percent and seconds left on show
    QWidget* m_corner = nullptr;                  // the menu bar's corner: the widgets above
    QTimer* m_showTimer = nullptr;                // shows the steps' changes on the screen
    QTimer* m_sweepTimer = nullptr;               // runs the sweep's next piece
    void ContinueSweep();
    QRect m_unshown;  // changed by steps, not yet shown
};

}  // namespace sonarix
