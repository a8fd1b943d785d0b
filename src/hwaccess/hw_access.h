// Typed access to the library's MSR and port entry points. The passes reach
// model-specific registers and PCI configuration space only through here, so
// every address/data port pair is serialized in this one place.
#pragma once

#include <cstdint>

namespace hw {

// The MSR of the logical processor running the caller. False, with *value
// untouched, when the library is not bound or the read fails.
bool ReadMsr(uint32_t index, uint64_t* value);

// True only when the library is bound and says, with exactly 1, that
// model-specific registers can be read.
bool MsrAvailable();

// A configuration address for the 0xCF8/0xCFC pair (enable bit set).
constexpr uint32_t ConfigAddress(uint32_t bus, uint32_t device, uint32_t function, uint32_t reg) {
    return 0x80000000u | (bus << 16) | (device << 11) | (function << 8) | (reg & 0xFCu);
}

// The name other monitoring programs serialize the PCI configuration ports on.
constexpr const char* kPciMutexName = "Global\\Access_PCI";
// How long a reading waits for another program to finish its pair.
constexpr uint32_t kPciMutexWaitMs = 100;

// Each read below holds the PCI mutex around all of its port accesses. It
// returns false, having touched no port, when the port entry points are not
// bound or the mutex cannot be had within kPciMutexWaitMs. A device that does
// not answer reads all ones; that is left to the caller to judge.

// One configuration register, without writing it.
bool ReadConfig(uint32_t address, uint32_t* value);

// Writes `select` to a configuration register, then reads it back: for
// registers whose writable bits choose what the read returns.
bool SelectAndReadConfig(uint32_t address, uint32_t select, uint32_t* value);

// A register behind an index/data pair in a device's configuration space:
// `target` goes to the index register, then the data register is read.
bool ReadIndexedConfig(uint32_t indexAddress, uint32_t dataAddress, uint32_t target, uint32_t* value);

}  // namespace hw
