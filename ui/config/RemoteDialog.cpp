// The remote control dialog.
#include "ui/config/RemoteDialog.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include "measurement/Messages.h"
#include "plot/Controls.h"

namespace sonarix {

RemoteDialog::RemoteDialog(QWidget* parent) : QDialog(parent) {
    SetUpDialog(this, "RemoteDialog", "Configure Remote Control");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 12, 16, 16);
    const int textWidth = 56 * fontMetrics().averageCharWidth();
    RemoteOnCheck = Named(new QCheckBox(QStringLiteral("Let scripts drive Sonarix (SCPI over TCP, "
                                                       "for PyVISA and the like)"),
                                        this),
                          "RemoteOnCheck");
    column->addWidget(RemoteOnCheck);
    auto* form = new QFormLayout;
    form->setContentsMargins(24, 4, 0, 0);
    PortEdit = Named(new QSpinBox(this), "PortEdit");
    PortEdit->setRange(1, 65535);
    PortEdit->setValue(5025);
    PortEdit->setFixedWidth(PortEdit->sizeHint().width());
    form->addRow(QStringLiteral("Port"), PortEdit);
    column->addLayout(form);
    OtherHostsCheck =
        Named(new QCheckBox(QStringLiteral("Accept connections from other computers too"), this),
              "OtherHostsCheck");
    auto* indented = new QVBoxLayout;
    indented->setContentsMargins(24, 0, 0, 0);
    indented->addWidget(OtherHostsCheck);
    HostsWarning = Named(new QLabel(this), "HostsWarning");
    HostsWarning->setStyleSheet(QStringLiteral("color: #a00000"));
    indented->addWidget(HostsWarning);
    column->addLayout(indented);
    StateLabel = Named(new QLabel(this), "StateLabel");
    for (QLabel* label : {HostsWarning, StateLabel}) {
        label->setWordWrap(true);
        label->setFixedWidth(textWidth);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
    // Room for the warning's lines, so that the buttons stay where they are.
    HostsWarning->setMinimumHeight(3 * fontMetrics().lineSpacing());
    column->addSpacing(4);
    column->addWidget(StateLabel);
    OkButton = Named(new QPushButton(QStringLiteral("OK"), this), "OkButton");
    CancelButton = Named(new QPushButton(QStringLiteral("Cancel"), this), "CancelButton");
    OkButton->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);
    column->addLayout(buttons);
    column->addItem(new QSpacerItem(TitleWidth(windowTitle()) - 32, 0));
    column->setSizeConstraint(QLayout::SetFixedSize);
    connect(RemoteOnCheck, &QCheckBox::toggled, this, [this] { ShowAvailability(); });
    connect(OtherHostsCheck, &QCheckBox::toggled, this, [this] { ShowAvailability(); });
    connect(PortEdit, &QSpinBox::valueChanged, this, [this] { ShowAvailability(); });
    connect(OkButton, &QPushButton::clicked, this, [this] { OnOkClicked(); });
    connect(CancelButton, &QPushButton::clicked, this, [this] { reject(); });
    ShowSettings();
}

std::optional<RemoteOptions> RemoteDialog::Choice() const {
    if (!RemoteOnCheck->isChecked()) return std::nullopt;
    return RemoteOptions{static_cast<uint16_t>(PortEdit->value()), OtherHostsCheck->isChecked()};
}

void RemoteDialog::ShowSettings() {
    const std::optional<RemoteOptions> now = InForce ? InForce() : std::nullopt;
    RemoteOnCheck->setChecked(now.has_value());
    if (now) PortEdit->setValue(now->port);  // off: the port chosen last
    OtherHostsCheck->setChecked(now && now->otherHosts);
    QString state = QStringLiteral("Now: off.");
    if (now) {
        const int n = Connections ? Connections() : 0;
        state = QStringLiteral("Now: on, port %1, %2; %3 script%4 connected.")
                    .arg(now->port)
                    .arg(now->otherHosts ? QStringLiteral("from any computer")
                                         : QStringLiteral("from this computer only"))
                    .arg(n)
                    .arg(n == 1 ? "" : "s");
    }
    StateLabel->setText(state);
    ShowAvailability();
}

void RemoteDialog::ShowAvailability() {
    const bool on = RemoteOnCheck->isChecked();
    PortEdit->setEnabled(on);
    OtherHostsCheck->setEnabled(on);
    HostsWarning->setText(
        on && OtherHostsCheck->isChecked()
            ? QStringLiteral("Anyone who can reach this computer on port %1 can then measure "
                             "with the apparatus, and read and write files with your rights. "
                             "Allow it only on a network you trust.")
                  .arg(PortEdit->value())
            : QString());
}

void RemoteDialog::OnOkClicked() {
    PortEdit->interpretText();  // a port typed and not yet confirmed counts
    const std::optional<RemoteOptions> choice = Choice();
    const std::string why = Apply ? Apply(choice) : std::string();
    if (!why.empty()) {
        ShowMessage("The remote control cannot listen on " + why);
        PortEdit->setFocus(Qt::OtherFocusReason);
        PortEdit->selectAll();
        return;
    }
    accept();
}

void RemoteDialog::showEvent(QShowEvent* event) {
    ShowSettings();
    QDialog::showEvent(event);
    RemoteOnCheck->setFocus(Qt::OtherFocusReason);
}

}  // namespace sonarix
