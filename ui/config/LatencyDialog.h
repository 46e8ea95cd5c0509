// LatencyDialog, "Calibrate Latency": plays the calibration chirp through the resonator or a
// loopback cable and shows the delay found; the sweep and the lock-in level use it for the rest of
// the run.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>

#include "measurement/Latency.h"
#include "measurement/SharedState.h"

class QLabel;
class QPushButton;
class QTimer;

namespace sonarix {

class LatencyDialog : public QDialog, public CalibrationWindow {
    Q_OBJECT
public:
    explicit LatencyDialog(SharedState& state, QWidget* parent = nullptr);

    QLabel* InstructionsLabel = nullptr;     // how to connect the apparatus
    QLabel* ResultLabel = nullptr;           // the result
    QPushButton* CalibrateButton = nullptr;  // "Calibrate"
    QPushButton* CloseButton = nullptr;      // "Close"

    // "Calibrate": starts the calibration, which runs from the event loop with both buttons
    // disabled; a result found replaces the previous one and is handed to OnCalibrated.
    void OnCalibrateClicked();
    bool Running() const { return m_running; }
    const CalibrationOutcome& LastOutcome() const { return m_outcome; }
    // The result text for the state's calibration.
    void ShowResult();

    // The main window's volume slider, and what to do after a calibration (the main window's
    // lag indicator tooltip); wired by the program.
    std::function<int()> MainVolume;
    std::function<void()> OnCalibrated;

    int VolumePosition() const override;

protected:
    void reject() override;  // no closing while the signal plays

private:
    SharedState& m_state;
    CalibrationOutcome m_outcome;
    bool m_running = false;
    std::unique_ptr<CalibrationRun> m_run;
    QTimer* m_timer = nullptr;  // runs the calibration's next piece
    void ContinueCalibration();
};

}  // namespace sonarix
