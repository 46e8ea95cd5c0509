// The latency calibration dialog.
#include "ui/config/LatencyDialog.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "plot/Controls.h"

namespace sonarix {

LatencyDialog::LatencyDialog(SharedState& state, QWidget* parent)
    : QDialog(parent), m_state(state) {
    SetUpFixedDialog(this, "LatencyDialog", "Calibrate Latency", 420, 250);
    InstructionsLabel =
        AddLabel(this, "Label1",
                 "Plays a short chirp and finds the delay between the sound output and "
                 "the recording. Leave loudspeaker and microphone in the resonator, or "
                 "plug a cable from the sound card's output to its input (loopback). The "
                 "output volume of the main window is used; keep the room quiet for a "
                 "second. The result holds until the program ends.",
                 16, 12);
    InstructionsLabel->setWordWrap(true);
    InstructionsLabel->setGeometry(16, 12, 388, 96);
    ResultLabel = AddLabel(this, "Label2", "", 16, 116);
    ResultLabel->setWordWrap(true);
    ResultLabel->setGeometry(16, 116, 388, 80);
    CalibrateButton = AddButton(this, "Button1", "Calibrate", 124, 208, 85, 25);
    CloseButton = AddButton(this, "Button2", "Close", 219, 208, 75, 25);
    connect(CalibrateButton, &QPushButton::clicked, this, [this] { OnCalibrateClicked(); });
    connect(CloseButton, &QPushButton::clicked, this, [this] { reject(); });
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, [this] { ContinueCalibration(); });
    ShowResult();
}

void LatencyDialog::ShowResult() {
    const LatencyCalibration& c = m_state.Latency;
    QString text;
    if (c.valid) {
        text = QString::fromStdString(LatencyText(c));
        if (m_outcome.found) {
            text += QStringLiteral("\n%1 of %2 readings, measured in %3 s")
                        .arg(m_outcome.readings)
                        .arg(kCalibrationReadings)
                        .arg(m_outcome.seconds, 0, 'f', 1);
            // Through a cavity the arrival came from its resonances' phases: say so.
            text += m_outcome.modal.found ? QStringLiteral("; the arrival from %1 resonances.")
                                                .arg(m_outcome.modal.resonances)
                                          : QStringLiteral(".");
        }
    } else {
        text = QStringLiteral(
            "Not calibrated: the sweep reads each level as soon as the "
            "position has passed its step.");
    }
    if (!m_outcome.found && !m_outcome.message.empty()) {
        text += QStringLiteral("\nLast attempt: ") + QString::fromStdString(m_outcome.message);
    }
    ResultLabel->setText(text);
}

void LatencyDialog::OnCalibrateClicked() {
    if (m_running) return;
    // The calibration runs from the event loop, a piece at a time: the handler returns at once.
    m_run = std::make_unique<CalibrationRun>(m_state, *this);
    if (!m_run->Start()) {
        m_outcome = m_run->Outcome();
        m_run.reset();
        ShowResult();
        return;
    }
    m_running = true;
    CalibrateButton->setEnabled(false);
    CloseButton->setEnabled(false);
    ResultLabel->setText(QStringLiteral("Calibrating ..."));
    m_timer->start(0);
}

void LatencyDialog::ContinueCalibration() {
    const int64_t us = m_run->Continue();
    if (us >= 0) {
        RestartAfter(*m_timer, us);
        return;
    }
    m_outcome = m_run->Outcome();
    m_run.reset();
    m_running = false;
    CalibrateButton->setEnabled(true);
    CloseButton->setEnabled(true);
    ShowResult();
    if (m_outcome.found && OnCalibrated) OnCalibrated();
}

int LatencyDialog::VolumePosition() const { return MainVolume ? MainVolume() : 50; }

void LatencyDialog::reject() {
    if (!m_running) QDialog::reject();
}

}  // namespace sonarix
