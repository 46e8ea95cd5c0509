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
    ThicknessGroup = new TRadioGroup(QStringLiteral("Line Thickness"),
                                     {QStringLiteral("1 Pixel"), QStringLiteral("2 Pixel"),
                                      QStringLiteral("3 Pixel"), QStringLiteral("4 Pixel")},
                                     this);
    ThicknessGroup->setObjectName(QStringLiteral("RadioGroup1"));
    ThicknessGroup->setGeometry(48, 40, 105, 105);
    ThicknessGroup->SetItemIndex(0);
    OkButton = new QPushButton(QStringLiteral("OK"), this);
    OkButton->setObjectName(QStringLiteral("Button1"));
    OkButton->setGeometry(64, 184, 75, 25);
    connect(OkButton, &QPushButton::clicked, this, [this] { OnOkClicked(); });
}

void LineThicknessDialog::OnOkClicked() { accept(); }

}  // namespace sonarix
