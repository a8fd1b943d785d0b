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
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>
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
// Each unreadable sensor file once, however many processors read it.
std::set<std::string> unreadableNoted;

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

// A small text file whole, without its line end: 0, or the error that kept it unread.
int ReadTextFile(const std::string& path, std::string* value) {
    value->clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    char text[128];
    const ssize_t got = read(fd, text, sizeof text - 1);
    const int error = errno;
    close(fd);
    if (got < 0) return error;
    value->assign(text, static_cast<size_t>(got));
    if (!value->empty() && value->back() == '\n') value->pop_back();
    return 0;
}

// A small text file whole, or "" when it cannot be read.
std::string ReadText(const std::string& path) {
    std::string value;
    ReadTextFile(path, &value);
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

// At most this much of a value that is no number is shown, its bytes outside
// printable ASCII as '?': a file is anyone's text.
constexpr size_t kShownValueLength = 24;

// Why a sensor's file gave no reading, in the words of the note.
std::string UnreadableReason(int error, const std::string& value) {
    if (error == EACCES || error == EPERM) return "lecture refus\xE9" "e";
    if (error == ENOENT) return "fichier absent";
    if (error != 0) return std::string("erreur de lecture : ") + std::strerror(error);
    if (value.empty()) return "fichier vide";
    std::string shown = value.substr(0, kShownValueLength);
    for (char& c : shown) {
        if (c < 0x20 || c > 0x7E) c = '?';
    }
    return "\xAB " + shown + " \xBB n'est pas un nombre";
}

void NoteUnreadable(const std::string& path, const std::string& reason) {
    if (!unreadableNoted.insert(path).second) return;
    const std::string note = "Vexmora: temp\xE9rature illisible : " + path + " (" + reason + ")\n";
    platform::WriteNote(note.c_str());
}

// Whether a sensor's attribute must be there: every input has its file, but
// not every input has a critical point.
enum class Attribute { kInput, kLimit };

// A hwmon attribute in millidegrees, as degrees. One that is there but gives no
// number is said on standard error with its path and why, so that the report's
// "Invalide" has its reason.
bool ReadMillidegrees(const std::string& path, double* degrees, Attribute kind = Attribute::kInput) {
    std::string value;
    const int error = ReadTextFile(path, &value);
    long millidegrees = 0;
    if (error == 0 && ParseLong(value, &millidegrees)) {
        *degrees = static_cast<double>(millidegrees) / 1000.0;
        return true;
    }
    if (!(error == ENOENT && kind == Attribute::kLimit)) NoteUnreadable(path, UnreadableReason(error, value));
    return false;
}

// --- The sensors as hwmon lays them out -------------------------------------

// A temperature input of a hwmon device with its label: temp<N>_label by N.
struct LabelledInput {
    int number;
    std::string label;
};

// N of a file named temp<N>_label; false for any other name.
bool LabelNumber(const char* name, int* number) {
    static const char kPrefix[] = "temp";
    if (std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0) return false;
    const char* digits = name + sizeof kPrefix - 1;
    if (*digits < '0' || *digits > '9') return false;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(digits, &end, 10);
    if (errno == ERANGE || parsed > INT_MAX || std::strcmp(end, "_label") != 0) return false;
    *number = static_cast<int>(parsed);
    return true;
}

// One hwmon device: its driver, where its attributes lie and what it monitors.
struct HwmonDevice {
    std::string driver;
    std::string attributes;             // hwmonN, or hwmonN/device where older kernels put them
    std::string boundTo;                // the device it monitors: "0000:00:18.3", "coretemp.0"
    std::vector<LabelledInput> inputs;  // by N
};

// Where the kernel puts one logical processor (its cpuN/topology).
struct ProcessorPlace {
    long package = 0;       // physical_package_id
    long die = 0;           // die_id; 0 on kernels that name no dies
    long core = 0;          // core_id
    long packageRank = 0;   // its package's place among the packages
    long dieRank = 0;       // its die's place among every package's dies
    long dieInPackage = 0;  // its die's place within its package
    long packageDies = 1;   // how many dies its package has
};

// The sensors and the processors' places, read once a run: neither changes
// while the report is written, and a machine of hundreds of processors would
// otherwise rescan them for each one.
struct SensorTable {
    bool read = false;
    std::vector<HwmonDevice> devices;          // by hwmon number
    std::map<int, ProcessorPlace> processors;  // by the system's number
    long packages = 0;
};

SensorTable sensorTable;

std::vector<LabelledInput> LabelledInputs(const std::string& attributes) {
    std::vector<LabelledInput> inputs;
    DIR* dir = opendir(attributes.c_str());
    if (dir == nullptr) return inputs;
    while (const dirent* entry = readdir(dir)) {
        int number = 0;
        if (!LabelNumber(entry->d_name, &number)) continue;
        inputs.push_back({number, ReadText(attributes + "/" + entry->d_name)});
    }
    closedir(dir);
    // In the driver's order, not the directory's, so that the first match is always the same one.
    std::sort(inputs.begin(), inputs.end(),
              [](const LabelledInput& a, const LabelledInput& b) { return a.number < b.number; });
    return inputs;
}

// The number that follows `prefix` in `text` ("Package id 1", "coretemp.1", "Tccd3").
bool NumberAfter(const std::string& text, const char* prefix, long* number) {
    const size_t length = std::strlen(prefix);
    return text.compare(0, length, prefix) == 0 && ParseLong(text.substr(length), number);
}

// The name of the device a hwmon device monitors: the last part of its "device" link.
std::string BoundDeviceName(const std::string& hwmon) {
    char target[PATH_MAX];
    const ssize_t length = readlink((hwmon + "/device").c_str(), target, sizeof target - 1);
    if (length <= 0) return "";
    const std::string path(target, static_cast<size_t>(length));
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A hwmon device as its driver laid it out: its name and attributes in hwmonN,
// or on older kernels in hwmonN/device, the two places libsensors reads.
bool ReadHwmonDevice(const std::string& hwmon, HwmonDevice* device) {
    for (const std::string& dir : {hwmon, hwmon + "/device"}) {
        const std::string name = ReadText(dir + "/name");
        if (name.empty()) continue;
        device->driver = name;
        device->attributes = dir;
        device->boundTo = BoundDeviceName(hwmon);
        device->inputs = LabelledInputs(dir);
        return true;
    }
    return false;
}

void ReadHwmonDevices(SensorTable* table) {
    const std::string classDir = hardwareRoot + "/sys/class/hwmon";
    DIR* dir = opendir(classDir.c_str());
    if (dir == nullptr) return;
    std::vector<std::pair<long, HwmonDevice>> found;
    while (const dirent* entry = readdir(dir)) {
        long number = 0;
        HwmonDevice device;
        if (!NumberAfter(entry->d_name, "hwmon", &number)) continue;
        if (ReadHwmonDevice(classDir + "/" + entry->d_name, &device)) found.emplace_back(number, std::move(device));
    }
    closedir(dir);
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& numbered : found) table->devices.push_back(std::move(numbered.second));
}

// The kernel numbers packages and dies in the order of their ids, which the
// APIC ids share: coretemp names its devices by that logical die number, and
// the sensors' nodes come package by package.
void RankPlaces(SensorTable* table) {
    std::set<long> packages;
    std::set<std::pair<long, long>> dies;
    for (const auto& numbered : table->processors) {
        packages.insert(numbered.second.package);
        dies.insert({numbered.second.package, numbered.second.die});
    }
    for (auto& numbered : table->processors) {
        ProcessorPlace& place = numbered.second;
        const auto die = dies.find({place.package, place.die});
        const auto first = dies.lower_bound({place.package, LONG_MIN});
        place.packageRank = std::distance(packages.begin(), packages.find(place.package));
        place.dieRank = std::distance(dies.begin(), die);
        place.dieInPackage = std::distance(first, die);
        place.packageDies = std::distance(first, dies.upper_bound({place.package, LONG_MAX}));
    }
    table->packages = static_cast<long>(packages.size());
}

void ReadProcessorPlaces(SensorTable* table) {
    const std::string cpuDir = hardwareRoot + "/sys/devices/system/cpu/";
    DIR* dir = opendir(cpuDir.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = readdir(dir)) {
        long number = 0;
        ProcessorPlace place;
        if (!NumberAfter(entry->d_name, "cpu", &number) || number < 0 || number > INT_MAX) continue;
        const std::string topology = cpuDir + entry->d_name + "/topology/";
        if (!ReadNumber(topology + "physical_package_id", &place.package)) continue;
        if (!ReadNumber(topology + "core_id", &place.core)) continue;
        // Kernels before 5.2 name no dies: one per package.
        if (!ReadNumber(topology + "die_id", &place.die)) place.die = 0;
        table->processors[static_cast<int>(number)] = place;
    }
    closedir(dir);
    RankPlaces(table);
}

const SensorTable& Sensors() {
    if (!sensorTable.read) {
        ReadHwmonDevices(&sensorTable);
        ReadProcessorPlaces(&sensorTable);
        sensorTable.read = true;
    }
    return sensorTable;
}

const ProcessorPlace* PlaceOf(int processor) {
    const auto found = Sensors().processors.find(processor);
    return found != Sensors().processors.end() ? &found->second : nullptr;
}

bool HasDriver(const std::string& driver) {
    const std::vector<HwmonDevice>& devices = Sensors().devices;
    return std::any_of(devices.begin(), devices.end(), [&driver](const HwmonDevice& d) { return d.driver == driver; });
}

std::string TempAttribute(const HwmonDevice& device, int number, const char* what) {
    return device.attributes + "/temp" + std::to_string(number) + "_" + what;
}

// The zone a coretemp device covers, as the driver numbers it: its "Package id"
// input names the kernel's logical die (the logical package where a package
// has one die), older kernels' "Physical id" the package's physical id. Before
// Sandy Bridge there is no package input, and the device's own name,
// coretemp.N, carries the same number.
struct CoretempZone {
    long number = -1;
    bool physical = false;
};

CoretempZone ZoneOf(const HwmonDevice& device) {
    CoretempZone zone;
    for (const LabelledInput& input : device.inputs) {
        if (NumberAfter(input.label, "Package id ", &zone.number)) return zone;
        zone.physical = NumberAfter(input.label, "Physical id ", &zone.number);
        if (zone.physical) return zone;
    }
    NumberAfter(device.boundTo, "coretemp.", &zone.number);
    return zone;
}

bool Covers(const CoretempZone& zone, const ProcessorPlace& place) {
    return zone.number == (zone.physical ? place.package : place.dieRank);
}

// The coretemp attribute `what` of the core that processor `processor` is on:
// the input labelled "Core C" (C its core_id) of the device of its own die.
// Never a "Package id" input, which is the package's hottest point, not this core's.
std::string CoretempAttribute(int processor, const char* what) {
    const ProcessorPlace* place = PlaceOf(processor);
    if (place == nullptr) return "";
    const std::string label = "Core " + std::to_string(place->core);
    for (const HwmonDevice& device : Sensors().devices) {
        if (device.driver != "coretemp" || !Covers(ZoneOf(device), *place)) continue;
        for (const LabelledInput& input : device.inputs) {
            if (input.label == label) return TempAttribute(device, input.number, what);
        }
        return "";
    }
    return "";
}

// The node a k10temp or k8temp device reads: it is bound to function 3 of
// device 0x18 + node on bus 0; -1 for a device bound elsewhere.
long NodeOfDevice(const HwmonDevice& device) {
    // domain:bus:slot.function, each hexadecimal.
    const char* name = device.boundTo.c_str();
    unsigned long fields[4] = {};
    const char separators[] = {':', ':', '.', '\0'};
    for (int i = 0; i < 4; ++i) {
        char* end = nullptr;
        fields[i] = std::strtoul(name, &end, 16);
        if (end == name || *end != separators[i]) return -1;
        name = end + 1;
    }
    const unsigned long slot = fields[2];
    if (fields[0] != 0 || fields[1] != 0 || fields[3] != 3 || slot < 0x18 || slot > 0x1F) return -1;
    return static_cast<long>(slot - 0x18);
}

// The devices of `driver` that read a node, by node.
std::vector<const HwmonDevice*> NodeDevices(const char* driver) {
    std::vector<const HwmonDevice*> nodes;
    for (const HwmonDevice& device : Sensors().devices) {
        if (device.driver == driver && NodeOfDevice(device) >= 0) nodes.push_back(&device);
    }
    std::sort(nodes.begin(), nodes.end(),
              [](const HwmonDevice* a, const HwmonDevice* b) { return NodeOfDevice(*a) < NodeOfDevice(*b); });
    return nodes;
}

// The device of the node processor `processor` is on. The kernel gives a
// device per node, and nodes come package by package: one a package on K8,
// most K10 and Zen 2 and later, whatever NUMA nodes an NPS setting makes of
// it; several on multi-die packages (Magny-Cours, Interlagos, Naples), where
// the kernel's die_id tells them apart. NUMA nodes are no guide (NPS4 makes
// four of one node), nor the devices' CPU lists: every node's device sits on
// the first package's bus.
const HwmonDevice* NodeDeviceOf(const char* driver, int processor) {
    const std::vector<const HwmonDevice*> nodes = NodeDevices(driver);
    const long packages = Sensors().packages;
    // One node needs no topology.
    if (packages == 0) return nodes.size() == 1 ? nodes.front() : nullptr;
    const ProcessorPlace* place = PlaceOf(processor);
    if (place == nullptr || nodes.empty() || nodes.size() % static_cast<size_t>(packages) != 0) return nullptr;
    const long perPackage = static_cast<long>(nodes.size()) / packages;
    if (perPackage == 1) return nodes[static_cast<size_t>(place->packageRank)];
    if (place->packageDies != perPackage) return nullptr;  // its dies do not name its nodes
    return nodes[static_cast<size_t>(place->packageRank * perPackage + place->dieInPackage)];
}

// k10temp's Tctl: the input labelled so, or temp1 where there are no labels
// (before Zen). Kernels 4.16 to 5.5 put Tdie, with the offset already taken
// off, in temp1 and Tctl in temp2.
int TctlInput(const HwmonDevice& device) {
    for (const LabelledInput& input : device.inputs) {
        if (input.label == "Tctl") return input.number;
    }
    return 1;
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
    sensorTable = SensorTable{};
    unreadableNoted.clear();
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
    return !critical.empty() && ReadMillidegrees(critical, degrees, Attribute::kLimit);
}

// k8temp has a sensor per core, temp1 for core 0 and temp3 for core 1.
bool ReadNodeSensor(int processor, uint32_t core, double* degrees, TemperatureSource* source) {
    if (const HwmonDevice* device = NodeDeviceOf("k10temp", processor)) {
        if (!ReadMillidegrees(TempAttribute(*device, TctlInput(*device), "input"), degrees)) return false;
        *source = TemperatureSource::kK10temp;
        return true;
    }
    const HwmonDevice* device = NodeDeviceOf("k8temp", processor);
    if (device == nullptr || core > 1) return false;
    if (!ReadMillidegrees(TempAttribute(*device, core == 0 ? 1 : 3, "input"), degrees)) return false;
    *source = TemperatureSource::kK8temp;
    return true;
}

// k10temp labels the CCDs' inputs TccdN, from Zen 2 on.
bool ReadCcdSensors(int processor, uint32_t* node, std::vector<CcdSensor>* sensors) {
    const HwmonDevice* device = NodeDeviceOf("k10temp", processor);
    if (device == nullptr) return false;
    std::vector<CcdSensor> found;
    for (const LabelledInput& input : device->inputs) {
        long number = 0;
        if (!NumberAfter(input.label, "Tccd", &number) || number < 1 || number > INT_MAX) continue;
        CcdSensor sensor;
        sensor.number = static_cast<uint32_t>(number);
        if (sensors != nullptr) {
            sensor.read = ReadMillidegrees(TempAttribute(*device, input.number, "input"), &sensor.degrees);
        }
        found.push_back(sensor);
    }
    if (found.empty()) return false;
    std::sort(found.begin(), found.end(), [](const CcdSensor& a, const CcdSensor& b) { return a.number < b.number; });
    *node = static_cast<uint32_t>(NodeOfDevice(*device));
    if (sensors != nullptr) *sensors = std::move(found);
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
    if (HasDriver(driver)) return;
    const std::string hint = "Vexmora: pas de temp\xE9rature sans le pilote " + driver +
                             ". Chargez-le avec : sudo modprobe " + driver + "\n";
    HintOnce(*said, hint.c_str());
}

}  // namespace hw
