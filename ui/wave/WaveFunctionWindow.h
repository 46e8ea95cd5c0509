// WaveFunctionWindow, "Amplitude as function of angle": the 19 values of one resonance against the
// hemisphere angle, measured a press at a time, drawn as a polar figure, saved and reopened.
#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "plot/PictureExport.h"
#include "plot/PlotWindow.h"
#include "wavefunction/WaveFunction.h"

class QAction;
class QCheckBox;
class QSpinBox;
class QTimer;
class QLabel;
class QLineEdit;
class QMenuBar;
class QProgressBar;
class QPushButton;

namespace sonarix {

class Canvas;
class PlotOutput;
class SessionKeeper;
class TImage;
class TRadioGroup;

class WaveFunctionWindow : public QDialog, public AngleWindow, public PlotWindow {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 753;
    static constexpr int kClientHeight = 518;

    WaveFunctionWindow(SharedState& state, AngleData& angles, QWidget* parent = nullptr);
    ~WaveFunctionWindow() override;

    TRadioGroup* AngleGroup = nullptr;             // "Angle between hemispheres"
    QPushButton* MeasureValueButton = nullptr;     // "Measure value"
    QLabel* SaturationPanel = nullptr;             // "Saturation"
    QPushButton* ClearButton = nullptr;            // "Clear"
    QCheckBox* LiftedDegeneracyCheck = nullptr;    // "Lifted degeneracy"
    QCheckBox* CompleteBySymmetryCheck = nullptr;  // "Complete by Symmetry"
    QCheckBox* PolarGridCheck = nullptr;           // "Show polar grid"
    QCheckBox* TheoryCheck = nullptr;              // "Theory": the outline of |P_l| over the figure
    QSpinBox* TheoryOrderSpin = nullptr;           // its order l = 0 ... 4
    QLabel* BestOrderLabel = nullptr;              // the l that fits the values best
    QLabel* MeasuredFrequencyLabel = nullptr;      // the frequency the values are measured at
    static constexpr uint32_t kTheoryColor = 0x000080FF;  // orange (0x00BBGGRR)
    QMenuBar* MenuBar = nullptr;
    QAction* SaveData = nullptr;
    QAction* OpenData = nullptr;
    QAction* SaveAsImage = nullptr;
    QAction* PrinterSetup = nullptr;
    QAction* Print = nullptr;
    QAction* Close = nullptr;
    QAction* Undo = nullptr;  // Edit / "Undo", "Redo": the session's history
    QAction* Redo = nullptr;
    // Measure / "Whole spectrum per angle": each "Measure value" a fast measurement. The
    // window grows by the series panel on its right: the frequency field, the progress, and
    // the 19 spectra small; a click on one (or Return in the field) chooses the frequency
    // whose amplitudes are the values.
    QAction* WholeSpectrum = nullptr;
    // Measure / "Fit split peaks": the chosen frequency's values are the fitted amplitudes of
    // the peak nearest it, all peaks around it fitted together at every angle (the members
    // of a mode split by a spacer ring); the peak's frequency and width in PeakLabel.
    QAction* FitPeaks = nullptr;
    QLabel* PeakLabel = nullptr;
    static constexpr int kSeriesWidth = 264;
    QWidget* SeriesPanel = nullptr;
    QLineEdit* FrequencyEdit = nullptr;  // "Frequency [Hz]"
    QProgressBar* FastProgress = nullptr;
    QWidget* Thumbnails = nullptr;

    // From the main window and the program: its "FFT-Filter on" and volume slider, and what
    // to do before each measurement (the virtual apparatus turns its hemisphere).
    std::function<bool()> MainFftFilterOn;
    std::function<bool()> MainLockInOn;
    std::function<int()> MainVolume;
    std::function<void(double alphaDegrees)> OnMeasureAngle;
    // Plans a fast measurement from the main window's range and Measure menu; false (its
    // message shown) when refused.
    std::function<bool(FastPlan&)> PlanFast;
    // The file dialogs; tests put their own answers here. No value means cancelled.
    std::function<std::optional<std::string>()> ChooseSaveFile;
    std::function<std::optional<std::string>()> ChooseOpenFile;

