// The help and version windows.
#include "display/InfoWindows.h"

#include <QLabel>
#include <QPushButton>

#include "display/Controls.h"

namespace sonarix {
namespace {

// Only the close box: no minimise or maximise box.
void SetUpInfoWindow(QDialog* d, const char* name, const char* caption, int w, int h) {
    d->setObjectName(QString::fromLatin1(name));
    d->setWindowTitle(QString::fromLatin1(caption));
    d->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                      Qt::WindowCloseButtonHint);
    d->setFont(DialogFont());
    d->setFixedSize(w, h);
}

QLabel* AddLabel(QDialog* d, const char* name, const char* text, int left, int top, bool bold) {
    auto* l = new QLabel(QString::fromLatin1(text), d);
    l->setObjectName(QString::fromLatin1(name));
    if (bold) {
        QFont f = l->font();
        f.setBold(true);
        l->setFont(f);
    }
    l->move(left, top);
    l->adjustSize();
    return l;
}

QPushButton* AddClose(QDialog* d, int left, int top, int w, int h) {
    auto* b = new QPushButton(QStringLiteral("Close"), d);
    b->setObjectName(QStringLiteral("Button1"));
    b->setGeometry(left, top, w, h);
    return b;
}

}  // namespace

TForm10::TForm10(QWidget* parent) : QDialog(parent) {
    SetUpInfoWindow(this, "Form10", "Manual and Help", 445, 220);
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
    Button1 = AddClose(this, 355, 184, 75, 25);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void TForm10::Button1Click() { close(); }

TForm11::TForm11(QWidget* parent) : QDialog(parent) {
    SetUpInfoWindow(this, "Form11", "Version info", 289, 178);
    Label1 =
        AddLabel(this, "Label1", "This is Version 7.1 of the program Sonarix.exe", 24, 24, false);
    Label4 = AddLabel(this, "Label4", "from Jan 21, 2009", 24, 43, false);
    Label2 =
        AddLabel(this, "Label2", "You may check for updates in the internet at:", 24, 80, false);
    Label3 = AddLabel(this, "Label3", kUpdatesAddress, 24, 99, true);
    Button1 = AddClose(this, 104, 136, 81, 25);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void TForm11::Button1Click() { close(); }

}  // namespace sonarix
