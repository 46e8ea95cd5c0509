// The serial port object.
#include "platform/serial/TApdComPort.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QSerialPort>
#include <QThread>
#include <algorithm>
#include <thread>

namespace sonarix {

// Owns the QSerialPort on the worker thread: opens and closes it on request (the GUI thread
// waits for that), and writes what the GUI thread has queued.
class PortWorker : public QObject {
public:
    explicit PortWorker(TApdComPort* owner) : m_owner(owner) {}

    struct Settings {
        std::string device;
        int baud, dataBits, stopBits;
        uint8_t parity, swFlow;
    };

    // Worker thread. Returns "" or the reason the device could not be opened.
    std::string OpenPort(const Settings& s) {
        ClosePort();
        m_port = new QSerialPort(this);
        m_port->setPortName(QString::fromStdString(s.device));
        connect(m_port, &QSerialPort::bytesWritten, this,
                [this](qint64 n) { m_owner->m_pending.fetch_sub(static_cast<int>(n)); });
        const QString device = QString::fromStdString(s.device);
        connect(m_port, &QSerialPort::errorOccurred, this,
                [this, device](QSerialPort::SerialPortError e) {
                    // A failed write, or a device that went away: what is queued will not go
                    // out, so nobody may wait for it.
                    if (e == QSerialPort::WriteError ||
                        (e == QSerialPort::ResourceError && !QFileInfo::exists(device))) {
                        m_owner->m_failed = true;
                        m_owner->m_pending = 0;
                    }
                });
        if (!m_port->open(QIODevice::ReadWrite)) {
            std::string reason = m_port->errorString().toStdString();
            delete m_port;
            m_port = nullptr;
            return "Cannot open serial port " + s.device + ": " + reason;
        }
        // A setting the device does not take is an error of the opening: the generator
        // would otherwise receive something other than what the dialog shows.
        const char* refused = nullptr;
        if (!m_port->setBaudRate(s.baud)) refused = "this baud rate";
        if (!refused && !m_port->setDataBits(
                            static_cast<QSerialPort::DataBits>(std::clamp(s.dataBits, 5, 8)))) {
            refused = "this number of data bits";
        }
        if (!refused && !m_port->setParity(s.parity == pOdd    ? QSerialPort::OddParity
                                           : s.parity == pEven ? QSerialPort::EvenParity
                                                               : QSerialPort::NoParity)) {
            refused = "this parity";
        }
        if (!refused &&
            !m_port->setStopBits(s.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop)) {
            refused = "this number of stop bits";
        }
        if (!refused && !m_port->setFlowControl(s.swFlow != swfNone ? QSerialPort::SoftwareControl
                                                                    : QSerialPort::NoFlowControl)) {
            refused = "this flow control";
        }
        if (refused != nullptr) {
            std::string reason = m_port->errorString().toStdString();
            ClosePort();
            return "Serial port " + s.device + " does not support " + refused + ": " + reason;
        }
        // Modem lines: raised where the device has them (a pseudo-terminal has none).
        m_port->setDataTerminalReady(true);
        m_port->setRequestToSend(true);
        m_port->clearError();
        return {};
    }

    TApdComPort::Line CurrentLine() const {
        TApdComPort::Line line;
        if (m_port == nullptr) return line;
        line.baud = m_port->baudRate();
        line.dataBits = m_port->dataBits();
        line.stopBits = m_port->stopBits() == QSerialPort::TwoStop ? 2 : 1;
        line.parity = m_port->parity() == QSerialPort::OddParity    ? pOdd
                      : m_port->parity() == QSerialPort::EvenParity ? pEven
                                                                    : pNone;
        line.xonXoff = m_port->flowControl() == QSerialPort::SoftwareControl;
        return line;
    }

    void ClosePort() {
        if (m_port == nullptr) return;
        m_port->close();
        delete m_port;
        m_port = nullptr;
    }

    // Worker thread: hands the queued bytes to the device.
    void Drain() {
        std::string bytes;
        {
            std::lock_guard lock(m_queueMutex);
            bytes.swap(m_queue);
        }
        if (bytes.empty()) return;
        if (m_port == nullptr ||
            m_port->write(bytes.data(), static_cast<qint64>(bytes.size())) < 0) {
            m_owner->m_pending.fetch_sub(static_cast<int>(bytes.size()));
        }
    }

    // GUI thread.
    void Enqueue(const std::string& s) {
        std::lock_guard lock(m_queueMutex);
        m_queue += s;
    }
    void DropQueue() {
        std::lock_guard lock(m_queueMutex);
        m_queue.clear();
    }

private:
    TApdComPort* m_owner;
    QSerialPort* m_port = nullptr;
    std::mutex m_queueMutex;
    std::string m_queue;
};

TApdComPort::TApdComPort(QObject* owner) : QObject(owner), m_thread(new QThread()) {
    m_worker = new PortWorker(this);
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();
}

TApdComPort::~TApdComPort() {
    SetOpen(false);
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

bool TApdComPort::SetOpen(bool open) {
    if (!open) {
        if (m_open) {
            QMetaObject::invokeMethod(
                m_worker, [this] { m_worker->ClosePort(); }, Qt::BlockingQueuedConnection);
        }
        m_worker->DropQueue();
        m_pending = 0;
        m_open = false;
        return true;
    }
    if (m_open) return true;
    PortWorker::Settings s{PortDevice(ComNumber), Baud, DataBits, StopBits, Parity, SWFlowOptions};
    if (s.device.empty()) {
        m_error = "Serial port COM" + std::to_string(ComNumber) + " does not exist";
        return false;
    }
    std::string error;
    QMetaObject::invokeMethod(
        m_worker, [&] { error = m_worker->OpenPort(s); }, Qt::BlockingQueuedConnection);
    m_open = error.empty();
    m_error = error;
    m_pending = 0;
    m_failed = false;
    return m_open;
}

TApdComPort::Line TApdComPort::OpenLine() {
    Line line;
    if (m_open) {
        QMetaObject::invokeMethod(
            m_worker, [&] { line = m_worker->CurrentLine(); }, Qt::BlockingQueuedConnection);
    }
    return line;
}

bool TApdComPort::WriteText(const std::string& s) {
    if (!m_open && !SetOpen(true)) return false;  // AutoOpen
    if (s.empty()) return true;
    m_pending.fetch_add(static_cast<int>(s.size()));
    m_worker->Enqueue(s);
    QMetaObject::invokeMethod(
        m_worker, [this] { m_worker->Drain(); }, Qt::QueuedConnection);
    return true;
}

bool TApdComPort::WaitUntilSent(std::chrono::milliseconds limit) {
    const auto start = std::chrono::steady_clock::now();
    while (PendingOutput() > 0) {
        if (std::chrono::steady_clock::now() - start > limit) {
            SetOpen(false);
            m_error = "Serial port COM" + std::to_string(ComNumber) +
                      ": the generator does not take the data";
            return false;
        }
        std::this_thread::yield();
    }
    if (Failed()) {
        SetOpen(false);
        m_error =
            "Serial port COM" + std::to_string(ComNumber) + ": sending failed, the device is gone";
        return false;
    }
    return true;
}

}  // namespace sonarix
