// The Linux hardware-access provider against a fake /dev and /sys tree.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "hwaccess/ols_library.h"
#include "platform/linux/linux_hwaccess.h"
#include "platform/win32.h"

namespace fs = std::filesystem;

namespace {

using UnusedProc = DWORD(WINAPI*)(void);

class LinuxProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = fs::temp_directory_path() / "vexmora-hw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        linuxhw::SetHardwareRoot(root);
    }

    void TearDown() override {
        linuxhw::SetHardwareRoot("");
        fs::remove_all(root);
    }

    HMODULE Load() {
        const HMODULE module = LoadLibraryA("WinRing0.dll");
        EXPECT_NE(module, nullptr);
        return module;
    }

    // Loaded once per test: each load says again what is missing.
    template <typename Proc>
    Proc Entry(const char* name) {
        if (loaded == nullptr) loaded = Load();
        const FARPROC proc = GetProcAddress(loaded, name);
        EXPECT_NE(proc, nullptr) << name;
        return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(proc));
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

    static void PutMsr(const std::string& path, DWORD index, uint64_t value) {
        std::vector<unsigned char> bytes(8);
        for (int i = 0; i < 8; ++i) bytes[static_cast<size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
        PutBytes(path, static_cast<off_t>(index), bytes);
    }

    std::string root;
    HMODULE loaded = nullptr;
};

TEST_F(LinuxProviderTest, StatusFollowsTheMsrNode) {
    constexpr DWORD kDependsOnRights = 0xFFFFFFFFu;
    struct Row {
        const char* name;
        void (*make)(const fs::path& node);
        DWORD status;
    };
    const Row rows[] = {
        {"no msr driver", [](const fs::path&) {}, 3},
        {"cpu directory without node", [](const fs::path& node) { fs::create_directories(node.parent_path()); }, 3},
        {"readable node",
         [](const fs::path& node) {
             fs::create_directories(node.parent_path());
             close(open(node.c_str(), O_CREAT | O_WRONLY, 0600));
         },
         0},
        // A name that is there but refuses every opener, root included.
        {"node that cannot be opened",
         [](const fs::path& node) {
             fs::create_directories(node.parent_path());
             fs::create_symlink("msr", node);
         },
         2},
        {"link to a missing node",
         [](const fs::path& node) {
             fs::create_directories(node.parent_path());
             fs::create_symlink("gone", node);
         },
         3},
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
        DWORD status = row.status;
        if (status == kDependsOnRights) {
            const int fd = open(node.c_str(), O_RDONLY);
            status = fd >= 0 ? 0 : 2;
            if (fd >= 0) close(fd);
        }
        linuxhw::SetHardwareRoot(rowRoot);
        const BOOL ready = status == 0 ? 1 : 0;
        testing::internal::CaptureStderr();
        const HMODULE module = Load();
        const std::string said = testing::internal::GetCapturedStderr();
        auto entry = [module](const char* name) { return GetProcAddress(module, name); };
        EXPECT_EQ(ols::FromFarProc<ols::GetDllStatusProc>(entry("GetDllStatus"))(), status);
        EXPECT_EQ(ols::FromFarProc<ols::InitializeOlsProc>(entry("InitializeOls"))(), ready);
        EXPECT_EQ(ols::FromFarProc<ols::IsMsrProc>(entry("IsMsr"))(), ready);
        // Without the driver, one line tells how to load it.
        if (status == 3) {
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
            EXPECT_NE(said.find("modprobe msr"), std::string::npos) << said;
        } else {
            EXPECT_EQ(said, "");
        }
    }
}

