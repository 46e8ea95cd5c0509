// The line-thickness dialog.
#include "ui/main/LineThicknessDialog.h"

#include <QPushButton>
#include <algorithm>

#include "plot/Controls.h"

namespace sonarix {

LineThicknessDialog::LineThicknessDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("Line thickness"));
    setFont(DialogFont());
    setFixedSize(std::max(208, TitleWidth(windowTitle())), 253);
    RadioGroup1 = new TRadioGroup(QStringLiteral("Line Thickness"),
                                  {QStringLiteral("1 Pixel"), QStringLiteral("2 Pixel"),
                                   QStringLiteral("3 Pixel"), QStringLiteral("4 Pixel")},
                                  this);
    RadioGroup1->setObjectName(QStringLiteral("RadioGroup1"));
    RadioGroup1->setGeometry(48, 40, 105, 105);
    RadioGroup1->SetItemIndex(0);
    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(64, 184, 75, 25);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void LineThicknessDialog::Button1Click() { accept(); }

}  // namespace sonarix
