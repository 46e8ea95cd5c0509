// The pseudo-terminal generator stand-in.
#include "tests/serial/PtyGenerator.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>

namespace sonarix::test {

PtyGenerator::PtyGenerator() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    m_device = ptsname(m_master);
    // Held open, so the slave side stays usable whether or not the program has it open.
    m_slave = open(m_device.c_str(), O_RDWR | O_NOCTTY);
    m_reader = std::thread([this] {
        char buf[4096];
        while (!m_stop.load()) {
            pollfd p{m_master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = read(m_master, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard lock(m_mutex);
                m_received.append(buf, static_cast<size_t>(n));
            }
        }
    });
}

PtyGenerator::~PtyGenerator() {
    m_stop = true;
    m_reader.join();
    close(m_slave);
    close(m_master);
}

std::string PtyGenerator::Received() {
    std::lock_guard lock(m_mutex);
    return m_received;
}

std::string PtyGenerator::WaitFor(size_t n, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_received.size() >= n || std::chrono::steady_clock::now() > end) {
                return m_received;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace sonarix::test
