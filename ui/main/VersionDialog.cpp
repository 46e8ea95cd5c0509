// The version window.
#include "ui/main/VersionDialog.h"

#include <QLabel>
#include <QPushButton>

#include "plot/Controls.h"

namespace sonarix {

VersionDialog::VersionDialog(QWidget* parent) : QDialog(parent) {
    SetUpFixedDialog(this, "Form11", "Version info", 289, 178);
    Label1 =
        AddLabel(this, "Label1", "This is Version 7.1 of the program Sonarix.exe", 24, 24, false);
    Label4 = AddLabel(this, "Label4", "from Jan 21, 2009", 24, 43, false);
    Label2 =
        AddLabel(this, "Label2", "You may check for updates in the internet at:", 24, 80, false);
    Label3 = AddLabel(this, "Label3", kUpdatesAddress, 24, 99, true);
    Button1 = AddButton(this, "Button1", "Close", 104, 136, 81, 25);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void VersionDialog::Button1Click() { close(); }

}  // namespace sonarix
