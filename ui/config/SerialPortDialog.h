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

    QComboBox* ComboBox1 = nullptr;  // "Serial Port"
    QComboBox* ComboBox2 = nullptr;  // "Baude Rate"
    QComboBox* ComboBox3 = nullptr;  // "Parity"
    QComboBox* ComboBox4 = nullptr;  // "Data Bits"
    QComboBox* ComboBox5 = nullptr;  // "Stop Bits"
    QComboBox* ComboBox6 = nullptr;  // "Software Protocol"
    QPushButton* Button1 = nullptr;  // "OK"
    QPushButton* Button2 = nullptr;  // "Cancel"

    // OK: takes the boxes into the link settings and, with a port chosen, opens and initialises
    // the link; the dialog stays open only when the device could not be opened.
    void Button1Click();
    // Cancel: closes the dialog and changes nothing.
    void Button2Click();
    // The boxes show the link settings in force; done each time the dialog is shown, so that
    // what was picked and cancelled last time is not offered as if it applied.
    void ShowSettings();

protected:
    void showEvent(QShowEvent* event) override;

private:
    SharedState& m_state;
};

}  // namespace sonarix
