#include "sim_test_support.h"

#include "app/report.h"
#include "hwaccess/ols_library.h"

SimTest::SimTest() {
    NewMachine(1);
}

SimTest::~SimTest() {
    record.reset();
    ols::ForgetEntryPointsForTesting();
    machine.reset();
}

sim::Machine& SimTest::NewMachine(int count) {
    record.reset();
    ols::ForgetEntryPointsForTesting();
    machine.reset();
    machine = std::make_unique<sim::Machine>(count);
    return *machine;
}

sim::Machine& SimTest::MachineFromDump(const std::string& fileName) {
    std::vector<sim::Processor> processors;
    const int count = sim::LoadDumpProcessors(FixturePath("dumps/" + fileName).c_str(), processors);
    EXPECT_GT(count, 0) << fileName;
    sim::Machine& m = NewMachine(count > 0 ? count : 1);
    if (count > 0) m.processors = std::move(processors);
    return m;
}

CSystemInfo& SimTest::Record() {
    record = std::make_unique<CSystemInfo>();
    return *record;
}

CSystemInfo& SimTest::ReadyRecord(uint8_t vendor, int processors) {
    NewMachine(processors);
    CSystemInfo& info = Record();
    info.vendor = vendor;
    AsIfWalked(info, processors);
    ols::LoadDriver(&info.driverModule);
    info.driverStatus = 0;
    return info;
}

int SimTest::RunWholeProgram() {
    return RunProgram(Record());
}

void AsIfWalked(CSystemInfo& info, int count) {
    info.processors.assign(static_cast<size_t>(count), ProcessorEntry{});
    for (int i = 0; i < count; ++i) {
        info.processors[static_cast<size_t>(i)].systemNumber = i;
        info.processors[static_cast<size_t>(i)].walked = true;
    }
}

CSystemInfo& MeasuredRecord(CSystemInfo& info, uint8_t vendor, uint8_t constTsc, uint8_t perfMsr) {
    info.driverStatus = 0;
    info.vendor = vendor;
    info.constTsc = constTsc;
    info.perfMsr = perfMsr;
    info.coefMax = 12.0;
    info.coefCurrent = 9.5;
    info.freqClassic = 2400.123;
    info.freqClassicFixed = 1900.5;
    info.freqAlt1 = 1901.25;
    info.freqAlt2 = 1899.999;
    info.freqRetained = 1901.25;
    return info;
}

std::string FixturePath(const std::string& relative) {
    return std::string(VEXMORA_FIXTURES) + "/" + relative;
}