TEST_F(LinuxProviderTest, StandsInForTheLibraryByNameAndBindsEveryEntryPoint) {
    const HMODULE module = LoadLibraryA("WinRing0.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(LoadLibraryA("winring0.DLL"), module);
    for (const char* other : {"", "WinRing0", "./WinRing0.dll", "WinRing0x64.dll", "kernel32.dll"}) {
        EXPECT_EQ(LoadLibraryA(other), nullptr) << other;
    }
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
    EXPECT_EQ(GetModuleHandleA("kernel32.dll"), nullptr);

    const char* const called[] = {"GetDllStatus", "InitializeOls", "DeinitializeOls", "IsMsr",
                                  "Rdmsr", "WriteIoPortDword", "ReadIoPortDword"};
    for (const char* name : ols::kEntryPointNames) {
        const FARPROC proc = GetProcAddress(module, name);
        ASSERT_NE(proc, nullptr) << name;
        if (std::find_if(std::begin(called), std::end(called),
                         [name](const char* c) { return std::string(c) == name; }) != std::end(called)) {
            continue;
        }
        // The entry points the program never calls answer failure.
        EXPECT_EQ(reinterpret_cast<UnusedProc>(reinterpret_cast<void (*)()>(proc))(), 0u) << name;
    }
    EXPECT_EQ(GetProcAddress(module, "rdmsr"), nullptr);  // export names are case-sensitive
    EXPECT_EQ(GetProcAddress(module, "Wrmsr64"), nullptr);
    EXPECT_EQ(GetProcAddress(nullptr, "Rdmsr"), nullptr);
    EXPECT_EQ(FreeLibrary(module), 1);
    EXPECT_EQ(FreeLibrary(nullptr), 0);

    // The core's own binding goes through with a usable driver.
    MakeFile("dev/cpu/0/msr", 0);
    HMODULE bound = nullptr;
    EXPECT_EQ(ols::LoadDriver(&bound), 1);
    EXPECT_EQ(bound, module);
    ols::UnloadDriver(&bound);
    ols::ForgetEntryPointsForTesting();
}

TEST_F(LinuxProviderTest, RdmsrReadsTheCallingProcessorsNodeAtTheRegisterIndex) {
    cpu_set_t saved;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < 4; ++cpu) {
        if (CPU_ISSET(cpu, &saved)) cpus.push_back(cpu);
    }
    // Each register is eight bytes at its own index, so neighbours closer than that would overlap.
    const DWORD indices[] = {0x10, 0x198, 0x1A2, 0xC0010015u};
    auto valueOf = [](int cpu, DWORD index) { return (uint64_t{0xA0u + static_cast<unsigned>(cpu)} << 56) | index; };
    for (int cpu : cpus) {
        // The highest index ends the file, so a read one byte further runs past its end.
        const std::string node = MakeFile("dev/cpu/" + std::to_string(cpu) + "/msr", 0);
        for (DWORD index : indices) PutMsr(node, index, valueOf(cpu, index));
    }
    const auto rdmsr = Entry<ols::RdmsrProc>("Rdmsr");
    for (int cpu : cpus) {
        SCOPED_TRACE(cpu);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        for (DWORD index : indices) {
            DWORD low = 0;
            DWORD high = 0;
            ASSERT_EQ(rdmsr(index, &low, &high), 1) << std::hex << index;
            EXPECT_EQ((uint64_t{high} << 32) | low, valueOf(cpu, index)) << std::hex << index;
        }
        DWORD low = 0;
        DWORD high = 0;
        EXPECT_EQ(rdmsr(0xC0010016u, &low, &high), 0);  // past the end of the node
    }
    // A processor without its node reads nothing.
    fs::remove(fs::path(root) / ("dev/cpu/" + std::to_string(sched_getcpu())) / "msr");
    DWORD low = 0;
    DWORD high = 0;
    EXPECT_EQ(rdmsr(0x10, &low, &high), 0);
    ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
}

