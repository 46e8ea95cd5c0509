// SerialPortDialog, "Configure Serial Port": the port and line settings of the generator link.
#pragma once

#include <QDialog>

#include "measurement/SharedState.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace sonarix {

class SerialPortDialog : public QDialog {
    Q_OBJECT
public:
    explicit SerialPortDialog(SharedState& state, QWidget* parent = nullptr);

    // Fills the port list: "None" (selected), then "COMn" for each present port n = 1 ... 9,
    // each with its device path as tooltip. Done once at start-up.
    void FillPortList();

    QComboBox* PortBox = nullptr;         // "Serial Port"
    QComboBox* BaudRateBox = nullptr;     // "Baude Rate"
    QComboBox* ParityBox = nullptr;       // "Parity"
    QComboBox* DataBitsBox = nullptr;     // "Data Bits"
    QComboBox* StopBitsBox = nullptr;     // "Stop Bits"
    QComboBox* ProtocolBox = nullptr;     // "Software Protocol"
    QPushButton* OkButton = nullptr;      // "OK"
    QPushButton* CancelButton = nullptr;  // "Cancel"

    // OK: takes the boxes into the link settings and, with a port chosen, opens and initialises
    // the link; the dialog stays open only when the device could not be opened.
    void OnOkClicked();
    // Cancel: closes the dialog and changes nothing.
    void OnCancelClicked();
    // The boxes show the link settings in force; done each time the dialog is shown, so that
    // what was picked and cancelled last time is not offered as if it applied.
    void ShowSettings();

protected:
    void showEvent(QShowEvent* event) override;

private:
    SharedState& m_state;
};

}  // namespace sonarix
