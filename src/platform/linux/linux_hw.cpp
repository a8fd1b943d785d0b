// The hardware seam as Linux offers it: model-specific registers from the msr
// driver (/dev/cpu/<n>/msr), PCI configuration registers from sysfs, and the
// temperatures from the kernel's own sensor drivers through hwmon (coretemp,
// k10temp, k8temp), which any user may read. Nothing here plays a port: the
// kernel owns the configuration ports and the index/data pairs behind them.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hwaccess/hw_access.h"
#include "hwaccess/library_contract.h"
#include "platform/linux/linux_hwaccess.h"
#include "platform/seam.h"

namespace {

// MSR indices are 32-bit and used as file offsets.
static_assert(sizeof(off_t) >= 8, "file offsets must reach every MSR index");

std::string hardwareRoot;

// Said at most once per run (per root, for the tests).
bool coretempHintGiven = false;
bool k10tempHintGiven = false;
bool k8tempHintGiven = false;

bool ReadAt(const std::string& path, off_t offset, void* bytes, size_t size) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t got = pread(fd, bytes, size, offset);
    close(fd);
    return got == static_cast<ssize_t>(size);
}

bool WriteAt(const std::string& path, off_t offset, const void* bytes, size_t size) {
    // No O_CREAT: a device that does not exist takes no write.
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t put = pwrite(fd, bytes, size, offset);
    close(fd);
    return put == static_cast<ssize_t>(size);
}

std::string MsrPath(int processor) {
    return hardwareRoot + "/dev/cpu/" + std::to_string(processor) + "/msr";
}

// A small text file whole, or "" when it cannot be read.
std::string ReadText(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    char text[128];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return "";
    std::string value(text, static_cast<size_t>(got));
    if (!value.empty() && value.back() == '\n') value.pop_back();
    return value;
}

// A whole decimal number, sign allowed, as sysfs writes one; false for anything else.
bool ParseLong(const std::string& text, long* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE) return false;
    // strtol skips leading blanks, which no sysfs number has.
    if (text[0] != '-' && (text[0] < '0' || text[0] > '9')) return false;
    *value = parsed;
    return true;
}

bool ReadNumber(const std::string& path, long* value) {
    return ParseLong(ReadText(path), value);
}

// A hwmon attribute in millidegrees, as degrees.
bool ReadMillidegrees(const std::string& path, double* degrees) {
    long millidegrees = 0;
    if (!ReadNumber(path, &millidegrees)) return false;
    *degrees = static_cast<double>(millidegrees) / 1000.0;
    return true;
}

// The hwmon devices whose driver is `driver`, by directory.
std::vector<std::string> HwmonDevices(const char* driver) {
    std::vector<std::string> found;
    const std::string classDir = hardwareRoot + "/sys/class/hwmon";
    DIR* dir = opendir(classDir.c_str());
    if (dir == nullptr) return found;
    while (const dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, "hwmon", 5) != 0) continue;
        const std::string device = classDir + "/" + entry->d_name;
        if (ReadText(device + "/name") == driver) found.push_back(device);
    }
    closedir(dir);
    return found;
}

// The temperature inputs of a hwmon device with their labels: temp<N>_label by N.
struct LabelledInput {
    int number;
    std::string label;
};

std::vector<LabelledInput> LabelledInputs(const std::string& device) {
    std::vector<LabelledInput> inputs;
    DIR* dir = opendir(device.c_str());
    if (dir == nullptr) return inputs;
    while (const dirent* entry = readdir(dir)) {
        int number = 0;
        char tail[16] = {};
        if (std::sscanf(entry->d_name, "temp%d_%15s", &number, tail) != 2 || std::strcmp(tail, "label") != 0) continue;
        inputs.push_back({number, ReadText(device + "/" + entry->d_name)});
    }
    closedir(dir);
    // In the driver's order, not the directory's, so that the first match is always the same one.
    std::sort(inputs.begin(), inputs.end(),
              [](const LabelledInput& a, const LabelledInput& b) { return a.number < b.number; });
    return inputs;
}

std::string TempAttribute(const std::string& device, int number, const char* what) {
    return device + "/temp" + std::to_string(number) + "_" + what;
}

