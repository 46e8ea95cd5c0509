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
    QLabel* VersionLabel = nullptr;
    QLabel* UpdatesIntro = nullptr;
    QLabel* UpdatesLink = nullptr;
    QLabel* DateLabel = nullptr;
    QPushButton* CloseButton = nullptr;  // "Close"
    void OnCloseClicked();
};

}  // namespace sonarix
