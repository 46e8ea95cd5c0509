// The latency calibration dialog.
#include "ui/config/LatencyDialog.h"

#include <QBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "measurement/Messages.h"
#include "plot/Controls.h"

namespace sonarix {

LatencyDialog::LatencyDialog(SharedState& state, QWidget* parent)
    : QDialog(parent), m_state(state) {
    SetUpDialog(this, "LatencyDialog", "Calibrate Latency");
    // The texts wrap at a width of about 60 characters of the dialog's font; the dialog grows
    // downwards with them, at any font and scale.
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 12, 16, 16);
    const int textWidth = 60 * fontMetrics().averageCharWidth();
    InstructionsLabel = Named(
        new QLabel(QStringLiteral("Plays a short chirp and finds the delay between the sound "
                                  "output and the recording. Leave loudspeaker and microphone "
                                  "in the resonator, or plug a cable from the sound card's "
                                  "output to its input (loopback). The output volume of the "
                                  "main window is used; keep the room quiet for a second. The "
                                  "result holds until the program ends."),
                   this),
        "Label1");
    ResultLabel = Named(new QLabel(this), "Label2");
    for (QLabel* label : {InstructionsLabel, ResultLabel}) {
        label->setWordWrap(true);
        label->setFixedWidth(textWidth);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
    // Room for the longest result (five lines) so that the buttons stay where they are.
    ResultLabel->setMinimumHeight(5 * fontMetrics().lineSpacing());
    column->addWidget(InstructionsLabel);
    column->addSpacing(8);
    column->addWidget(ResultLabel);
    CalibrateButton = Named(new QPushButton(QStringLiteral("Calibrate"), this), "Button1");
    CloseButton = Named(new QPushButton(QStringLiteral("Close"), this), "Button2");
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(CalibrateButton);
    buttons->addWidget(CloseButton);
    buttons->addStretch();
    column->addLayout(buttons);
    // At least as wide as the title bar needs to show the title whole; fixed from the start.
    column->addItem(new QSpacerItem(TitleWidth(windowTitle()) - 32, 0));
    column->setSizeConstraint(QLayout::SetFixedSize);
    column->activate();
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
        ShowMessage(m_outcome.message);
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
    if (!m_outcome.found && !m_outcome.message.empty()) ShowMessage(m_outcome.message);
    if (m_outcome.found && OnCalibrated) OnCalibrated();
}

int LatencyDialog::VolumePosition() const { return MainVolume ? MainVolume() : 50; }

void LatencyDialog::reject() {
    if (!m_running) QDialog::reject();
}

}  // namespace sonarix
