// HelpDialog "Manual and Help": where to read more about the program and the apparatus.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace sonarix {

inline constexpr const char* kManualAddress = "https://sonarix.org/manual";
inline constexpr const char* kFaqAddress = "https://sonarix.org/faq";
inline constexpr const char* kApparatusAddress = "https://sonarix.org/kavitron";

class HelpDialog : public QDialog {
    Q_OBJECT
public:
    explicit HelpDialog(QWidget* parent = nullptr);
    QLabel* ManualIntro = nullptr;
    QLabel* ManualLink = nullptr;
    QLabel* FaqIntro = nullptr;
    QLabel* FaqLink = nullptr;
    QLabel* ApparatusIntroFirstLine = nullptr;
    QLabel* ApparatusIntroSecondLine = nullptr;
    QLabel* ApparatusLink = nullptr;
    QPushButton* CloseButton = nullptr;  // "Close"
    void OnCloseClicked();
    // The first address becomes the user manual's file (a link that opens it).
    void SetManualFile(const QString& path);
    // The program that opens the manual's link (the desktop's opener; tests put their own).
    // When it cannot be started or ends with an error, a message says so with the path.
    QString Opener = QStringLiteral("xdg-open");
    void OpenManual();

private:
    QString m_manual;
};

}  // namespace sonarix