TEST_F(LinuxProviderTest, PciPairReachesTheLatchedDeviceAndRegister) {
    const std::string northbridge = MakeFile("sys/bus/pci/devices/0000:00:18.3/config", 256);
    const std::string other = MakeFile("sys/bus/pci/devices/0000:1a:1f.7/config", 4096);
    PutBytes(northbridge, 0xA4, {0x78, 0x56, 0x34, 0x12});
    PutBytes(other, 0xFC, {0xEF, 0xBE, 0xAD, 0xDE});
    const auto write = Entry<ols::WriteIoPortDwordProc>("WriteIoPortDword");
    const auto read = Entry<ols::ReadIoPortDwordProc>("ReadIoPortDword");

    // Device 0x18 function 3 register 0xE4: the write lands on those four bytes only, low byte first.
    write(0xCF8, 0x8000C3E4u);
    EXPECT_EQ(read(0xCF8), 0x8000C3E4u);
    write(0xCFC, 0x00000104u);
    EXPECT_EQ(GetBytes(northbridge, 0xE0, 12),
              (std::vector<unsigned char>{0, 0, 0, 0, 0x04, 0x01, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(read(0xCFC), 0x00000104u);

    write(0xCF8, 0x8000C3A4u);
    EXPECT_EQ(read(0xCFC), 0x12345678u);

    // Bus 0x1A, device 0x1F, function 7, register 0xFC: the kernel names devices in lower-case hex.
    write(0xCF8, 0x80000000u | (0x1Au << 16) | (0x1Fu << 11) | (7u << 8) | 0xFCu);
    EXPECT_EQ(read(0xCFC), 0xDEADBEEFu);
}

TEST_F(LinuxProviderTest, NothingAnsweringReadsAllOnes) {
    const std::string northbridge = MakeFile("sys/bus/pci/devices/0000:00:18.3/config", 64);
    PutBytes(northbridge, 0x00, {0x22, 0x10, 0x03, 0x12});
    const auto write = Entry<ols::WriteIoPortDwordProc>("WriteIoPortDword");
    const auto read = Entry<ols::ReadIoPortDwordProc>("ReadIoPortDword");
    struct Row {
        const char* name;
        DWORD address;
        WORD port;
        bool writeTooReachesNothing;
    };
    const Row rows[] = {
        {"absent device", 0x8000CB00u, 0xCFC, true},            // device 0x19
        {"enable bit clear", 0x0000C300u, 0xCFC, true},         // device 0x18, register 0
        {"register past the file", 0x8000C3E4u, 0xCFC, false},  // only 64 bytes are readable
        {"not the data port", 0x8000C300u, 0xCFD, true},
        {"some other port", 0x8000C300u, 0x80, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        write(0xCF8, row.address);
        if (row.writeTooReachesNothing) write(row.port, 0);
        EXPECT_EQ(read(row.port), 0xFFFFFFFFu);
    }
    // None of those writes reached a file or made one.
    EXPECT_EQ(GetBytes(northbridge, 0x00, 4), (std::vector<unsigned char>{0x22, 0x10, 0x03, 0x12}));
    EXPECT_EQ(fs::file_size(northbridge), 64u);
    EXPECT_FALSE(fs::exists(fs::path(root) / "sys/bus/pci/devices/0000:00:19.3"));
    write(0xCF8, 0x8000C300u);
    EXPECT_EQ(read(0xCFC), 0x12031022u);
}

// Tctl through the root complex's SMN pair, as the program asks for it.
class RootComplexTest : public LinuxProviderTest {
protected:
    void SetUp() override {
        LinuxProviderTest::SetUp();
        write = Entry<ols::WriteIoPortDwordProc>("WriteIoPortDword");
        read = Entry<ols::ReadIoPortDwordProc>("ReadIoPortDword");
    }

    DWORD ReadSmn(DWORD target) {
        write(0xCF8, 0x80000060u);
        write(0xCFC, target);
        write(0xCF8, 0x80000064u);
        return read(0xCFC);
    }

    void MakeHwmon(const std::string& device, const std::string& name, const std::string& temp1) {
        const std::string dir = "sys/class/hwmon/" + device;
        PutText(MakeFile(dir + "/name", 0), name + "\n");
        PutText(MakeFile(dir + "/temp1_input", 0), temp1);
    }

    static void PutText(const std::string& path, const std::string& text) {
        PutBytes(path, 0, std::vector<unsigned char>(text.begin(), text.end()));
    }

    ols::WriteIoPortDwordProc write = nullptr;
    ols::ReadIoPortDwordProc read = nullptr;
};

TEST_F(RootComplexTest, TctlComesFromK10tempInTheRegistersForm) {
    constexpr DWORD kNothing = 0xFFFFFFFFu;
    const struct {
        const char* name;
        const char* temp1;
        DWORD reg;
    } rows[] = {
        {"whole eighths", "45125\n", 361u << 21},
        {"no line end", "45000", 360u << 21},
        {"rounded to the nearest eighth", "45070\n", 361u << 21},
        {"zero", "0\n", 0},
        // Below zero only in the sensor's -49 range: bit 19 says so.
        {"below zero", "-3000\n", (368u << 21) | (1u << 19)},
        {"below the low range", "-50000\n", kNothing},
        {"above the register's range", "300000\n", kNothing},
        {"empty", "", kNothing},
        {"not a number", "warm\n", kNothing},
        {"trailing text", "45000 mC\n", kNothing},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(fs::path(root) / "sys/class/hwmon");
        MakeHwmon("hwmon0", "acpitz", "27800\n");
        MakeHwmon("hwmon3", "k10temp", row.temp1);
        EXPECT_EQ(ReadSmn(0x00059800u), row.reg);
    }
}

// The kernel's drivers use the root complex's index registers under their own
// lock: whatever the program writes, the device's configuration stays as it was.
TEST_F(RootComplexTest, NeverWritesTheRootComplexAndAnswersNothingElse) {
    std::vector<unsigned char> before(256);
    for (size_t i = 0; i < before.size(); ++i) before[i] = static_cast<unsigned char>(i);
    const std::string config = MakeFile("sys/bus/pci/devices/0000:00:00.0/config", 256);
    PutBytes(config, 0, before);
    MakeHwmon("hwmon0", "k10temp", "45125\n");

    EXPECT_EQ(ReadSmn(0x00059800u), 361u << 21);
    EXPECT_EQ(ReadSmn(0x00059804u), 0xFFFFFFFFu);  // any other SMN register
    write(0xCF8, 0x800000B8u);                      // the other index/data pair
    write(0xCFC, 0xD8200CA4u);
    write(0xCF8, 0x800000BCu);
    EXPECT_EQ(read(0xCFC), 0xFFFFFFFFu);
    write(0xCFC, 0x12345678u);
    for (DWORD reg : {0x00u, 0x60u, 0x64u}) {  // registers the file holds
        write(0xCF8, 0x80000000u | reg);
        EXPECT_EQ(read(0xCFC), 0xFFFFFFFFu) << std::hex << reg;
    }

    EXPECT_EQ(GetBytes(config, 0, 256), before);
    // The fake device 0x18 next to it is still reached as before.
    const std::string northbridge = MakeFile("sys/bus/pci/devices/0000:00:18.3/config", 256);
    PutBytes(northbridge, 0xA4, {0x00, 0x00, 0x20, 0x3A});
    write(0xCF8, 0x8000C3A4u);
    EXPECT_EQ(read(0xCFC), 0x3A200000u);
}

TEST_F(RootComplexTest, WithoutK10tempNothingAnswersAndTheUserIsToldOnce) {
    MakeHwmon("hwmon0", "acpitz", "27800\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ReadSmn(0x00059800u), 0xFFFFFFFFu);
    EXPECT_EQ(ReadSmn(0x00059800u), 0xFFFFFFFFu);
    const std::string said = testing::internal::GetCapturedStderr();

    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("modprobe k10temp"), std::string::npos) << said;
}

}  // namespace
