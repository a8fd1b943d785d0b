// The Linux hardware seam against a fake /dev and /sys tree: the msr driver's
// nodes, sysfs configuration space and the hwmon sensor drivers, alone and
// under the detection pass and the temperature report.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/report.h"
#include "case_names.h"
#include "hwaccess/hw_access.h"
#include "hwaccess/library_contract.h"
#include "platform/linux/linux_hwaccess.h"
#include "platform/shared/report_stream.h"
#include "sysinfo/system_info.h"

namespace fs = std::filesystem;

namespace {

using case_names::operator<<;

class FakeRoot : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = fs::temp_directory_path() / "vexmora-hw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        linuxhw::SetHardwareRoot(root);
        ASSERT_EQ(sched_getaffinity(0, sizeof savedAffinity, &savedAffinity), 0);
    }

    void TearDown() override {
        sched_setaffinity(0, sizeof savedAffinity, &savedAffinity);
        linuxhw::SetHardwareRoot("");
        fs::remove_all(root);
    }

    // A text file under the fake root, its directories created.
    void Write(const std::string& relative, const std::string& text) {
        const fs::path path = fs::path(root) / relative;
        fs::create_directories(path.parent_path());
        FILE* file = std::fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr) << path;
        std::fputs(text.c_str(), file);
        std::fclose(file);
    }

    // A file under the fake root, `size` zero bytes long, its directories created.
    std::string MakeFile(const std::string& relative, off_t size) {
        const fs::path path = fs::path(root) / relative;
        fs::create_directories(path.parent_path());
        const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        EXPECT_GE(fd, 0) << path;
        EXPECT_EQ(ftruncate(fd, size), 0);
        close(fd);
        return path;
    }

    static void PutBytes(const std::string& path, off_t offset, const std::vector<unsigned char>& bytes) {
        const int fd = open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0) << path;
        EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
        close(fd);
    }

    static std::vector<unsigned char> GetBytes(const std::string& path, off_t offset, size_t count) {
        std::vector<unsigned char> bytes(count);
        const int fd = open(path.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0) << path;
        EXPECT_EQ(pread(fd, bytes.data(), count, offset), static_cast<ssize_t>(count));
        close(fd);
        return bytes;
    }

    // A register of a processor's msr node: eight bytes at its index, as a
    // sparse file stands for the driver's node.
    void PutMsr(int cpu, uint32_t index, uint64_t value) {
        const fs::path node = fs::path(root) / ("dev/cpu/" + std::to_string(cpu) + "/msr");
        if (!fs::exists(node)) MakeFile(fs::relative(node, root), 0);
        std::vector<unsigned char> bytes(8);
        for (size_t i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
        PutBytes(node, static_cast<off_t>(index), bytes);
    }

    // The kernel's topology of one logical processor; die_id only from kernel 5.2.
    void Topology(int cpu, int package, int core, std::optional<int> die = std::nullopt) {
        const std::string dir = "sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
        Write(dir + "physical_package_id", std::to_string(package) + "\n");
        Write(dir + "core_id", std::to_string(core) + "\n");
        if (die) Write(dir + "die_id", std::to_string(*die) + "\n");
    }

    // A hwmon device: its driver's name and its temp<N>_<attribute> files.
    std::string Hwmon(int number, const char* driver, const std::map<std::string, std::string>& attributes) {
        const std::string dir = "sys/class/hwmon/hwmon" + std::to_string(number);
        Write(dir + "/name", std::string(driver) + "\n");
        for (const auto& attribute : attributes) Write(dir + "/" + attribute.first, attribute.second + "\n");
        return dir;
    }

    // The device a hwmon device monitors, as its "device" link names it.
    void BindHwmon(int number, const std::string& device) {
        const fs::path link = fs::path(root) / ("sys/class/hwmon/hwmon" + std::to_string(number)) / "device";
        fs::create_directories(link.parent_path());
        fs::create_symlink("../../../devices/" + device, link);
    }

    static std::string NodeFunction(int node) {
        char slot[64];
        std::snprintf(slot, sizeof slot, "pci0000:00/0000:00:%02x.3", 0x18 + node);
        return slot;
    }

    // A k10temp or k8temp device bound to function 3 of node `node`.
    void NodeHwmon(int number, const char* driver, int node, const std::map<std::string, std::string>& attributes) {
        Hwmon(number, driver, attributes);
        BindHwmon(number, NodeFunction(node));
    }

    // A coretemp device, bound to its platform device coretemp.<zone>.
    void CoretempHwmon(int number, int zone, const std::map<std::string, std::string>& attributes) {
        Hwmon(number, "coretemp", attributes);
        BindHwmon(number, "platform/coretemp." + std::to_string(zone));
    }

    // A device as kernels before hwmon's own attribute groups laid it out: its
    // name and attributes on the monitored device, which hwmonN/device links to.
    void DeviceLayoutHwmon(int number, const std::string& device, const char* driver,
                           const std::map<std::string, std::string>& attributes) {
        const std::string dir = "sys/devices/" + device;
        Write(dir + "/name", std::string(driver) + "\n");
        for (const auto& attribute : attributes) Write(dir + "/" + attribute.first, attribute.second + "\n");
        BindHwmon(number, device);
    }

    // The processors this process may run on, the first `most` of them.
    std::vector<int> AllowedProcessors(size_t most) const {
        std::vector<int> cpus;
        for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < most; ++cpu) {
            if (CPU_ISSET(cpu, &savedAffinity)) cpus.push_back(cpu);
        }
        return cpus;
    }

    static void RunOn(int cpu) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    }

    // A Unix socket at `path`: open(2) refuses it with ENXIO.
    static void BindSocket(const fs::path& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(path.native().size(), sizeof address.sun_path) << path;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
        close(fd);
    }

    std::string root;
    cpu_set_t savedAffinity;
};

