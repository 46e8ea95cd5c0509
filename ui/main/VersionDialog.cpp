// The version window.
#include "ui/main/VersionDialog.h"

#include <QLabel>
#include <QPushButton>

#include "plot/Controls.h"

namespace sonarix {

VersionDialog::VersionDialog(QWidget* parent) : QDialog(parent) {
    SetUpFixedDialog(this, "Form11", "Version info", 289, 178);
    VersionLabel =
        AddLabel(this, "Label1", "This is Version 7.1 of the program Sonarix.exe", 24, 24, false);
    DateLabel = AddLabel(this, "Label4", "from Jan 21, 2009", 24, 43, false);
    UpdatesIntro =
        AddLabel(this, "Label2", "You may check for updates in the internet at:", 24, 80, false);
    UpdatesLink = AddLabel(this, "Label3", kUpdatesAddress, 24, 99, true);
    CloseButton = AddButton(this, "Button1", "Close", 104, 136, 81, 25);
    connect(CloseButton, &QPushButton::clicked, this, [this] { OnCloseClicked(); });
}

void VersionDialog::OnCloseClicked() { close(); }

}  // namespace sonarix
