// VersionDialog "Version info": the program's version and where updates are offered.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace sonarix {

inline constexpr const char* kUpdatesAddress = "https://sonarix.org/download";

class VersionDialog : public QDialog {
    Q_OBJECT
public:
    explicit VersionDialog(QWidget* parent = nullptr);
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QPushButton* Button1 = nullptr;  // "Close"
    void Button1Click();
};

}  // namespace sonarix
