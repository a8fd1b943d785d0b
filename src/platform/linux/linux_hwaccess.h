// The Linux stand-in for the hardware-access library: LoadLibraryA("WinRing0.dll")
// returns it; it reads MSRs through /dev/cpu/<n>/msr and PCI configuration
// registers through /sys/bus/pci/devices/<device>/config.
#pragma once

#include <string>

namespace linuxhw {

// The directory under which dev/ and sys/ are looked for; "" (the default) is the
// real system. Tests point it at a fake tree. The status is taken at the next load.
void SetHardwareRoot(const std::string& root);

}  // namespace linuxhw