// The package a coretemp device covers, from its "Package id P" input; -1 without one.
long CoretempPackage(const std::vector<LabelledInput>& inputs) {
    for (const LabelledInput& input : inputs) {
        long package = 0;
        if (input.label.compare(0, 11, "Package id ") == 0 && ParseLong(input.label.substr(11), &package)) {
            return package;
        }
    }
    return -1;
}

// The coretemp attribute `what` of the core that processor `processor` is on:
// the input labelled "Core C" of the device of its own package. Never a
// "Package id" input, which is the package's hottest point, not this core's.
std::string CoretempAttribute(int processor, const char* what) {
    const std::string topology =
        hardwareRoot + "/sys/devices/system/cpu/cpu" + std::to_string(processor) + "/topology/";
    long package = 0;
    long core = 0;
    if (!ReadNumber(topology + "physical_package_id", &package) || !ReadNumber(topology + "core_id", &core)) return "";
    const std::string label = "Core " + std::to_string(core);
    for (const std::string& device : HwmonDevices("coretemp")) {
        const std::vector<LabelledInput> inputs = LabelledInputs(device);
        if (CoretempPackage(inputs) != package) continue;
        for (const LabelledInput& input : inputs) {
            if (input.label == label) return TempAttribute(device, input.number, what);
        }
        return "";
    }
    return "";
}

// The node a k10temp or k8temp device reads: it is bound to function 3 of
// device 0x18 + node on bus 0, which its "device" link names.
long NodeOfDevice(const std::string& device) {
    char target[PATH_MAX];
    const ssize_t length = readlink((device + "/device").c_str(), target, sizeof target - 1);
    if (length <= 0) return -1;
    target[length] = '\0';
    const char* name = std::strrchr(target, '/');
    name = name != nullptr ? name + 1 : target;
    unsigned domain = 0;
    unsigned bus = 0;
    unsigned slot = 0;
    unsigned function = 0;
    if (std::sscanf(name, "%x:%x:%x.%x", &domain, &bus, &slot, &function) != 4) return -1;
    if (domain != 0 || bus != 0 || function != 3 || slot < 0x18 || slot > 0x1F) return -1;
    return static_cast<long>(slot - 0x18);
}

std::string NodeDevice(const char* driver, uint32_t node) {
    for (const std::string& device : HwmonDevices(driver)) {
        if (NodeOfDevice(device) == static_cast<long>(node)) return device;
    }
    return "";
}

// Configuration space as sysfs gives it: little-endian, by bus, device and function.
std::string ConfigPath(uint32_t address) {
    char name[64];
    std::snprintf(name, sizeof name, "/sys/bus/pci/devices/0000:%02x:%02x.%x/config", hw::ConfigBus(address),
                  hw::ConfigDevice(address), hw::ConfigFunction(address));
    return hardwareRoot + name;
}

bool ReadConfigFile(uint32_t address, uint32_t* value) {
    unsigned char bytes[4];
    if (!ReadAt(ConfigPath(address), static_cast<off_t>(hw::ConfigRegister(address)), bytes, sizeof bytes)) {
        return false;
    }
    *value = uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) | (uint32_t{bytes[3]} << 24);
    return true;
}

void HintOnce(bool& said, const char* text) {
    if (said) return;
    said = true;
    platform::WriteNote(text);
}

}  // namespace

namespace linuxhw {

void SetHardwareRoot(const std::string& root) {
    hardwareRoot = root;
    coretempHintGiven = false;
    k10tempHintGiven = false;
    k8tempHintGiven = false;
}

}  // namespace linuxhw