    // The program's angle data, which the window shows and measures into.
    WaveValues& WaveAmplitude;
    WaveSeries& Series;
    // The session's keeper, wired by the program: "Measure value", "Clear" and "Open Data"
    // become undo steps. Without one the window works as before.
    void UseSession(SessionKeeper* keeper) { m_session = keeper; }
    void RefreshUndo();

    // The main window's "Measure Wave Function": Clear (unless the values are of the frequency
    // the window was closed at), then the window modally.
    void Open(bool show = true);
    // Values put in while the window is not shown (by a script) stay when it is opened at this
    // frequency, as those of the frequency it was closed at do.
    void KeepValuesForOpening();
    void OnMeasureValueClicked();
    // The angle measurement's next piece (m_measureTimer); at its end the value is stored as
    // one undo step, "Saturation" shown for 500 ms, and a pending close done.
    void ContinueMeasurement();
    bool Measuring() const { return m_run->Running(); }
    void OnClearClicked();
    void OnCompleteBySymmetryClicked();
    void OnPolarGridClicked();
    void OnLiftedDegeneracyClicked();
    void FitPlotToWindow();
    void CloseExecute();
    void SaveDataExecute();
    void OpenDataExecute();
    // The polar plot, complete (also sharp on a high-resolution screen).
    void DrawPolarPlot();
    void WholeSpectrumClick();
    // The frequency whose amplitudes fill the values (one undo step); it becomes the frequency
    // the values are measured at.
    void ChooseFrequency(double f);
    double ChosenFrequency() const { return m_state.CurrentFreq; }
    bool HasSeries() const;
    // The frequency a click at (x, y) of the thumbnails chooses: under it, moved to the
    // highest point of the summed spectra within 3 pixels; nothing outside the spectra.
    std::optional<double> FrequencyAt(int x, int y) const;
    // The range of frequencies the thumbnails show (empty when no spectrum is kept).
    std::pair<double, double> SeriesRange() const;
    // "Save as Image", "Printer Setup", "Print" of the visible plot; the dialogs are in there.
    // The polar plot once more as vectors (SVG, PDF, the printer).
    VectorDrawing PlotVectors() override;
    PrintTitle PlotTitle() const override;

    // AngleWindow.
    int SelectedAngle() const override;
    void SelectAngle(int index) override;
    bool FftFilterOn() const override;
    bool LockInOn() const override;
    int VolumePosition() const override;
    void AboutToMeasure(int index) override;
    void Redraw() override;
    void ShowSaturation(bool shown) override;
    void ShowFastProgress(double fraction, double secondsLeft) override;
    void Report(const Notice& notice) override;

    // Closing (by "Close", Escape or the close box) waits for an angle measurement to end.
    void done(int result) override;
    // "Measure value" is available while nothing plays; a timer keeps it so while the window
    // is shown (the tone of the last press plays on after it).
    void ShowAvailability();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void DrawPolarPicture();
    SharedState& m_state;
    QWidget* m_client = nullptr;
    QTimer* m_availability = nullptr;
    std::unique_ptr<AngleRun> m_run;  // "Measure value"
    QTimer* m_measureTimer = nullptr;
    QTimer* m_saturationTimer = nullptr;
    double m_measureFrequency = 0.0;  // chosen when "Measure value" was pressed
    double m_closedAt = std::numeric_limits<double>::quiet_NaN();  // CurrentFreq at closing
    bool m_closeAfterMeasurement = false;
    int m_closeResult = 0;
    SessionKeeper* m_session = nullptr;
    // Runs an action on the values, as an undo step when a keeper is wired.
    void ChangeValues(const char* name, const std::function<void()>& action);
    void LayOutSeries();
    void BuildMenus();
    void BuildSeriesPanel(QWidget* client);
};

}  // namespace sonarix
