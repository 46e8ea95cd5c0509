// The help window.
#include "ui/main/HelpDialog.h"

#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QUrl>

#include "measurement/Messages.h"
#include "plot/Controls.h"

namespace sonarix {

HelpDialog::HelpDialog(QWidget* parent) : QDialog(parent) {
    SetUpFixedDialog(this, "Form10", "Manual and Help", 445, 220);
    ManualIntro =
        AddLabel(this, "Label1",
                 "A description how to use the different functions of this program can be "
                 "found online:",
                 24, 24, false);
    ManualLink = AddLabel(this, "Label2", kManualAddress, 24, 43, true);
    FaqIntro = AddLabel(this, "Label3", "Frequently asked questions are collected on the page:", 24,
                        80, false);
    FaqLink = AddLabel(this, "Label4", kFaqAddress, 24, 99, true);
    ApparatusIntroFirstLine =
        AddLabel(this, "Label5",
                 "Information about this program and other programs for visualisation "
                 "around the",
                 24, 136, false);
    ApparatusIntroSecondLine =
        AddLabel(this, "Label6", "experiments can be found here:", 24, 152, false);
    ApparatusLink = AddLabel(this, "Label7", kApparatusAddress, 24, 171, true);
    CloseButton = AddButton(this, "Button1", "Close", 355, 184, 75, 25);
    connect(CloseButton, &QPushButton::clicked, this, [this] { OnCloseClicked(); });
}

void HelpDialog::OnCloseClicked() { close(); }

void HelpDialog::SetManualFile(const QString& path) {
    ManualLink->setTextFormat(Qt::RichText);
    ManualLink->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                            .arg(QUrl::fromLocalFile(path).toString(), path.toHtmlEscaped()));
    ManualLink->setOpenExternalLinks(false);
    ManualLink->setToolTip(QStringLiteral("The user manual"));
    ManualLink->adjustSize();
    m_manual = path;
    disconnect(ManualLink, &QLabel::linkActivated, this, nullptr);
    connect(ManualLink, &QLabel::linkActivated, this, [this] { OpenManual(); });
}

void HelpDialog::OpenManual() {
    // The opener runs on its own; its end (or failure to start) is reported when it comes,
    // so that a viewer it waits for never blocks this window.
    auto* opener = new QProcess(this);
    const QString path = m_manual;
    auto fail = [path](const QString& why) {
        ShowMessage("The manual could not be opened (" + why.toStdString() +
                    "). Open it with a browser or a text editor; it is here:\n" +
                    path.toStdString());
    };
    connect(opener, &QProcess::errorOccurred, this, [opener, fail](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) {
            fail(QStringLiteral("no program to open it was found: %1").arg(opener->program()));
            opener->deleteLater();
        }
    });
    connect(opener, &QProcess::finished, this,
            [opener, fail](int code, QProcess::ExitStatus status) {
                if (status != QProcess::NormalExit || code != 0) {
                    fail(QStringLiteral("%1 ended with code %2").arg(opener->program()).arg(code));
                }
                opener->deleteLater();
            });
    opener->setProcessChannelMode(QProcess::ForwardedChannels);
    opener->start(Opener, {QUrl::fromLocalFile(path).toString()});
}

}  // namespace sonarix
