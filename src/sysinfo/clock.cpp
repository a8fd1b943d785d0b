#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "hwaccess/hw_access.h"
#include "platform/seam.h"
#include "sysinfo/bits.h"
#include "sysinfo/system_info.h"

namespace {

constexpr uint32_t kMsrPlatformId = 0x17;
constexpr uint32_t kMsrPowerOnConfiguration = 0x2A;
constexpr uint32_t kMsrPlatformInfo = 0xCE;
constexpr uint32_t kMsrPerfStatus = 0x198;
constexpr uint32_t kMsrActualPerformance = 0xE8;

struct MsrHalves {
    DWORD low = 0;
    DWORD high = 0;
};

// False when the library cannot read the register; the halves then stay 0.
bool TryReadMsrHalves(uint32_t index, MsrHalves& halves) {
    uint64_t value = 0;
    const bool read = hw::ReadMsr(index, &value);
    halves = MsrHalves{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
    return read;
}

// Most multiplier reads ignore the library's result: a failed read leaves both halves 0.
MsrHalves ReadMsrHalves(uint32_t index) {
    MsrHalves halves;
    TryReadMsrHalves(index, halves);
    return halves;
}

// Bits 12 to 8 give the whole multiplier, bit 14 the half step.
double DecodeMultiplier(uint32_t word) {
    return bits(word, 12, 8) + (bits(word, 14, 14) ? 0.5 : 0.0);
}

bool IsOneOf(uint8_t model, std::initializer_list<uint8_t> models) {
    return std::find(models.begin(), models.end(), model) != models.end();
}

// Core 2 is the only design whose MSR 0x17 holds the maximum multiplier.
bool IsCore2(uint8_t family, uint8_t model) {
    return family == 6 && IsOneOf(model, {0x0F, 0x16, 0x17, 0x1D});
}

// From Nehalem on, the ratios are whole 8-bit values (they exceed 31 on many
// parts): the maximum non-turbo one in MSR 0xCE, the current one in MSR 0x198.
// MSR 0x17 holds none there, and reads noise on the Silvermont-class Atoms. The
// in-order Atoms of that time (Bonnell, Saltwell) keep the older coding.
bool HasByteRatios(uint8_t family, uint8_t model) {
    return family == 6 && model >= 0x1A && !IsCore2(family, model) &&
           !IsOneOf(model, {0x1C, 0x26, 0x27, 0x35, 0x36});
}

// Nehalem and Westmere keep the current ratio in the low byte of MSR 0x198, later designs in the next one.
uint32_t CurrentByteRatio(uint8_t model, uint32_t perfStatusLow) {
    const bool nehalemOrWestmere = IsOneOf(model, {0x1A, 0x1E, 0x1F, 0x25, 0x2C, 0x2E, 0x2F});
    return nehalemOrWestmere ? bits(perfStatusLow, 7, 0) : bits(perfStatusLow, 15, 8);
}

void RaiseTimerResolution() {
    TIMECAPS caps{};
    if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR) return;
    timeBeginPeriod(std::min(std::max(caps.wPeriodMin, UINT{1}), caps.wPeriodMax));
}

// Four characters of a vendor string as CPUID returns them in one register.
constexpr uint32_t VendorWord(const char (&text)[5]) {
    return uint32_t{static_cast<uint8_t>(text[0])} | uint32_t{static_cast<uint8_t>(text[1])} << 8 |
           uint32_t{static_cast<uint8_t>(text[2])} << 16 | uint32_t{static_cast<uint8_t>(text[3])} << 24;
}

bool IsCentaur(CpuidRegisters& cpuid) {
    cpuid.Query(0, 0, false);
    return cpuid.ebx == VendorWord("Cent") && cpuid.edx == VendorWord("aurH") && cpuid.ecx == VendorWord("auls");
}

// Intel's family and model rule predates the invariant-counter flag, which
// later processors of every vendor set (0x80000007 EDX bit 8). VIA's Nano and
// every Centaur design after it tick at a constant rate without saying so.
bool HasConstantRateTsc(CSystemInfo& info) {
    const uint8_t family = info.family;
    const uint8_t model = info.model;
    if (info.vendor == kVendorIntel && ((family == 15 && model >= 3) || (family == 6 && model >= 0x0E))) return true;
    info.cpuid.Query(0x80000007u, 0, false);
    if (bits(info.cpuid.edx, 8, 8)) return true;
    return IsCentaur(info.cpuid) && ((family == 6 && model >= 0x0F) || family >= 7);
}

// Counter ticks over an interval of a clock running at `perSecond`, in MHz. A
// clock that did not move or has no frequency gives 0, never an infinity or a NaN.
double Megahertz(double ticks, double interval, double perSecond) {
    if (interval == 0 || perSecond == 0) return 0.0;
    return ((ticks / interval) * perSecond) / 1000000.0;
}

LONGLONG PerformanceFrequency() {
    LARGE_INTEGER value{};
    QueryPerformanceFrequency(&value);
    return value.QuadPart;
}

LONGLONG PerformanceCount() {
    LARGE_INTEGER value{};
    QueryPerformanceCounter(&value);
    return value.QuadPart;
}

// Widened with a zero high half, so a wrap of the 32-bit count gives a negative interval.
LONGLONG Milliseconds() {
    return static_cast<LONGLONG>(uint64_t{timeGetTime()});
}

}  // namespace

