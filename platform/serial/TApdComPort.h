// TApdComPort: the serial port object of the generator link, on QSerialPort in a worker thread
// of its own.
#pragma once

#include <QObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/serial/PortDevices.h"

class QThread;

namespace sonarix {

class PortWorker;

// Software flow control settings.
inline constexpr uint8_t swfNone = 0;
inline constexpr uint8_t swfReceive = 1;
inline constexpr uint8_t swfTransmit = 2;
inline constexpr uint8_t swfBoth = 3;
// Parity settings.
inline constexpr uint8_t pNone = 0;
inline constexpr uint8_t pOdd = 1;
inline constexpr uint8_t pEven = 2;

// Called from the GUI thread only. The output queue is filled by the GUI thread and emptied by
// the worker thread, which owns the QSerialPort; PendingOutput falls to 0 while the GUI thread
// polls it, without an event loop of its own. Owned by its Qt parent (the main window).
class TApdComPort : public QObject {
    Q_OBJECT
public:
    explicit TApdComPort(QObject* owner = nullptr);
    ~TApdComPort() override;

    // Line settings, applied when the port opens.
    int ComNumber = 0;
    int Baud = 19200;
    uint8_t Parity = pNone;
    int DataBits = 8;
    int StopBits = 1;
    int OutSize = 4096;
    uint8_t SWFlowOptions = swfNone;

    // Settings the link relies on, kept at their defaults.
    static constexpr int InSize = 4096;
    static constexpr bool HWFlowOptions = false;  // no hardware flow control
    static constexpr bool DTR = true;
    static constexpr bool RTS = true;
    static constexpr char XOnChar = 17;
    static constexpr char XOffChar = 19;
    static constexpr bool AutoOpen = true;
    static constexpr bool PromptForPort = true;
    // With software flow control the receiving side stops the sender at 75 % of InSize and lets
    // it go on at 25 %.
    int BufferFull() const { return SWFlowOptions != swfNone ? InSize * 3 / 4 : 0; }
    int BufferResume() const { return SWFlowOptions != swfNone ? InSize / 4 : 0; }

    // Open := true opens the device of ComNumber with the settings above, raises DTR and RTS;
    // false closes it. Returns false, with ErrorString(), when the device cannot be opened;
    // the port is then closed and usable again.
    bool SetOpen(bool open);
    bool Open() const { return m_open; }

    // Queues the bytes of s and returns at once; a closed port is opened first. False, with
    // ErrorString(), when that opening fails.
    bool WriteText(const std::string& s);
    // True once a write failed or the device went away since the port was opened.
    bool Failed() const { return m_failed.load(); }
    // Bytes queued and not yet sent; 0 while the port is closed.
    int PendingOutput() const { return m_open ? std::max(m_pending.load(), 0) : 0; }

    const std::string& ErrorString() const { return m_error; }

    // Waits, without sleeping and without processing window messages, until PendingOutput is
    // 0. When that takes longer than `limit` (a generator holding the line with XOFF) or the
    // device failed meanwhile, the port is closed and false returned, with ErrorString().
    bool WaitUntilSent(std::chrono::milliseconds limit);

    // The line settings of the open device as its driver took them (0 while closed): baud
    // rate, data bits, parity (pNone, pOdd, pEven), stop bits, software flow control on.
    struct Line {
        int baud = 0, dataBits = 0, stopBits = 0;
        uint8_t parity = pNone;
        bool xonXoff = false;
    };
    Line OpenLine();

private:
    QThread* m_thread = nullptr;
    PortWorker* m_worker = nullptr;  // lives in m_thread
    bool m_open = false;
    std::atomic<int> m_pending{0};
    std::atomic<bool> m_failed{false};
    std::string m_error;
    friend class PortWorker;
};

}  // namespace sonarix
