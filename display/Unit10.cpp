// The help window.
#include "display/Unit10.h"

#include <QLabel>
#include <QPushButton>
#include <QUrl>

#include "plot/Controls.h"

namespace sonarix {

TForm10::TForm10(QWidget* parent) : QDialog(parent) {
    SetUpFixedDialog(this, "Form10", "Manual and Help", 445, 220);
    Label1 = AddLabel(this, "Label1",
                      "A description how to use the different functions of this program can be "
                      "found online:",
                      24, 24, false);
    Label2 = AddLabel(this, "Label2", kManualAddress, 24, 43, true);
    Label3 = AddLabel(this, "Label3", "Frequently asked questions are collected on the page:", 24,
                      80, false);
    Label4 = AddLabel(this, "Label4", kFaqAddress, 24, 99, true);
    Label5 = AddLabel(this, "Label5",
                      "Information about this program and other programs for visualisation "
                      "around the",
                      24, 136, false);
    Label6 = AddLabel(this, "Label6", "experiments can be found here:", 24, 152, false);
    Label7 = AddLabel(this, "Label7", kApparatusAddress, 24, 171, true);
    Button1 = AddButton(this, "Button1", "Close", 355, 184, 75, 25);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void TForm10::Button1Click() { close(); }

void TForm10::SetManualFile(const QString& path) {
    Label2->setTextFormat(Qt::RichText);
    Label2->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                        .arg(QUrl::fromLocalFile(path).toString(), path.toHtmlEscaped()));
    Label2->setOpenExternalLinks(true);
    Label2->setToolTip(QStringLiteral("The user manual"));
    Label2->adjustSize();
}

}  // namespace sonarix
