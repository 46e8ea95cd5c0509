// RemoteDialog, "Configure Remote Control": whether scripts may drive the program over SCPI, on
// which port, and whether from other computers too (with a warning of what that allows).
#pragma once

#include <QDialog>
#include <functional>
#include <optional>
#include <string>

#include "remote/RemoteServer.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QSpinBox;

namespace sonarix {

class RemoteDialog : public QDialog {
    Q_OBJECT
public:
    explicit RemoteDialog(QWidget* parent = nullptr);

    QCheckBox* RemoteOnCheck = nullptr;    // "Let scripts drive Sonarix (SCPI over TCP)"
    QSpinBox* PortEdit = nullptr;          // "Port"
    QCheckBox* OtherHostsCheck = nullptr;  // "Accept connections from other computers too"
    QLabel* HostsWarning = nullptr;        // what other hosts may then do; shown while chosen
    QLabel* StateLabel = nullptr;          // what is in force now
    QPushButton* OkButton = nullptr;       // "OK"
    QPushButton* CancelButton = nullptr;   // "Cancel"

    // Wired by the program. Apply puts the choice in force (no value: off) and returns "" or
    // why the server cannot listen; InForce and Connections tell what runs now.
    std::function<std::string(const std::optional<RemoteOptions>&)> Apply;
    std::function<std::optional<RemoteOptions>()> InForce;
    std::function<int()> Connections;

    // The choice as the controls show it (no value: off).
    std::optional<RemoteOptions> Choice() const;
    // OK: the choice put in force; the dialog stays open, with the reason said, when the
    // server cannot listen.
    void OnOkClicked();
    // The controls show what is in force; done each time the dialog is shown.
    void ShowSettings();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ShowAvailability();
};

}  // namespace sonarix