void WaitMilliseconds(int32_t milliseconds) {
    const long start = platform::ElapsedMilliseconds();
    while (static_cast<int32_t>(platform::ElapsedMilliseconds() - start) < milliseconds) {
    }
}

uint64_t CSystemInfo::ReadTsc() {
    return platform::ReadTimeStampCounter();
}

uint64_t CSystemInfo::ReadMsr(uint32_t index) {
    uint64_t value = 0;
    hw::ReadMsr(index, &value);
    return value;
}

namespace {

// Each condition in turn; the first that fails leaves the counter unused.
bool PerformanceCounterUsable(CSystemInfo& info) {
    info.cpuid.Query(6, 0, false);
    if ((info.cpuid.ecx & 1) == 0) return false;
    if (info.driverStatus != 0) return false;
    if (!hw::MsrAvailable()) return false;
    return CSystemInfo::ReadMsr(kMsrActualPerformance) != 0;
}

// The word whose bits 12 to 8, and 14 for the half step, give the maximum
// multiplier. Core 2 takes it from MSR 0x17 unless MSR 0x198 flags its own high
// half; the older parts (family 15, Yonah, the in-order Atoms) always from MSR
// 0x198's high half.
uint32_t MaximumMultiplierWord(bool core2Rule) {
    const MsrHalves status = ReadMsrHalves(kMsrPerfStatus);
    if (!core2Rule) return status.high;
    return bits(status.low, 31, 31) ? ReadMsrHalves(kMsrPerfStatus).high : ReadMsrHalves(kMsrPlatformId).low;
}

void ReadMultipliers(CSystemInfo& info) {
    MsrHalves platformInfo;
    // Without MSR 0xCE a later processor has no trustworthy maximum: it keeps
    // the Core 2 rule, which on such parts usually finds 0 and so leaves the
    // classic frequency uncorrected.
    const bool laterDesign = HasByteRatios(info.family, info.model);
    const bool byteRatios = laterDesign && TryReadMsrHalves(kMsrPlatformInfo, platformInfo);
    if (byteRatios) {
        info.coefMax = bits(platformInfo.low, 15, 8);
    } else {
        info.coefMax = DecodeMultiplier(MaximumMultiplierWord(laterDesign || IsCore2(info.family, info.model)));
    }

    info.cpuid.Query(1, 0, false);
    const bool currentInPerfStatus = bits(info.cpuid.ecx, 7, 7) != 0;
    WaitMilliseconds(20);
    if (!currentInPerfStatus) {
        info.coefCurrent = bits(ReadMsrHalves(kMsrPowerOnConfiguration).low, 26, 22);
        return;
    }
    const uint32_t status = ReadMsrHalves(kMsrPerfStatus).low;
    info.coefCurrent = byteRatios ? CurrentByteRatio(info.model, status) : DecodeMultiplier(status);
}

// Time-stamp counter against the performance counter; the performance counter is read first at both ends.
double MeasureClassic(CSystemInfo& info) {
    const LONGLONG frequency = PerformanceFrequency();
    const LONGLONG q0 = PerformanceCount();
    const uint64_t t0 = info.ReadTsc();
    WaitMilliseconds(100);
    const LONGLONG q1 = PerformanceCount();
    const uint64_t t1 = info.ReadTsc();
    return Megahertz(static_cast<double>(t1 - t0), static_cast<double>(q1 - q0), static_cast<double>(frequency));
}

double MeasureAgainstPerformanceCounter() {
    const LONGLONG frequency = PerformanceFrequency();
    const LONGLONG q0 = PerformanceCount();
    const uint64_t a0 = CSystemInfo::ReadMsr(kMsrActualPerformance);
    WaitMilliseconds(100);
    const LONGLONG q1 = PerformanceCount();
    const uint64_t a1 = CSystemInfo::ReadMsr(kMsrActualPerformance);
    return Megahertz(static_cast<double>(a1 - a0), static_cast<double>(q1 - q0), static_cast<double>(frequency));
}

// Here the processor counter is read first at the start and last at the end.
double MeasureAgainstMultimediaTimer() {
    const uint64_t a0 = CSystemInfo::ReadMsr(kMsrActualPerformance);
    const LONGLONG m0 = Milliseconds();
    WaitMilliseconds(600);
    const LONGLONG m1 = Milliseconds();
    const uint64_t a1 = CSystemInfo::ReadMsr(kMsrActualPerformance);
    const LONGLONG elapsed = m1 - m0;
    if (elapsed == 0) return 0.0;
    return (static_cast<double>(a1 - a0) / static_cast<double>(elapsed)) / 1000.0;
}

// An implausible value clears perfMsr; one more than 0.5 % away replaces the retained frequency.
void AcceptAlternative(CSystemInfo& info, double value) {
    if (!(value > 500.0 && value < 100000.0)) {
        info.perfMsr = 0;
        return;
    }
    // With nothing retained, any plausible value is further away than 0.5 %.
    if (info.freqRetained == 0.0 || std::fabs(value - info.freqRetained) / info.freqRetained > 0.005) {
        info.freqRetained = value;
    }
}

}  // namespace