// --- The msr driver -----------------------------------------------------------

TEST_F(FakeRoot, StatusFollowsTheMsrNode) {
    constexpr int kDependsOnRights = -1;
    struct Row {
        const char* name;
        void (*make)(const fs::path& node);
        int status;
    };
    const Row rows[] = {
        {"no msr driver", [](const fs::path&) {}, ols::kStatusDriverNotFound},
        {"cpu directory without node", [](const fs::path& node) { fs::create_directories(node.parent_path()); },
         ols::kStatusDriverNotFound},
        {"readable node",
         [](const fs::path& node) {
             fs::create_directories(node.parent_path());
             close(open(node.c_str(), O_CREAT | O_WRONLY, 0600));
         },
         ols::kStatusReady},
        // A name that is there but refuses every opener, root included.
        {"node that cannot be opened",
         [](const fs::path& node) {
             fs::create_directories(node.parent_path());
             fs::create_symlink("msr", node);
         },
         ols::kStatusNeedsAdministrator},
        // A device node whose driver is not loaded opens with ENXIO, as a socket does.
        {"node with no driver behind it",
         [](const fs::path& node) {
             fs::create_directories(node.parent_path());
             BindSocket(node);
         },
         ols::kStatusDriverNotFound},
        {"link to a missing node",
         [](const fs::path& node) {
             fs::create_directories(node.parent_path());
             fs::create_symlink("gone", node);
         },
         ols::kStatusDriverNotFound},
        // What an ordinary user meets (root reads through the mode, and then it is ready).
        {"node without read permission",
         [](const fs::path& node) {
             fs::create_directories(node.parent_path());
             close(open(node.c_str(), O_CREAT | O_WRONLY, 0000));
         },
         kDependsOnRights},
    };
    int index = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string rowRoot = root + "/row" + std::to_string(index++);
        fs::create_directories(rowRoot);
        const fs::path node = fs::path(rowRoot) / "dev/cpu/0/msr";
        row.make(node);
        int status = row.status;
        if (status == kDependsOnRights) {
            const int fd = open(node.c_str(), O_RDONLY);
            status = fd >= 0 ? ols::kStatusReady : ols::kStatusNeedsAdministrator;
            if (fd >= 0) close(fd);
        }
        linuxhw::SetHardwareRoot(rowRoot);
        testing::internal::CaptureStderr();
        HMODULE module = reinterpret_cast<HMODULE>(&index);
        EXPECT_EQ(hw::OpenAccess(&module), status);
        EXPECT_EQ(module, nullptr);  // no library is opened
        EXPECT_EQ(hw::MsrAvailable(), status == ols::kStatusReady);
        hw::CloseAccess(&module);
        // The detection pass gives the one warning; opening says nothing.
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
}

