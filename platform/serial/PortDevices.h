// The mapping of COM numbers to the serial devices of this system, and the presence test.
#pragma once

#include <string>
#include <vector>

namespace sonarix {

// The system's mapping, for COM1 ... COM9 (index 0 = COM1): on Windows COMn itself,
// elsewhere the n-th serial device the system lists, sorted by device path; "" where there is
// none.
std::vector<std::string> SystemPortDevices();
// The device path of port COMn, or "" if there is none: the context's portDevice, where it
// has one (tests map COM numbers to pseudo-terminals), otherwise the system's.
std::string PortDevice(int comNumber);
// The devices of COM1 ... COM9 (index 0 = COM1), "" where there is none, asking the system
// only once.
std::vector<std::string> PortDevices();

// True if COMn names a device that exists (n = 1 ... 9); false for 0. The port is not opened,
// so one held by another program counts as present.
bool PortAvailable(int n);
// The same test for a device path.
bool DevicePresent(const std::string& device);

}  // namespace sonarix
