// A stand-in for the function generator: a pseudo-terminal pair whose master side records
// every byte the program sends to the slave side.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace sonarix::test {

class PtyGenerator {
public:
    PtyGenerator();
    ~PtyGenerator();
    PtyGenerator(const PtyGenerator&) = delete;
    PtyGenerator& operator=(const PtyGenerator&) = delete;

    // The device the program opens (/dev/pts/N).
    const std::string& Device() const { return m_device; }
    // A descriptor of the slave side kept open by the stand-in, for reading the line
    // settings back with termios.
    int SlaveFd() const { return m_slave; }

    // Everything received so far.
    std::string Received();
    // Waits until at least n bytes have arrived (or the time is up) and returns them.
    std::string WaitFor(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5));

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_device;
    std::mutex m_mutex;
    std::string m_received;
    std::atomic<bool> m_stop{false};
    std::thread m_reader;
};

}  // namespace sonarix::test
