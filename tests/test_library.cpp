// Binding the hardware-access library, its status, and its teardown, on the
// simulated machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "hwaccess/ols_library.h"
#include "sim_test_support.h"

namespace {

using Names = std::vector<std::string>;

const char kGeneric[] = "Erreur de chargement de WinRing0 !";
const char kDriverNotFound[] = "Erreur de chargement de WinRing0 ! Driver introuvable.";
const char kDriverUnloaded[] = "Erreur de chargement de WinRing0 ! Driver d\xE9" "charg\xE9" ".";
const char kUnsupported[] = "Erreur de chargement de WinRing0 ! Plateforme non support\xE9" "e.";

Names AllEntryPointNames() {
    return Names(std::begin(ols::kEntryPointNames), std::end(ols::kEntryPointNames));
}

std::string StatusLine(int status) {
    return "WinRing0 Status : erreur " + std::to_string(status) + "\n\n";
}

// The message box and report line a status must produce; text null for none.
void ExpectStatusShown(const sim::Machine& m, int status, const char* text) {
    if (text == nullptr) {
        EXPECT_TRUE(m.messageBoxes.empty());
        EXPECT_EQ(m.output.find("WinRing0"), std::string::npos);
        return;
    }
    ASSERT_EQ(m.messageBoxes.size(), 1u);
    EXPECT_EQ(m.messageBoxes[0].text, text);
    EXPECT_EQ(m.messageBoxes[0].caption, "Vexmora");
    EXPECT_EQ(m.messageBoxes[0].type, static_cast<UINT>(MB_ICONWARNING));
    // The status line opens the report, after the banner and the OS line, and is followed by an empty line.
    const size_t line = m.output.find(StatusLine(status));
    ASSERT_NE(line, std::string::npos) << m.output;
    EXPECT_EQ(m.output.compare(line + StatusLine(status).size(), 6, "CPU : "), 0) << m.output;
    EXPECT_EQ(m.output.find("WinRing0", line + 1), std::string::npos);
}

void ExpectSlotsFilled(bool present, const Names& missing) {
    for (int i = 0; i < ols::kEntryPointCount; ++i) {
        const char* name = ols::kEntryPointNames[i];
        const bool found = present && std::find(missing.begin(), missing.end(), name) == missing.end();
        EXPECT_EQ(ols::entryPoints[i] != nullptr, found) << name;
    }
}

class LibraryTest : public SimTest {};

TEST_F(LibraryTest, StatusGivesTheStoredValueMessageAndReportLine) {
    struct Row {
        DWORD returned;
        int stored;
        const char* text;
    };
    const Row rows[] = {
        {0, 0, nullptr},
        {1, 1, kUnsupported},
        {2, 2,
         "Erreur de chargement de WinRing0 ! Afin de profiter pleinement de\n"
         "Skelvane, veuillez le relancer avec les droits administrateurs."},
        {3, 3, kDriverNotFound},
        {4, 4, kDriverUnloaded},
        {5, 5,
         "Erreur de chargement de WinRing0 ! Afin de profiter pleinement de\n"
         "Skelvane, veuillez le relancer \xE0 partir d'un disque non r\xE9seau."},
        {6, 6, kGeneric},
        {8, 8, kGeneric},
        {9, 9, kGeneric},
        {254, 254, kGeneric},
        {255, 255, kGeneric},
        // Above 255 the low byte could read as ready (0x100) or as another failure (0x103).
        {0x100, 255, kGeneric},
        {0x103, 255, kGeneric},
        {0xFFFFFFFFu, 255, kGeneric},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.returned);
        sim::Machine& m = NewMachine(1);
        m.library.status = row.returned;
        RunWholeProgram();
        EXPECT_EQ(record->driverStatus, row.stored);
        ExpectStatusShown(m, row.stored, row.text);
        EXPECT_EQ(m.library.calls, (Names{"InitializeOls", "GetDllStatus"}));
    }
}

