#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sysinfo/bits.h"
#include "sysinfo/system_info.h"

namespace {

constexpr uint32_t kBrandStringLastLeaf = 0x80000004u;
constexpr size_t kBrandSize = sizeof(CSystemInfo::brand);
// The longest name kept: the last byte of brand is always its NUL.
constexpr size_t kBrandMaxChars = kBrandSize - 1;

// Names of Intel processors that predate the brand string, by leaf 1's brand index.
// A null entry (0, 5, 13, 16) takes the formatted Intel name, as does every index above the table.
constexpr const char* kBrandIndexNames[] = {
    nullptr,
    "Intel(R) Celeron(R) processor",
    "Intel(R) Pentium(R) III processor",
    "Intel(R) Pentium(R) III Xeon(TM) processor",
    "Intel(R) Pentium(R) III processor",
    nullptr,
    "Mobile Intel(R) Pentium(R) III Processor",
    "Mobile Intel(R) Celeron(R) processor",
    "Intel(R) Pentium(R) 4 processor",
    "Intel(R) Pentium(R) 4 processor",
    "Intel(R) Celeron(R) processor",
    "Intel(R) Xeon(TM) processor",
    "Intel(R) Xeon(TM) Processor MP",
    nullptr,
    "Mobile Intel(R) Pentium(R) 4 Processor",
    "Mobile Intel(R) Celeron(R) processor",
    nullptr,
    "Mobile Intel(R) processor",
    "Mobile Intel(R) Celeron(R) M processor",
    "Mobile Intel(R) Celeron(R) processor",
    "Intel(R) Celeron(R) processor",
    "Mobile Intel(R) processor",
    "Intel(R) Pentium(R) M processor",
    "Mobile Intel(R) Celeron(R) processor",
};
static_assert(sizeof(kBrandIndexNames) / sizeof(kBrandIndexNames[0]) == 24, "brand indexes 0 to 23");

void StoreRegisterBytes(char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(bits(value, 8 * i + 7, 8 * i));
}

// Leaf 0's vendor string (EBX, EDX, ECX) into the 13-byte text; the vendor number from it.
uint8_t ReadVendor(CpuidRegisters& cpuid, char (&vendorText)[13]) {
    cpuid.Query(0, 0, false);
    if (cpuid.eax == 0) return 0;
    StoreRegisterBytes(vendorText, cpuid.ebx);
    StoreRegisterBytes(vendorText + 4, cpuid.edx);
    StoreRegisterBytes(vendorText + 8, cpuid.ecx);
    vendorText[12] = '\0';
    if (std::strcmp(vendorText, "GenuineIntel") == 0) return kVendorIntel;
    if (std::strcmp(vendorText, "AuthenticAMD") == 0) return kVendorAmd;
    return kVendorOther;
}

void ReadSignature(CSystemInfo& info) {
    info.cpuid.Query(1, 0, false);
    const uint32_t eax = info.cpuid.eax;
    info.brandIndex = static_cast<uint8_t>(bits(info.cpuid.ebx, 7, 0));
    info.stepping = static_cast<uint8_t>(bits(eax, 3, 0));
    info.baseModel = static_cast<uint8_t>(bits(eax, 7, 4));
    info.baseFamily = static_cast<uint8_t>(bits(eax, 11, 8));
    info.extModel = static_cast<uint8_t>(bits(eax, 19, 16));
    info.extFamily = static_cast<uint8_t>(bits(eax, 27, 20));
    // An 8-bit sum: extended family 0xFF with base family 15 wraps to 14.
    info.family = static_cast<uint8_t>(info.baseFamily + info.extFamily);
    info.model = static_cast<uint8_t>(info.extModel * 16 + info.baseModel);
}

unsigned U(uint8_t value) {
    return value;
}

// The formatted names are cut after the 47th character so they always fit brand
// with its NUL ("Intel(R) Processor Family 6 Model 11 Stepping 10" needs 48).
// Each is written whole first: the longest, with three-digit values, needs 51.
using FormattedName = char[64];

void StoreFormattedName(CSystemInfo& info, const FormattedName& name) {
    const size_t length = std::min(std::strlen(name), kBrandMaxChars);
    std::memcpy(info.brand, name, length);
    info.brand[length] = '\0';
}

void FormatVendorName(CSystemInfo& info, const char* vendorText) {
    FormattedName name;
    std::snprintf(name, sizeof name, "%s Family %u Model %u Stepping %u", vendorText, U(info.family),
                  U(info.model), U(info.stepping));
    StoreFormattedName(info, name);
}

void FormatIntelName(CSystemInfo& info) {
    FormattedName name;
    std::snprintf(name, sizeof name, "Intel(R) Processor Family %u Model %u Stepping %u", U(info.family),
                  U(info.model), U(info.stepping));
    StoreFormattedName(info, name);
}

void FormatVendorNumberName(CSystemInfo& info) {
    FormattedName name;
    std::snprintf(name, sizeof name, "Vendor %u Family %u Model %u Stepping %u", U(info.vendor), U(info.family),
                  U(info.model), U(info.stepping));
    StoreFormattedName(info, name);
}

// Leaves 0x80000002..4, 16 bytes each, make the 48 bytes of brand.
void ReadBrandString(CSystemInfo& info) {
    char* out = info.brand;
    for (uint32_t leaf = 0x80000002u; leaf <= kBrandStringLastLeaf; ++leaf, out += 16) {
        info.cpuid.Query(leaf, 0, false);
        StoreRegisterBytes(out, info.cpuid.eax);
        StoreRegisterBytes(out + 4, info.cpuid.ebx);
        StoreRegisterBytes(out + 8, info.cpuid.ecx);
        StoreRegisterBytes(out + 12, info.cpuid.edx);
    }
}

// A table name is copied with its NUL; the bytes behind it keep what they held.
void NameFromBrandIndex(CSystemInfo& info) {
    const size_t count = sizeof(kBrandIndexNames) / sizeof(kBrandIndexNames[0]);
    const char* name = info.brandIndex < count ? kBrandIndexNames[info.brandIndex] : nullptr;
    if (name == nullptr) {
        FormatIntelName(info);
        return;
    }
    std::memcpy(info.brand, name, std::strlen(name) + 1);
}

// The name by the first rule that applies: brand string, brand index (Intel), vendor number.
void BuildName(CSystemInfo& info, const char* vendorText) {
    if (info.cpuid.maxExtLeaf >= kBrandStringLastLeaf) {
        ReadBrandString(info);
        if (info.brand[0] == '\0') {
            FormatVendorName(info, vendorText);
        } else {
            info.NormalizeBrand(info.brand);
        }
        return;
    }
    if (info.vendor == kVendorIntel) {
        NameFromBrandIndex(info);
        return;
    }
    FormatVendorNumberName(info);
}

}  // namespace