namespace hw {

// Ready when the first processor's msr node opens. No node means no msr
// driver; a node that refuses us is a matter of rights.
uint8_t OpenAccess(HMODULE* module) {
    *module = nullptr;
    const int fd = open(MsrPath(0).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return ols::kStatusReady;
    }
    if (errno == ENOENT || errno == ENOTDIR || errno == ENXIO || errno == ENODEV) return ols::kStatusDriverNotFound;
    return ols::kStatusNeedsAdministrator;
}

const char* StatusMessage(uint8_t status) {
    switch (status) {
        case ols::kStatusNeedsAdministrator:
            return "les registres MSR sont r\xE9serv\xE9s \xE0 root : ni coefficients ni APERF. "
                   "Relancez avec sudo pour les lire.";
        case ols::kStatusDriverNotFound:
            return "le pilote msr n'est pas charg\xE9 : ni coefficients ni APERF. "
                   "Chargez-le avec : sudo modprobe msr";
        default: return "les registres MSR ne peuvent pas \xEAtre lus : ni coefficients ni APERF.";
    }
}

const char* StatusLineName() {
    return "Pilote msr";
}

void CloseAccess(HMODULE* module) {
    *module = nullptr;
}

// Eight bytes at the register's index, in the processor's byte order.
bool ReadMsr(uint32_t index, uint64_t* value) {
    const int cpu = sched_getcpu();
    if (cpu < 0) return false;
    uint64_t read = 0;
    if (!ReadAt(MsrPath(cpu), static_cast<off_t>(index), &read, sizeof read)) return false;
    *value = read;
    return true;
}

bool MsrAvailable() {
    const int fd = open(MsrPath(0).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool ReadConfig(uint32_t address, uint32_t* value) {
    if (!ConfigEnabled(address)) return false;
    return ReadConfigFile(address, value);
}

bool SelectAndReadConfig(uint32_t address, uint32_t select, uint32_t* value) {
    if (!ConfigEnabled(address)) return false;
    const unsigned char bytes[4] = {static_cast<unsigned char>(select), static_cast<unsigned char>(select >> 8),
                                    static_cast<unsigned char>(select >> 16), static_cast<unsigned char>(select >> 24)};
    if (!WriteAt(ConfigPath(address), static_cast<off_t>(ConfigRegister(address)), bytes, sizeof bytes)) return false;
    return ReadConfigFile(address, value);
}

// The kernel's own drivers use the root complex's index/data pairs under
// their lock; a write from here could change the index under them.
bool ReadIndexedConfig(uint32_t, uint32_t, uint32_t, uint32_t*) {
    return false;
}

bool ReadCoreSensor(int processor, double* degrees) {
    const std::string input = CoretempAttribute(processor, "input");
    return !input.empty() && ReadMillidegrees(input, degrees);
}

bool ReadCoreSensorCritical(int processor, double* degrees) {
    const std::string critical = CoretempAttribute(processor, "crit");
    return !critical.empty() && ReadMillidegrees(critical, degrees);
}

// k10temp's temp1 is Tctl (or the reported temperature before Zen); k8temp
// has a sensor per core, temp1 for core 0 and temp3 for core 1.
bool ReadNodeSensor(uint32_t node, uint32_t core, double* degrees, TemperatureSource* source) {
    std::string device = NodeDevice("k10temp", node);
    if (!device.empty()) {
        if (!ReadMillidegrees(TempAttribute(device, 1, "input"), degrees)) return false;
        *source = TemperatureSource::kK10temp;
        return true;
    }
    device = NodeDevice("k8temp", node);
    if (device.empty() || core > 1) return false;
    if (!ReadMillidegrees(TempAttribute(device, core == 0 ? 1 : 3, "input"), degrees)) return false;
    *source = TemperatureSource::kK8temp;
    return true;
}

void NoteMissingSensor(TemperatureSource wanted) {
    bool* said = nullptr;
    switch (wanted) {
        case TemperatureSource::kCoretemp: said = &coretempHintGiven; break;
        case TemperatureSource::kK10temp: said = &k10tempHintGiven; break;
        case TemperatureSource::kK8temp: said = &k8tempHintGiven; break;
        default: return;
    }
    // The driver's name is the source's.
    const std::string driver = TemperatureSourceName(wanted);
    if (!HwmonDevices(driver.c_str()).empty()) return;
    const std::string hint = "Vexmora: pas de temp\xE9rature sans le pilote " + driver +
                             ". Chargez-le avec : sudo modprobe " + driver + "\n";
    HintOnce(*said, hint.c_str());
}

}  // namespace hw
