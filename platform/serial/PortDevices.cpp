// The COM number mapping.
#include "platform/serial/PortDevices.h"

#include <QFileInfo>
#include <QSerialPortInfo>
#include <algorithm>

#include "platform/Context.h"

namespace sonarix {

namespace {
const std::function<std::string(int)>& Mapper() { return platform::CurrentContext().portDevice; }
}  // namespace

// The devices of COM1 ... COM9 by the system's numbering: on Windows COMn itself, elsewhere
// the serial devices the system lists, sorted by path, "" past the last.
std::vector<std::string> SystemPortDevices() {
    std::vector<std::string> result(9);
#if defined(Q_OS_WIN)
    for (int n = 1; n <= 9; ++n) result[n - 1] = "COM" + std::to_string(n);
#else
    std::vector<std::string> devices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        devices.push_back(info.systemLocation().toStdString());
    }
    std::sort(devices.begin(), devices.end());
    for (size_t i = 0; i < result.size() && i < devices.size(); ++i) result[i] = devices[i];
#endif
    return result;
}

std::vector<std::string> PortDevices() {
    if (!Mapper()) return SystemPortDevices();
    std::vector<std::string> result(9);
    for (int n = 1; n <= 9; ++n) result[n - 1] = Mapper()(n);
    return result;
}

std::string PortDevice(int comNumber) {
    if (Mapper()) return Mapper()(comNumber);
    return comNumber >= 1 && comNumber <= 9 ? SystemPortDevices()[comNumber - 1] : std::string();
}

bool DevicePresent(const std::string& device) {
#if defined(Q_OS_WIN)
    return !device.empty();
#else
    return !device.empty() && QFileInfo::exists(QString::fromStdString(device));
#endif
}

bool PortAvailable(int n) { return n >= 1 && n <= 9 && DevicePresent(PortDevice(n)); }

}  // namespace sonarix