void CSystemInfo::ReadIdentification() {
    static const char kNoVendor[13] = " Unknown CPU";
    char vendorText[13];
    std::memcpy(vendorText, kNoVendor, sizeof vendorText);
    vendor = ReadVendor(cpuid, vendorText);
    if (std::memcmp(vendorText, kNoVendor, sizeof vendorText) != 0) {
        std::memcpy(vendorName, vendorText, sizeof vendorName);
    }
    hygon = std::strcmp(vendorText, "HygonGenuine") == 0 ? 1 : 0;
    ReadSignature(*this);
    BuildName(*this, vendorText);
    ReadCacheSizes();
}

// Squeezes the spaces of a 48-byte name in place: no leading or trailing space,
// each inner run of spaces down to one. Only the first 47 bytes can survive;
// byte 47 is looked at only as the successor of byte 46.
void CSystemInfo::NormalizeBrand(char* name) {
    size_t read = 0;
    size_t write = 0;
    while (write < kBrandMaxChars && read < kBrandMaxChars && name[read] != '\0') {
        const char next = name[read + 1];
        const bool dropSpace = name[read] == ' ' && (write == 0 || next == ' ' || next == '\0');
        if (!dropSpace) {
            if (read != write) name[write] = name[read];
            ++write;
        }
        ++read;
    }
    std::memset(name + write, 0, kBrandSize - write);
}
