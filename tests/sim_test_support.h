// Shared test fixture: every test starts from a fresh simulated machine and an
// unbound hardware-access library.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/sim/sim_machine.h"
#include "sysinfo/system_info.h"

class SimTest : public ::testing::Test {
protected:
    SimTest();
    ~SimTest() override;

    // Replaces the machine with one of `count` identical-mask processors.
    sim::Machine& NewMachine(int count);
    // Replaces the machine with the processors of a dump under tests/fixtures/dumps.
    sim::Machine& MachineFromDump(const std::string& fileName);
    // A fresh record, destroyed (library teardown included) with the test.
    CSystemInfo& Record();
    // A new machine of `processors` processors and a record of that vendor whose library is bound and ready.
    CSystemInfo& ReadyRecord(uint8_t vendor, int processors = 1);
    // The full program on a fresh record; returns its exit code.
    int RunWholeProgram();

    std::unique_ptr<sim::Machine> machine;
    std::unique_ptr<CSystemInfo> record;
};

std::string FixturePath(const std::string& relative);

// The record as a walk over processors 0 .. count-1 leaves it: that many
// entries with all-zero APIC ids, each processor pinned by its own number.
void AsIfWalked(CSystemInfo& info, int count);

// A record with every measured value set (each clock figure and multiplier),
// so that the conditions alone decide which of them a report shows.
CSystemInfo& MeasuredRecord(CSystemInfo& info, uint8_t vendor, uint8_t constTsc, uint8_t perfMsr);