TEST_F(LibraryTest, FailedBindingKeepsTheLibraryOpenUntilExitAndTearsDownOnce) {
    struct Case {
        const char* name;
        bool present;
        Names missing;
        DWORD returned;
        BOOL initializeResult;
        int stored;
        const char* text;
        Names callsAtLoad;
        Names callsAtExit;
    };
    const Names kTeardown{"DeinitializeOls", "FreeLibrary"};
    const Case cases[] = {
        {"no library file", false, {}, 0, 1, 9, kGeneric, {}, {}},
        {"no GetDllStatus", true, {"GetDllStatus"}, 3, 1, 9, kGeneric, {}, kTeardown},
        {"no Wrmsr", true, {"Wrmsr"}, 3, 1, 3, kDriverNotFound, {"GetDllStatus"}, kTeardown},
        {"no DeinitializeOls", true, {"DeinitializeOls"}, 4, 1, 4, kDriverUnloaded, {"GetDllStatus"}, {"FreeLibrary"}},
        {"InitializeOls fails", true, {}, 1, 0, 1, kUnsupported, {"InitializeOls", "GetDllStatus"}, kTeardown},
        // A library that is not bound or not initialised never counts as ready, whatever it reports.
        {"no last entry, claims ready", true, {"FindPciDeviceByClass"}, 0, 1, 9, kGeneric, {"GetDllStatus"},
         kTeardown},
        {"InitializeOls fails, claims ready", true, {}, 0, 0, 9, kGeneric, {"InitializeOls", "GetDllStatus"},
         kTeardown},
        {"ready", true, {}, 0, 1, 0, nullptr, {"InitializeOls", "GetDllStatus"}, kTeardown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Machine& m = NewMachine(1);
        m.library.present = c.present;
        m.library.missingEntryPoints.insert(c.missing.begin(), c.missing.end());
        m.library.status = c.returned;
        m.library.initializeResult = c.initializeResult;

        RunWholeProgram();
        EXPECT_EQ(record->driverStatus, c.stored);
        ExpectStatusShown(m, c.stored, c.text);
        EXPECT_EQ(m.library.loadRequests, Names{"WinRing0.dll"});
        EXPECT_EQ(m.library.calls, c.callsAtLoad);
        // Every name is looked up, in order, even after one is missing; each slot holds what was found.
        EXPECT_EQ(m.library.lookups, c.present ? AllEntryPointNames() : Names{});
        ExpectSlotsFilled(c.present, c.missing);
        // Open until exit, not undone on failure.
        EXPECT_EQ(record->driverModule != nullptr, c.present);
        EXPECT_EQ(m.library.freeCalls, 0);
        EXPECT_EQ(m.library.deinitializeCalls, 0);

        record.reset();
        const Names atExit(m.library.calls.begin() + static_cast<long>(c.callsAtLoad.size()), m.library.calls.end());
        EXPECT_EQ(atExit, c.callsAtExit);
        ExpectSlotsFilled(c.present, c.missing);  // the table is never cleared
    }
}

TEST_F(LibraryTest, TeardownRunsOnceAndClearsTheHandle) {
    CSystemInfo& info = Record();
    info.Detect();
    ASSERT_NE(info.driverModule, nullptr);

    ols::UnloadDriver(&info.driverModule);
    EXPECT_EQ(info.driverModule, nullptr);
    record.reset();  // the destructor finds nothing left to free
    EXPECT_EQ(machine->library.deinitializeCalls, 1);
    EXPECT_EQ(machine->library.freeCalls, 1);
}

TEST_F(LibraryTest, RecordNeverDetectedTouchesNoLibrary) {
    Record();
    record.reset();
    EXPECT_TRUE(machine->library.moduleCalls.empty());
    EXPECT_TRUE(machine->library.lookups.empty());
    EXPECT_TRUE(machine->library.calls.empty());
}

// The search is limited before the load: to the executable's and the system
// folder where the system can, else at least without the current directory.
TEST_F(LibraryTest, SearchOrderIsLimitedBeforeTheLoad) {
    struct Case {
        const char* name;
        bool kernel32;
        bool hasSetDefaultDllDirectories;
        BOOL setDefaultResult;
        bool hasSetDllDirectory;
        Names moduleCalls;
    };
    const Case cases[] = {
        {"Windows 8 and later", true, true, 1, true,
         {"SetDefaultDllDirectories(0xA00)", "LoadLibraryA(WinRing0.dll)"}},
        {"SetDefaultDllDirectories refuses", true, true, 0, true,
         {"SetDefaultDllDirectories(0xA00)", "SetDllDirectoryA(\"\")", "LoadLibraryA(WinRing0.dll)"}},
        {"Windows 7 without its update", true, false, 1, true, {"SetDllDirectoryA(\"\")", "LoadLibraryA(WinRing0.dll)"}},
        {"older system without either", true, false, 1, false, {"LoadLibraryA(WinRing0.dll)"}},
        {"no kernel32 at all", false, false, 1, false, {"LoadLibraryA(WinRing0.dll)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Machine& m = NewMachine(1);
        m.library.kernel32Present = c.kernel32;
        m.library.kernel32HasSetDefaultDllDirectories = c.hasSetDefaultDllDirectories;
        m.library.setDefaultDllDirectoriesResult = c.setDefaultResult;
        m.library.kernel32HasSetDllDirectory = c.hasSetDllDirectory;
        Record().Detect();
        EXPECT_EQ(m.library.moduleCalls, c.moduleCalls);
        EXPECT_EQ(record->driverStatus, 0);
    }
}

TEST_F(LibraryTest, ReadMsrGoesThroughTheTableAndYieldsZeroWhenUnbound) {
    machine->Cpu(0).msrs[0x1A2] = 0x1234567800ABCDEFull;
    machine->Cpu(0).failingMsrs.insert(0x19C);

    machine->library.present = false;
    CSystemInfo& unbound = Record();
    unbound.Detect();
    EXPECT_EQ(unbound.ReadMsr(0x1A2), 0u);
    EXPECT_TRUE(machine->library.calls.empty());

    NewMachine(1).Cpu(0).msrs[0x1A2] = 0x1234567800ABCDEFull;
    machine->Cpu(0).failingMsrs.insert(0x19C);
    CSystemInfo& bound = Record();
    bound.Detect();
    EXPECT_EQ(bound.ReadMsr(0x1A2), 0x1234567800ABCDEFull);
    EXPECT_EQ(bound.ReadMsr(0x19C), 0u);
}

TEST(LibraryTable, CalledSlotsNameTheirEntryPointsAndNamesAreDistinct) {
    const std::pair<ols::Slot, const char*> slots[] = {
        {ols::kGetDllStatus, "GetDllStatus"},        {ols::kInitializeOls, "InitializeOls"},
        {ols::kDeinitializeOls, "DeinitializeOls"},  {ols::kIsMsr, "IsMsr"},
        {ols::kRdmsr, "Rdmsr"},                      {ols::kReadIoPortDword, "ReadIoPortDword"},
        {ols::kWriteIoPortDword, "WriteIoPortDword"},
    };
    for (const auto& slot : slots) EXPECT_STREQ(ols::kEntryPointNames[slot.first], slot.second);
    const std::set<std::string> distinct(std::begin(ols::kEntryPointNames), std::end(ols::kEntryPointNames));
    EXPECT_EQ(distinct.size(), static_cast<size_t>(ols::kEntryPointCount));
}

}  // namespace
