// The Linux hardware seam (linux_hw.cpp): MSRs through /dev/cpu/<n>/msr, PCI
// configuration registers through /sys/bus/pci/devices/<device>/config, and
// temperatures through /sys/class/hwmon.
#pragma once

#include <string>

namespace linuxhw {

// The directory under which dev/ and sys/ are looked for; "" (the default) is the
// real system. Tests point it at a fake tree. It also lets each hint be said once more.
void SetHardwareRoot(const std::string& root);

}  // namespace linuxhw