int CSystemInfo::MeasureClock() {
    RaiseTimerResolution();
    constTsc = 0;
    perfMsr = 0;
    const bool intel = vendor == kVendorIntel;
    if (HasConstantRateTsc(*this)) constTsc = 1;
    // Whether the actual-performance counter can be read depends neither on the
    // vendor nor on the time-stamp counter's rate; the multipliers and the
    // alternative methods stay Intel's.
    if (PerformanceCounterUsable(*this)) perfMsr = 1;
    if (intel) {
        coefMax = 0.0;
        coefCurrent = 0.0;
        if (constTsc == 1 && perfMsr == 1) ReadMultipliers(*this);
    }

    Sleep(300);
    freqClassic = MeasureClassic(*this);
    freqRetained = freqClassic;
    if (!intel || constTsc != 1 || perfMsr != 1) return 1;

    // A current multiplier of 0 was not read (a failed read, or MSR 0x2A, which
    // holds no ratio on the later designs): no correction then, rather than a
    // fixed and retained frequency of 0.
    if (coefMax != coefCurrent && coefMax > 1.0 && coefCurrent > 0.0) {
        freqClassicFixed = (coefCurrent * freqClassic) / coefMax;
        freqRetained = freqClassicFixed;
    } else {
        freqClassicFixed = freqClassic;
    }

    WaitMilliseconds(200);
    // The alternative methods are not used from the extended family 6 models
    // on; their counter is still readable, so perfMsr keeps its value.
    if (family == 6 && extModel != 0) return 1;

    freqAlt1 = MeasureAgainstPerformanceCounter();
    AcceptAlternative(*this, freqAlt1);
    freqAlt2 = MeasureAgainstMultimediaTimer();
    AcceptAlternative(*this, freqAlt2);
    return 1;
}
