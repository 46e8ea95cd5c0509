// TForm10 "Manual and Help" and TForm11 "Version info": where to read more and where updates
// are offered.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace sonarix {

inline constexpr const char* kManualAddress = "https://sonarix.org/manual";
inline constexpr const char* kFaqAddress = "https://sonarix.org/faq";
inline constexpr const char* kApparatusAddress = "https://sonarix.org/kavitron";
inline constexpr const char* kUpdatesAddress = "https://sonarix.org/download";

class TForm10 : public QDialog {
    Q_OBJECT
public:
    explicit TForm10(QWidget* parent = nullptr);
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    QPushButton* Button1 = nullptr;  // "Close"
    void Button1Click();
};

class TForm11 : public QDialog {
    Q_OBJECT
public:
    explicit TForm11(QWidget* parent = nullptr);
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QPushButton* Button1 = nullptr;  // "Close"
    void Button1Click();
};

}  // namespace sonarix