// Each warning says what a Linux user can do, in Linux's words.
TEST_F(FakeRoot, StatusWordsNameWhatLinuxHas) {
    struct Row {
        const char* name;
        uint8_t status;
        const char* advice;
    };
    const Row rows[] = {
        {"rights", ols::kStatusNeedsAdministrator, "sudo"},
        {"no driver", ols::kStatusDriverNotFound, "sudo modprobe msr"},
        {"anything else", ols::kNoStatus, "MSR"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string message = hw::StatusMessage(row.status);
        EXPECT_NE(message.find(row.advice), std::string::npos) << message;
        for (const char* windowsWord : {"WinRing0", "administrateur", "Driver"}) {
            EXPECT_EQ(message.find(windowsWord), std::string::npos) << message;
        }
    }
    EXPECT_STREQ(hw::StatusLineName(), "Pilote msr");
}

TEST_F(FakeRoot, MsrReadsTheCallingProcessorsNodeAtTheRegisterIndex) {
    const std::vector<int> cpus = AllowedProcessors(4);
    // Each register is eight bytes at its own index, so neighbours closer than that would overlap.
    const uint32_t indices[] = {0x10, 0x198, 0x1A2, 0xC0010015u};
    auto valueOf = [](int cpu, uint32_t index) { return (uint64_t{0xA0u + static_cast<unsigned>(cpu)} << 56) | index; };
    for (int cpu : cpus) {
        // The highest index ends the file, so a read one byte further runs past its end.
        for (uint32_t index : indices) PutMsr(cpu, index, valueOf(cpu, index));
    }
    for (int cpu : cpus) {
        SCOPED_TRACE(cpu);
        RunOn(cpu);
        for (uint32_t index : indices) {
            uint64_t value = 0;
            ASSERT_TRUE(hw::ReadMsr(index, &value)) << std::hex << index;
            EXPECT_EQ(value, valueOf(cpu, index)) << std::hex << index;
        }
        uint64_t untouched = 7;
        EXPECT_FALSE(hw::ReadMsr(0xC0010016u, &untouched));  // past the end of the node
        EXPECT_EQ(untouched, 7u);
    }
    // A processor without its node reads nothing.
    fs::remove(fs::path(root) / ("dev/cpu/" + std::to_string(sched_getcpu())) / "msr");
    uint64_t value = 0;
    EXPECT_FALSE(hw::ReadMsr(0x10, &value));
}

// --- PCI configuration space ----------------------------------------------------

TEST_F(FakeRoot, ConfigurationReadsTheAddressedDevicesFile) {
    const std::string northbridge = MakeFile("sys/bus/pci/devices/0000:00:18.3/config", 256);
    const std::string other = MakeFile("sys/bus/pci/devices/0000:1a:1f.7/config", 4096);
    PutBytes(northbridge, 0xA4, {0x78, 0x56, 0x34, 0x12});
    PutBytes(other, 0xFC, {0x01, 0x02, 0x03, 0x04});

    uint32_t value = 0;
    ASSERT_TRUE(hw::ReadConfig(hw::ConfigAddress(0, 0x18, 3, 0xA4), &value));
    EXPECT_EQ(value, 0x12345678u);
    ASSERT_TRUE(hw::ReadConfig(hw::ConfigAddress(0x1A, 0x1F, 7, 0xFC), &value));
    EXPECT_EQ(value, 0x04030201u);
    EXPECT_FALSE(hw::ReadConfig(hw::ConfigAddress(0, 0x19, 3, 0xA4), &value));  // no such device
    EXPECT_FALSE(hw::ReadConfig(hw::ConfigAddress(0, 0x18, 3, 0xA4) & 0x7FFFFFFFu, &value));  // not enabled

    // K8's sensor register: the selection is written, then the register read back.
    ASSERT_TRUE(hw::SelectAndReadConfig(hw::ConfigAddress(0, 0x18, 3, 0xE4), 4, &value));
    EXPECT_EQ(value, 4u);
    EXPECT_EQ(GetBytes(northbridge, 0xE4, 4), (std::vector<unsigned char>{4, 0, 0, 0}));
}

// The root complex's index/data pairs belong to the kernel's drivers: nothing
// is written there, and nothing read through them.
TEST_F(FakeRoot, NoIndexedReadTouchesTheRootComplex) {
    const std::string rootComplex = MakeFile("sys/bus/pci/devices/0000:00:00.0/config", 256);
    PutBytes(rootComplex, hw::kSmnDataRegister, {0x00, 0x00, 0x40, 0x5A});
    uint32_t value = 0;
    EXPECT_FALSE(hw::ReadIndexedConfig(hw::ConfigAddress(0, 0, 0, hw::kSmnIndexRegister),
                                       hw::ConfigAddress(0, 0, 0, hw::kSmnDataRegister), 0x00059800, &value));
    EXPECT_EQ(GetBytes(rootComplex, hw::kSmnIndexRegister, 4), (std::vector<unsigned char>{0, 0, 0, 0}));
}

// --- coretemp -------------------------------------------------------------------

// Two packages whose devices are listed in the other order, each with its
// "Package id" input first; processors 0 to 3 on package 0 (2 and 3 are the
// hyper-threads of cores 0 and 1), processors 4 and 5 on package 1.
class Coretemp : public FakeRoot {
protected:
    void SetUp() override {
        FakeRoot::SetUp();
        Hwmon(3, "coretemp",
              {{"temp1_label", "Package id 1"}, {"temp1_input", "71000"}, {"temp1_crit", "96000"},
               {"temp2_label", "Core 0"}, {"temp2_input", "61000"}, {"temp2_crit", "96000"},
               {"temp3_label", "Core 4"}, {"temp3_input", "-5000"},
               // Numbered as the cores came online: core 10 before core 1.
               {"temp4_label", "Core 10"}, {"temp4_input", "70000"},
               {"temp5_label", "Core 1"}, {"temp5_input", "62000"},
               {"temp6_label", "Core 5"}, {"temp6_input", "41000x"}});
        Hwmon(1, "coretemp",
              {{"temp1_label", "Package id 0"}, {"temp1_input", "55000"}, {"temp1_crit", "100000"},
               {"temp2_label", "Core 0"}, {"temp2_input", "41000"}, {"temp2_crit", "100000"},
               {"temp3_label", "Core 1"}, {"temp3_input", "43500"}, {"temp3_crit", "100000"},
               // Core 2's input went missing; core 3's is no number.
               {"temp4_label", "Core 2"},
               {"temp5_label", "Core 3"}, {"temp5_input", "n/a"}});
        // Another sensor driver beside them is never taken for a core.
        Hwmon(0, "acpitz", {{"temp1_label", "Core 9"}, {"temp1_input", "30000"}});
        Topology(0, 0, 0);
        Topology(1, 0, 1);
        Topology(2, 0, 0);
        Topology(3, 0, 1);
        Topology(4, 1, 0);
        Topology(5, 1, 4);
        Topology(6, 0, 2);
        Topology(7, 0, 3);
        Topology(8, 0, 9);  // only a "Package id" input could stand for it
        Topology(9, 2, 0);  // a package with no device
        Topology(10, 1, 1);
        Topology(11, 1, 5);
    }
};

struct CoreCase : case_names::Named {
    int processor;
    std::optional<double> degrees;
};

TEST_F(Coretemp, EachProcessorReadsItsOwnPackagesCoreInput) {
    const CoreCase cases[] = {
        {{"first core of package 0"}, 0, 41.0},
        {{"second core of package 0"}, 1, 43.5},
        {{"hyper-thread shares its core's input"}, 2, 41.0},
        {{"other hyper-thread"}, 3, 43.5},
        {{"same core number on package 1"}, 4, 61.0},
        {{"negative reading is a reading"}, 5, -5.0},
        {{"core input missing"}, 6, std::nullopt},
        {{"core input not a number"}, 7, std::nullopt},
        {{"no core input beside the package's"}, 8, std::nullopt},
        {{"package without a device"}, 9, std::nullopt},
        {{"core 1 is not core 10"}, 10, 62.0},
        {{"number with a tail"}, 11, std::nullopt},
        {{"processor without topology"}, 12, std::nullopt},
    };
    for (const CoreCase& c : cases) {
        SCOPED_TRACE(c.name);
        double degrees = 1234;
        ASSERT_EQ(hw::ReadCoreSensor(c.processor, &degrees), c.degrees.has_value());
        EXPECT_EQ(degrees, c.degrees.value_or(1234));
    }
}

TEST_F(Coretemp, CriticalPointComesFromTheSameInput) {
    double degrees = 0;
    ASSERT_TRUE(hw::ReadCoreSensorCritical(0, &degrees));
    EXPECT_EQ(degrees, 100.0);
    ASSERT_TRUE(hw::ReadCoreSensorCritical(4, &degrees));
    EXPECT_EQ(degrees, 96.0);
    EXPECT_FALSE(hw::ReadCoreSensorCritical(5, &degrees));  // that input has no critical point
}

// Each kernel names a coretemp device by the zone it covers: the logical die
// (the logical package where a package has one die), or on kernels before 3.14
// the physical package id. Every machine here has two zones, the first at
// 41.0 degrees (critical 100), the second at 51.0 (critical 90); the processor
// asked for is in the second.
TEST_F(FakeRoot, CoretempDevicesAreMatchedByTheZoneTheDriverNamed) {
    const auto zones = [this](const char* first, const char* second) {
        Hwmon(1, "coretemp", {{"temp1_label", second}, {"temp2_label", "Core 0"}, {"temp2_input", "51000"},
                              {"temp2_crit", "90000"}});
        Hwmon(2, "coretemp", {{"temp1_label", first}, {"temp2_label", "Core 0"}, {"temp2_input", "41000"},
                              {"temp2_crit", "100000"}});
    };
    struct Machine : case_names::Named {
        std::function<void()> make;
    };
    const Machine machines[] = {
        {{"package ids that are not 0 to n-1"},
         [&] {
             zones("Package id 0", "Package id 1");
             Topology(0, 0, 0);
             Topology(1, 2, 0);
         }},
        {{"two dies a package"},
         [&] {
             zones("Package id 0", "Package id 1");
             Topology(0, 0, 0, 0);
             Topology(1, 0, 0, 1);
         }},
        {{"physical ids before 3.14"},
         [&] {
             zones("Physical id 0", "Physical id 2");
             Topology(0, 0, 0);
             Topology(1, 2, 0);
         }},
        {{"no package input (before Sandy Bridge)"},
         [this] {
             Hwmon(1, "coretemp", {{"temp2_label", "Core 0"}, {"temp2_input", "51000"}, {"temp2_crit", "90000"}});
             BindHwmon(1, "platform/coretemp.1");
             CoretempHwmon(2, 0, {{"temp2_label", "Core 0"}, {"temp2_input", "41000"}, {"temp2_crit", "100000"}});
             Topology(0, 0, 0);
             Topology(1, 1, 0);
         }},
        {{"attributes in hwmonN/device (before 3.13)"},
         [this] {
             DeviceLayoutHwmon(1, "platform/coretemp.1", "coretemp",
                               {{"temp1_label", "Physical id 1"}, {"temp2_label", "Core 0"}, {"temp2_input", "51000"},
                                {"temp2_crit", "90000"}});
             DeviceLayoutHwmon(2, "platform/coretemp.0", "coretemp",
                               {{"temp1_label", "Physical id 0"}, {"temp2_label", "Core 0"}, {"temp2_input", "41000"},
                                {"temp2_crit", "100000"}});
             Topology(0, 0, 0);
             Topology(1, 1, 0);
         }},
    };
    for (const Machine& machine : machines) {
        SCOPED_TRACE(machine.name);
        fs::remove_all(root + "/sys");
        machine.make();
        linuxhw::SetHardwareRoot(root);
        double degrees = 0;
        double critical = 0;
        ASSERT_TRUE(hw::ReadCoreSensor(0, &degrees));
        EXPECT_EQ(degrees, 41.0);
        ASSERT_TRUE(hw::ReadCoreSensor(1, &degrees));
        EXPECT_EQ(degrees, 51.0);
        ASSERT_TRUE(hw::ReadCoreSensorCritical(1, &critical));
        EXPECT_EQ(critical, 90.0);
    }
}

// --- k10temp and k8temp ---------------------------------------------------------

struct NodeCase : case_names::Named {
    int processor;
    std::optional<double> degrees;
    hw::TemperatureSource source;
};

void ExpectNodeReadings(const std::vector<NodeCase>& cases, uint32_t core = 0) {
    for (const NodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        double degrees = 1234;
        hw::TemperatureSource source = hw::TemperatureSource::kNone;
        ASSERT_EQ(hw::ReadNodeSensor(c.processor, core, &degrees, &source), c.degrees.has_value());
        EXPECT_EQ(degrees, c.degrees.value_or(1234));
        EXPECT_EQ(source, c.source);
    }
}

// A two-socket Zen 2 or later: one k10temp device per package, on function 3 of
// devices 0x18 and 0x19, both on the first package's bus. Processors 0 and 1 are
// on package 0, 2 and 3 on package 1; processor 4 has no topology.
TEST_F(FakeRoot, EachProcessorReadsTheNodeOfItsOwnPackage) {
    NodeHwmon(3, "k10temp", 1, {{"temp1_label", "Tctl"}, {"temp1_input", "38250"}});
    NodeHwmon(2, "k10temp", 0, {{"temp1_label", "Tctl"}, {"temp1_input", "45125"}});
    // A device the driver names, bound elsewhere than a node's function 3.
    Hwmon(1, "k10temp", {{"temp1_input", "99000"}});
    BindHwmon(1, "pci0000:00/0000:00:18.4");
    Topology(0, 0, 0);
    Topology(1, 0, 1);
    Topology(2, 1, 0);
    Topology(3, 1, 1);
    ExpectNodeReadings({
        {{"first package"}, 0, 45.125, hw::TemperatureSource::kK10temp},
        {{"first package's other core"}, 1, 45.125, hw::TemperatureSource::kK10temp},
        {{"second package"}, 2, 38.25, hw::TemperatureSource::kK10temp},
        {{"second package's other core"}, 3, 38.25, hw::TemperatureSource::kK10temp},
        {{"processor without topology"}, 4, std::nullopt, hw::TemperatureSource::kNone},
    });
}

// Multi-die packages (Naples, Magny-Cours) have a node per die, numbered
// package by package; the kernel's die_id tells a processor's die apart.
TEST_F(FakeRoot, MultiDiePackagesReadTheNodeOfTheirDie) {
    for (int node = 0; node < 4; ++node) {
        NodeHwmon(node, "k10temp", node, {{"temp1_input", std::to_string(40000 + 1000 * node)}});
    }
    Topology(0, 0, 0, 0);
    Topology(1, 0, 8, 1);
    Topology(2, 1, 0, 2);
    Topology(3, 1, 8, 3);
    ExpectNodeReadings({
        {{"first die of the first package"}, 0, 40.0, hw::TemperatureSource::kK10temp},
        {{"second die of the first package"}, 1, 41.0, hw::TemperatureSource::kK10temp},
        {{"first die of the second package"}, 2, 42.0, hw::TemperatureSource::kK10temp},
        {{"second die of the second package"}, 3, 43.0, hw::TemperatureSource::kK10temp},
    });

    // Without die ids the nodes cannot be told apart, and no processor gets another's reading.
    for (int cpu = 0; cpu < 4; ++cpu) {
        fs::remove(root + "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/die_id");
    }
    linuxhw::SetHardwareRoot(root);
    ExpectNodeReadings({{{"dies not named"}, 1, std::nullopt, hw::TemperatureSource::kNone}});
}

TEST_F(FakeRoot, K8tempGivesEachOfTheTwoCoresItsSensor) {
    NodeHwmon(0, "k8temp", 0, {{"temp1_input", "30000"}, {"temp3_input", "32000"}});
    Topology(0, 0, 0);
    const NodeCase core0 = {{"core 0"}, 0, 30.0, hw::TemperatureSource::kK8temp};
    const NodeCase core1 = {{"core 1"}, 0, 32.0, hw::TemperatureSource::kK8temp};
    const NodeCase none = {{"no third core"}, 0, std::nullopt, hw::TemperatureSource::kNone};
    ExpectNodeReadings({core0}, 0);
    ExpectNodeReadings({core1}, 1);
    ExpectNodeReadings({none}, 2);
}

// Each kernel's k10temp as it lays its Tctl out, on a single node.
TEST_F(FakeRoot, TctlIsFoundWhereEachKernelPutsIt) {
    struct Layout : case_names::Named {
        std::function<void()> make;
        std::optional<double> degrees;
    };
    const Layout layouts[] = {
        {{"labelled Tctl in temp1 (5.6 and later)"},
         [this] {
             NodeHwmon(0, "k10temp", 0,
                            {{"temp1_label", "Tctl"}, {"temp1_input", "70000"}, {"temp2_label", "Tdie"},
                             {"temp2_input", "50000"}});
         },
         70.0},
        {{"Tdie in temp1 and Tctl in temp2 (4.16 to 5.5)"},
         [this] {
             NodeHwmon(0, "k10temp", 0,
                            {{"temp1_label", "Tdie"}, {"temp1_input", "50000"}, {"temp2_label", "Tctl"},
                             {"temp2_input", "70000"}});
         },
         70.0},
        {{"temp1 without a label (before Zen)"},
         [this] { NodeHwmon(0, "k10temp", 0, {{"temp1_input", "57125"}}); }, 57.125},
        {{"attributes in hwmonN/device (older kernels)"},
         [this] { DeviceLayoutHwmon(0, NodeFunction(0), "k10temp", {{"temp1_input", "48500"}}); },
         48.5},
        {{"hwmonN/device without a name is no device"},
         [this] {
             DeviceLayoutHwmon(0, NodeFunction(0), "k10temp", {{"temp1_input", "48500"}});
             fs::remove(root + "/sys/devices/" + NodeFunction(0) + "/name");
         },
         std::nullopt},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        fs::remove_all(root + "/sys");
        Topology(0, 0, 0);
        layout.make();
        linuxhw::SetHardwareRoot(root);
        ExpectNodeReadings({{{layout.name}, 0, layout.degrees,
                             layout.degrees ? hw::TemperatureSource::kK10temp : hw::TemperatureSource::kNone}});
    }
}

// --- Inputs that give no reading -------------------------------------------------

// Whatever keeps an input from a reading is said once on standard error, with
// the input's path and why; the processor's reading is still none.
TEST_F(FakeRoot, AnUnreadableInputIsNamedOnceWithItsReason) {
    constexpr const char* kDependsOnRights = nullptr;
    struct Row : case_names::Named {
        std::function<void(const fs::path& input)> make;
        const char* reason;
    };
    const Row rows[] = {
        {{"n/a"}, [](const fs::path& input) { std::ofstream(input) << "n/a\n"; },
         "(\xC2\xAB n/a \xC2\xBB n'est pas un nombre)"},
        {{"a number with a tail"}, [](const fs::path& input) { std::ofstream(input) << "41000x\n"; },
         "(\xC2\xAB 41000x \xC2\xBB n'est pas un nombre)"},
        {{"control bytes"}, [](const fs::path& input) { std::ofstream(input) << "\x1b[2J\n"; },
         "(\xC2\xAB ?[2J \xC2\xBB n'est pas un nombre)"},
        {{"empty"}, [](const fs::path& input) { std::ofstream{input}; }, "(fichier vide)"},
        {{"missing"}, [](const fs::path&) {}, "(fichier absent)"},
        {{"not a file"}, [](const fs::path& input) { fs::create_directory(input); },
         "(erreur de lecture : "},
        // What an ordinary user meets where the file is kept from him (root reads through the mode).
        {{"permission denied"},
         [](const fs::path& input) {
             std::ofstream(input) << "45000\n";
             fs::permissions(input, fs::perms::none);
         },
         kDependsOnRights},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(root + "/sys");
        Topology(0, 0, 0);
        NodeHwmon(0, "k10temp", 0, {{"temp1_label", "Tctl"}});
        const fs::path input = fs::path(root) / "sys/class/hwmon/hwmon0/temp1_input";
        row.make(input);
        const char* reason = row.reason;
        if (reason == kDependsOnRights) {
            const int fd = open(input.c_str(), O_RDONLY);
            if (fd >= 0) close(fd);
            if (fd >= 0) continue;  // root: the file reads
            reason = "(lecture refus\xC3\xA9" "e)";
        }
        linuxhw::SetHardwareRoot(root);
        testing::internal::CaptureStderr();
        double degrees = 1234;
        hw::TemperatureSource source = hw::TemperatureSource::kNone;
        EXPECT_FALSE(hw::ReadNodeSensor(0, 0, &degrees, &source));
        EXPECT_FALSE(hw::ReadNodeSensor(0, 0, &degrees, &source));
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(degrees, 1234);
        EXPECT_EQ(said.rfind("Vexmora: temp\xC3\xA9rature illisible : " + input.string() + " " + reason, 0), 0u)
            << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    }
}

// A critical point the driver does not give is no fault; one it gives and that cannot be read is.
TEST_F(FakeRoot, OnlyACriticalPointThatIsThereIsNamed) {
    Topology(0, 0, 0);
    Topology(1, 0, 1);
    Hwmon(0, "coretemp",
          {{"temp1_label", "Package id 0"}, {"temp2_label", "Core 0"}, {"temp2_input", "41000"},
           {"temp3_label", "Core 1"}, {"temp3_input", "42000"}, {"temp3_crit", "n/a"}});
    testing::internal::CaptureStderr();
    double degrees = 0;
    EXPECT_FALSE(hw::ReadCoreSensorCritical(0, &degrees));
    const std::string silent = testing::internal::GetCapturedStderr();
    EXPECT_EQ(silent, "");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(hw::ReadCoreSensorCritical(1, &degrees));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("/sys/class/hwmon/hwmon0/temp3_crit (\xC2\xAB n/a"), std::string::npos) << said;
}

// --- Hints ----------------------------------------------------------------------

TEST_F(FakeRoot, AMissingDriverIsNamedOnceAndAPresentOneNever) {
    struct Row {
        const char* name;
        hw::TemperatureSource wanted;
        const char* advice;
    };
    const Row rows[] = {
        {"coretemp", hw::TemperatureSource::kCoretemp, "sudo modprobe coretemp"},
        {"k10temp", hw::TemperatureSource::kK10temp, "sudo modprobe k10temp"},
        {"k8temp", hw::TemperatureSource::kK8temp, "sudo modprobe k8temp"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        linuxhw::SetHardwareRoot(root);
        testing::internal::CaptureStderr();
        hw::NoteMissingSensor(row.wanted);
        hw::NoteMissingSensor(row.wanted);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_EQ(said.rfind("Vexmora: ", 0), 0u) << said;
        EXPECT_NE(said.find(row.advice), std::string::npos) << said;
        EXPECT_NE(said.find("temp\xC3\xA9rature"), std::string::npos) << said;  // UTF-8 on the terminal

        // With the driver loaded there is nothing to load.
        linuxhw::SetHardwareRoot(root);
        Hwmon(7, row.name, {});
        testing::internal::CaptureStderr();
        hw::NoteMissingSensor(row.wanted);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        fs::remove_all(fs::path(root) / "sys/class/hwmon/hwmon7");
    }
}

// --- Under the detection pass and the report ------------------------------------

// A recorded Haswell-EP (family 6, model 0x3F: its Tj max is read from MSR
// 0x1A2) detected on this machine's processors against the fake tree.
class HaswellOnFakeRoot : public FakeRoot {
protected:
    // The report and the temperature section as printed, and what standard error said.
    std::string Report(CSystemInfo& info, std::string* said) {
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        info.Detect(VEXMORA_FIXTURES "/dumps/GenuineIntel00306F2_HaswellEP_CPUID.txt");
        PrintReport(info);
        PrintIntelTemperatures(info);
        platform::FlushReportStream();
        const std::string out = testing::internal::GetCapturedStdout();
        *said = testing::internal::GetCapturedStderr();
        return out;
    }

    static bool Has(const std::string& text, const std::string& line) {
        return text.find(line) != std::string::npos;
    }
};

// Root with the msr driver: every value comes from the nodes (read with pread).
TEST_F(HaswellOnFakeRoot, MsrNodesReachTheMultiplierAndTemperatureLines) {
    for (int cpu : AllowedProcessors(CPU_SETSIZE)) {
        PutMsr(cpu, 0xE8, 0x1000);       // APERF: readable and not 0
        PutMsr(cpu, 0xCE, 0x2300);       // maximum non-turbo ratio 35
        PutMsr(cpu, 0x198, 0x1C00);      // current ratio 28
        PutMsr(cpu, 0x1A2, 0x00690000);  // Tj max 105
        PutMsr(cpu, 0x19C, 0x88350000);  // valid, 53 below Tj max
    }
    CSystemInfo info;
    std::string said;
    const std::string out = Report(info, &said);
    EXPECT_EQ(info.driverStatus, 0);
    EXPECT_FALSE(Has(out, "Pilote msr")) << out;
    EXPECT_EQ(said.find("modprobe"), std::string::npos) << said;
    EXPECT_TRUE(Has(out, "CoefMaxi=35.0 CoefActuel=28.0\n")) << out;
    EXPECT_TRUE(Has(out, "Tj(Max) = 105\xC2\xB0" "C\n")) << out;
    EXPECT_TRUE(Has(out, "Tcore0 = 52.0\xC2\xB0" "C\n")) << out;
    EXPECT_EQ(info.temperatureSource, hw::TemperatureSource::kMsr);
}

// Root with the msr driver and coretemp: the readings are the driver's, which
// any user gets too; Tj max is still the MSR's.
TEST_F(HaswellOnFakeRoot, CoretempComesFirstEvenWithTheMsrDriverReady) {
    std::map<std::string, std::string> inputs = {{"temp1_label", "Package id 0"}, {"temp1_input", "66000"}};
    const std::vector<int> cpus = AllowedProcessors(CPU_SETSIZE);
    for (size_t i = 0; i < cpus.size(); ++i) {
        PutMsr(cpus[i], 0x1A2, 0x00690000);  // Tj max 105
        PutMsr(cpus[i], 0x19C, 0x88350000);  // valid, 53 below Tj max: 52.0
        Topology(cpus[i], 0, static_cast<int>(i));
        const std::string n = std::to_string(i + 2);
        inputs["temp" + n + "_label"] = "Core " + std::to_string(i);
        inputs["temp" + n + "_input"] = "40000";
    }
    Hwmon(0, "coretemp", inputs);
    CSystemInfo info;
    std::string said;
    const std::string out = Report(info, &said);
    EXPECT_EQ(info.driverStatus, 0);
    EXPECT_TRUE(Has(out, "Tj(Max) = 105\xC2\xB0" "C\n")) << out;
    EXPECT_TRUE(Has(out, "Tcore0 = 40.0\xC2\xB0" "C\n")) << out;
    EXPECT_FALSE(Has(out, "52.0")) << out;
    EXPECT_EQ(info.temperatureSource, hw::TemperatureSource::kCoretemp);
}

// Any user without the msr driver: coretemp gives the temperatures and Tj max.
TEST_F(HaswellOnFakeRoot, CoretempGivesEveryUserTheTemperatures) {
    std::map<std::string, std::string> inputs = {{"temp1_label", "Package id 0"}, {"temp1_input", "66000"},
                                                 {"temp1_crit", "90000"}};
    const std::vector<int> cpus = AllowedProcessors(CPU_SETSIZE);
    for (size_t i = 0; i < cpus.size(); ++i) {
        Topology(cpus[i], 0, static_cast<int>(i));
        const std::string n = std::to_string(i + 2);
        inputs["temp" + n + "_label"] = "Core " + std::to_string(i);
        inputs["temp" + n + "_input"] = std::to_string(40000 + 1000 * i);
        inputs["temp" + n + "_crit"] = "95000";
    }
    Hwmon(0, "coretemp", inputs);
    CSystemInfo info;
    std::string said;
    const std::string out = Report(info, &said);
    EXPECT_EQ(info.driverStatus, ols::kStatusDriverNotFound);
    EXPECT_TRUE(Has(out, "Pilote msr : erreur 3\n\n")) << out;
    EXPECT_TRUE(Has(said, "sudo modprobe msr")) << said;
    EXPECT_FALSE(Has(said, "coretemp")) << said;
    EXPECT_TRUE(Has(out, "Tj(Max) = 95\xC2\xB0" "C\n")) << out;  // the core's critical point, not the package's
    EXPECT_TRUE(Has(out, "Tcore0 = 40.0\xC2\xB0" "C\n")) << out;
    if (cpus.size() > 1 && info.packageCount == 1) {
        EXPECT_TRUE(Has(out, "Tcore1 = 41.0\xC2\xB0" "C\n")) << out;
    }
    EXPECT_EQ(info.temperatureSource, hw::TemperatureSource::kCoretemp);
}

// Neither the msr driver nor coretemp: the report says so as always, and
// standard error names the driver to load, once.
TEST_F(HaswellOnFakeRoot, WithNeitherTheUserIsToldWhatToLoad) {
    CSystemInfo info;
    std::string said;
    const std::string out = Report(info, &said);
    EXPECT_TRUE(Has(out, "Tj(Max) = 100\xC2\xB0" "C\n")) << out;
    EXPECT_TRUE(Has(out, "Tcore0 = Invalide\n")) << out;
    const size_t first = said.find("sudo modprobe coretemp");
    ASSERT_NE(first, std::string::npos) << said;
    EXPECT_EQ(said.find("sudo modprobe coretemp", first + 1), std::string::npos) << said;
    EXPECT_EQ(info.temperatureSource, hw::TemperatureSource::kNone);
}

// A two-socket Haswell-EP as the kernel lays it out: a coretemp device per
// package, named by the kernel's logical die (its "Package id" input and its
// platform device coretemp.N) and listed in the other order; the first
// processor walked on the first socket, the second on the second, both core 0.
TEST_F(HaswellOnFakeRoot, EachSocketsCoresReadTheirOwnDevice) {
    const std::vector<int> cpus = AllowedProcessors(2);
    if (cpus.size() < 2) GTEST_SKIP() << "needs two processors";
    CoretempHwmon(1, 1,
                  {{"temp1_label", "Package id 1"}, {"temp1_input", "60000"}, {"temp1_crit", "88000"},
                   {"temp2_label", "Core 0"}, {"temp2_input", "51000"}, {"temp2_crit", "88000"}});
    CoretempHwmon(2, 0,
                  {{"temp1_label", "Package id 0"}, {"temp1_input", "50000"}, {"temp1_crit", "90000"},
                   {"temp2_label", "Core 0"}, {"temp2_input", "41000"}, {"temp2_crit", "90000"}});
    Topology(cpus[0], 0, 0, 0);
    Topology(cpus[1], 1, 0, 0);
    CSystemInfo info;
    std::string said;
    const std::string out = Report(info, &said);
    EXPECT_TRUE(Has(out, "Tj(Max) = 90\xC2\xB0" "C\n")) << out;  // the first processor's core
    double degrees = 0;
    ASSERT_EQ(info.ReadIntelTemperature(0, &degrees), 1);
    EXPECT_EQ(degrees, 41.0);
    ASSERT_EQ(info.ReadIntelTemperature(1, &degrees), 1);
    EXPECT_EQ(degrees, 51.0);
    ASSERT_TRUE(hw::ReadCoreSensorCritical(cpus[1], &degrees));
    EXPECT_EQ(degrees, 88.0);
    EXPECT_FALSE(Has(said, "coretemp")) << said;
}

// A recorded two-socket Genoa (EPYC 9654) detected on this machine's
// processors against the tree of such a machine: k10temp on function 3 of
// devices 0x18 and 0x19, each with its socket's Tctl and Tccd inputs; the first
// processor walked on the first socket, the second on the second.
class GenoaOnFakeRoot : public FakeRoot {
protected:
    void SetUp() override {
        FakeRoot::SetUp();
        cpus = AllowedProcessors(2);
        if (cpus.size() < 2) GTEST_SKIP() << "needs two processors";
        NodeHwmon(4, "k10temp", 1,
                  {{"temp1_label", "Tctl"}, {"temp1_input", "60000"}, {"temp3_label", "Tccd1"},
                   {"temp3_input", "51000"}, {"temp4_label", "Tccd2"}, {"temp4_input", "52500"}});
        NodeHwmon(3, "k10temp", 0,
                  {{"temp1_label", "Tctl"}, {"temp1_input", "50000"}, {"temp3_label", "Tccd1"},
                   {"temp3_input", "41000"}, {"temp5_label", "Tccd3"}, {"temp5_input", "43000"}});
        Topology(cpus[0], 0, 0);
        Topology(cpus[1], 1, 0);
    }

    // The temperature section as printed, and what standard error said.
    std::string Section(CSystemInfo& info, std::string* said) {
        testing::internal::CaptureStderr();
        info.Detect(VEXMORA_FIXTURES "/dumps/AuthenticAMD0A10F11_K19_Genoa_01_CPUID.txt");
        testing::internal::CaptureStdout();
        PrintAmdTemperatures(info);
        platform::FlushReportStream();
        const std::string out = testing::internal::GetCapturedStdout();
        *said = testing::internal::GetCapturedStderr();
        return out;
    }

    std::vector<int> cpus;
};

TEST_F(GenoaOnFakeRoot, EveryProcessorGetsItsOwnSocketsTctl) {
    CSystemInfo info;
    std::string said;
    const std::string out = Section(info, &said);
    EXPECT_EQ(out.find("Support AMD TTP : Oui\nTcore0 = 50.0\xC2\xB0" "C\nTcore1 = 60.0\xC2\xB0" "C\n"), 0u) << out;
    EXPECT_EQ(said.find("modprobe k10temp"), std::string::npos) << said;
    EXPECT_EQ(info.temperatureSource, hw::TemperatureSource::kK10temp);
}

// After the processors' lines, each CCD's line, socket by socket; the words
// that name a socket are the report's, whose own tests hold them.
TEST_F(GenoaOnFakeRoot, EachCcdInputGetsOneLine) {
    CSystemInfo info;
    std::string said;
    const std::string out = Section(info, &said);
    std::vector<std::string> ccdLines;
    for (size_t at = out.find("\nTccd"); at != std::string::npos; at = out.find("\nTccd", at + 1)) {
        ccdLines.push_back(out.substr(at + 1, out.find('\n', at + 1) - at - 1));
    }
    ASSERT_EQ(ccdLines.size(), 4u) << out;
    const char* expected[][2] = {{"Tccd1", "= 41.0\xC2\xB0" "C"}, {"Tccd3", "= 43.0\xC2\xB0" "C"},
                                 {"Tccd1", "= 51.0\xC2\xB0" "C"}, {"Tccd2", "= 52.5\xC2\xB0" "C"}};
    for (size_t i = 0; i < ccdLines.size(); ++i) {
        EXPECT_EQ(ccdLines[i].rfind(expected[i][0], 0), 0u) << ccdLines[i];
        EXPECT_NE(ccdLines[i].find(expected[i][1]), std::string::npos) << ccdLines[i];
    }
    EXPECT_GT(out.find("\nTccd"), out.find("Tcore1 ")) << out;
}

// An input that gives no reading leaves its processor Invalide, and standard
// error says which file and why, once.
TEST_F(GenoaOnFakeRoot, AnUnreadableTctlIsInvalideWithItsReason) {
    const fs::path input = fs::path(root) / "sys/class/hwmon/hwmon4/temp1_input";
    std::ofstream(input) << "n/a\n";
    CSystemInfo info;
    std::string said;
    const std::string out = Section(info, &said);
    EXPECT_NE(out.find("Tcore0 = 50.0\xC2\xB0" "C\nTcore1 = Invalide\n"), std::string::npos) << out;
    const std::string note = "Vexmora: temp\xC3\xA9rature illisible : " + input.string() + " (\xC2\xAB n/a \xC2\xBB";
    const size_t first = said.find(note);
    ASSERT_NE(first, std::string::npos) << said;
    EXPECT_EQ(said.find(note, first + 1), std::string::npos) << said;
    EXPECT_EQ(said.find("modprobe k10temp"), std::string::npos) << said;
}

// An AMD record read through k10temp alone: Tctl less the part's offset.
TEST_F(FakeRoot, K10tempGivesTheAmdReadingWithoutMsrOrConfigurationSpace) {
    NodeHwmon(0, "k10temp", 0, {{"temp1_input", "70500"}});
    CSystemInfo info;
    info.vendor = kVendorAmd;
    info.amdThermal = 1;
    info.family = 0x17;
    info.extFamily = 8;
    info.driverStatus = ols::kStatusDriverNotFound;
    std::snprintf(info.brand, sizeof info.brand, "AMD Ryzen 7 1800X Eight-Core Processor");
    double degrees = 0;
    ASSERT_EQ(info.ReadAmdTemperature(0, &degrees), 1);
    EXPECT_EQ(degrees, 50.5);
    EXPECT_EQ(info.temperatureSource, hw::TemperatureSource::kK10temp);
    EXPECT_STREQ(hw::TemperatureSourceName(info.temperatureSource), "k10temp");
}

}  // namespace
