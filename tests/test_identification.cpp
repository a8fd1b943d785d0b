// Vendor, signature and name; cache sizes; feature mask. Each case is a
// simulated processor whose leaves are cached by Init, as in the detection pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sim_test_support.h"

namespace {

constexpr uint32_t kNoExtendedLeaves = 0;

uint32_t Chars(const char* four) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(four[i]);
    return value;
}

// Leaf 0: the highest standard leaf, then the vendor string in EBX, EDX, ECX.
sim::Registers VendorLeaf(uint32_t maxStdLeaf, const char* vendor12) {
    return {maxStdLeaf, Chars(vendor12), Chars(vendor12 + 8), Chars(vendor12 + 4)};
}

// Leaves 0x80000002..4 holding `text`, NUL-padded to 48 bytes (a 48-byte text has no NUL).
void SetBrandString(sim::Processor& cpu, const std::string& text) {
    char bytes[48] = {};
    std::memcpy(bytes, text.data(), std::min<size_t>(text.size(), sizeof bytes));
    for (uint32_t i = 0; i < 3; ++i) {
        const char* b = bytes + 16 * i;
        cpu.Set(0x80000002 + i, {Chars(b), Chars(b + 4), Chars(b + 8), Chars(b + 12)});
    }
}

std::string Padded48(const std::string& text) {
    std::string out = text;
    out.resize(48, '\0');
    return out;
}

class IdentificationTest : public SimTest {
protected:
    sim::Processor& Cpu() { return machine->Cpu(0); }

    void Processor(const char* vendor12, uint32_t maxStdLeaf, uint32_t signature, uint32_t maxExtLeaf,
                   uint32_t leaf1Ebx = 0) {
        Cpu().Set(0, VendorLeaf(maxStdLeaf, vendor12));
        Cpu().Set(1, {signature, leaf1Ebx, 0, 0});
        Cpu().Set(0x80000000, {maxExtLeaf, 0, 0, 0});
    }

    CSystemInfo& Identify() {
        CSystemInfo& info = Record();
        info.cpuid.Init(nullptr);
        info.ReadIdentification();
        return info;
    }
};

// --- NormalizeBrand ---------------------------------------------------------------

struct BrandCase {
    const char* what;
    std::string input;  // up to 48 bytes, NUL-padded
    std::string expected;
};

TEST_F(IdentificationTest, NormalizeBrandSqueezesSpacesWithinTheFirst47Bytes) {
    const BrandCase cases[] = {
        {"leading, inner and trailing runs", "   Intel(R)  Core(TM)2   CPU 6600  @ 2.40GHz   ",
         "Intel(R) Core(TM)2 CPU 6600 @ 2.40GHz"},
        {"single spaces are kept", "AMD Phenom(tm) II X4 940 Processor", "AMD Phenom(tm) II X4 940 Processor"},
        {"47 characters survive whole", std::string(47, 'x'), std::string(47, 'x')},
        {"byte 47 never survives", std::string(47, 'x') + "y", std::string(47, 'x')},
        // Byte 47 is only the successor of byte 46: a space before a non-NUL byte 47 stays.
        {"space at byte 46 followed by a character", std::string(46, 'x') + " y", std::string(46, 'x') + " "},
        {"only spaces", std::string(48, ' '), ""},
        {"tabs are not spaces", "\tA\t\tB \t", "\tA\t\tB \t"},
    };
    for (const BrandCase& c : cases) {
        char name[48];
        std::memcpy(name, Padded48(c.input).data(), sizeof name);
        Record().NormalizeBrand(name);
        EXPECT_EQ(std::string(name, sizeof name), Padded48(c.expected)) << c.what;
    }
}

// --- Vendor and signature ------------------------------------------------------------

TEST_F(IdentificationTest, VendorComesFromTheWholeCaseSensitiveVendorString) {
    struct Case {
        const char* text;
        uint32_t maxStdLeaf;
        uint8_t vendor;
    };
    const Case cases[] = {
        {"GenuineIntel", 1, 1}, {"AuthenticAMD", 1, 2}, {"CentaurHauls", 1, 0},
        {"GenuineIntei", 1, 0}, {"authenticAMD", 1, 0},
        {"GenuineIntel", 0, 0},  // no standard leaves: the vendor string is not read
    };
    for (const Case& c : cases) {
        Processor(c.text, c.maxStdLeaf, 0x6F6, kNoExtendedLeaves);
        EXPECT_EQ(Identify().vendor, c.vendor) << c.text << " max " << c.maxStdLeaf;
    }
}

TEST_F(IdentificationTest, SignatureFieldsAndDisplayModel) {
    struct Case {
        uint32_t maxStdLeaf, eax, ebx;
        uint8_t baseFamily, extFamily, family, baseModel, extModel, model, stepping, brandIndex;
    };
    const Case cases[] = {
        {1, 0x00010676, 0x00000000, 6, 0, 6, 7, 1, 0x17, 6, 0},
        {1, 0x00100F22, 0x00000000, 15, 1, 16, 2, 0, 2, 2, 0},
        {1, 0x00000695, 0x00020816, 6, 0, 6, 9, 0, 9, 5, 22},
        {1, 0x0FF00F00, 0x00000000, 15, 0xFF, 14, 0, 0, 0, 0, 0},  // the family sum wraps in 8 bits
        {0, 0x00010676, 0x00000016, 0, 0, 0, 0, 0, 0, 0, 0},      // leaf 1 not reported
    };
    for (const Case& c : cases) {
        Processor("GenuineIntel", c.maxStdLeaf, c.eax, kNoExtendedLeaves, c.ebx);
        const CSystemInfo& info = Identify();
        SCOPED_TRACE(testing::Message() << std::hex << "eax 0x" << c.eax << " max " << c.maxStdLeaf);
        EXPECT_EQ(info.baseFamily, c.baseFamily);
        EXPECT_EQ(info.extFamily, c.extFamily);
        EXPECT_EQ(info.family, c.family);
        EXPECT_EQ(info.baseModel, c.baseModel);
        EXPECT_EQ(info.extModel, c.extModel);
        EXPECT_EQ(info.model, c.model);
        EXPECT_EQ(info.stepping, c.stepping);
        EXPECT_EQ(info.brandIndex, c.brandIndex);
    }
}

// --- Name ----------------------------------------------------------------------------

struct NameCase {
    const char* what;
    const char* vendor;
    uint32_t maxStdLeaf;
    uint32_t signature;
    uint32_t leaf1Ebx;  // brand index in the low byte
    uint32_t maxExtLeaf;
    const char* brandString;  // null: the leaves are not set
    std::string expected;
};

TEST_F(IdentificationTest, NameByTheFirstMatchingRule) {
    const std::string longIntel = "Intel(R) Processor Family 255 Model 255 Stepping 15";
    const NameCase cases[] = {
        {"brand string, squeezed", "GenuineIntel", 2, 0xF29, 0, 0x80000004,
         "              Intel(R) Pentium(R) 4 CPU 2.80GHz", "Intel(R) Pentium(R) 4 CPU 2.80GHz"},
        {"empty brand string", "GenuineIntel", 2, 0xF29, 0, 0x80000004, "",
         "GenuineIntel Family 15 Model 2 Stepping 9"},
        {"empty brand string, no standard leaves", "GenuineIntel", 0, 0x6F6, 0, 0x80000004, "",
         " Unknown CPU Family 0 Model 0 Stepping 0"},
        {"brand index 22", "GenuineIntel", 2, 0x695, 0x16, 0x80000003, "Ignored brand string",
         "Intel(R) Pentium(R) M processor"},
        {"brand index 2", "GenuineIntel", 3, 0x683, 0x02, kNoExtendedLeaves, nullptr,
         "Intel(R) Pentium(R) III processor"},
        {"brand index 12", "GenuineIntel", 2, 0xF12, 0x0C, kNoExtendedLeaves, nullptr,
         "Intel(R) Xeon(TM) Processor MP"},
        {"brand index 23", "GenuineIntel", 2, 0x6D8, 0x17, kNoExtendedLeaves, nullptr,
         "Mobile Intel(R) Celeron(R) processor"},
        {"brand index 0", "GenuineIntel", 2, 0x673, 0x00, kNoExtendedLeaves, nullptr,
         "Intel(R) Processor Family 6 Model 7 Stepping 3"},
        {"brand index 13", "GenuineIntel", 2, 0x673, 0x0D, kNoExtendedLeaves, nullptr,
         "Intel(R) Processor Family 6 Model 7 Stepping 3"},
        {"brand index 24", "GenuineIntel", 2, 0x673, 0x18, kNoExtendedLeaves, nullptr,
         "Intel(R) Processor Family 6 Model 7 Stepping 3"},
        {"formatted Intel name of 48 characters is cut after 47", "GenuineIntel", 2, 0x6BA, 0, kNoExtendedLeaves,
         nullptr, "Intel(R) Processor Family 6 Model 11 Stepping 1"},
        {"formatted Intel name of 51 characters is cut after 47", "GenuineIntel", 2, 0x0F0F0FFF, 0,
         kNoExtendedLeaves, nullptr, longIntel.substr(0, 47)},
        {"other vendor", "CentaurHauls", 1, 0x620, 0, 0x80000001, nullptr, "Vendor 0 Family 6 Model 2 Stepping 0"},
        {"AMD without brand string leaves", "AuthenticAMD", 1, 0x622, 0x16, 0x80000001, nullptr,
         "Vendor 2 Family 6 Model 2 Stepping 2"},
    };
    for (const NameCase& c : cases) {
        Processor(c.vendor, c.maxStdLeaf, c.signature, c.maxExtLeaf, c.leaf1Ebx);
        if (c.brandString != nullptr) SetBrandString(Cpu(), c.brandString);
        const CSystemInfo& info = Identify();
        EXPECT_EQ(std::string(info.brand), c.expected) << c.what;
        EXPECT_EQ(info.brand[47], '\0') << c.what;
        NewMachine(1);
    }
}

// --- Cache sizes -----------------------------------------------------------------------

struct CacheCase {
    const char* what;
    const char* vendor;
    uint32_t maxStdLeaf;
    uint32_t signature;
    sim::Registers leaf2;
    std::vector<sim::Registers> leaf4;  // subleaves 0, 1, ...; the next reads as type 0
    uint32_t maxExtLeaf;
    sim::Registers leaf80000006;
    uint32_t l2SizeKb;
    uint32_t l3SizeKb;
};

// Real leaf 4 entries (EAX, EBX, ECX).
const sim::Registers kBloomfieldL2{0x1C004143, 0x01C0003F, 0x000001FF, 0};  // 8 x 1 x 64 x 512: 256 KB
const sim::Registers kSandyBridgeL3{0x3C07C163, 0x03C0003F, 0x00001FFF, 6};  // 16 x 1 x 64 x 8192: 8 MB
const sim::Registers kThisHostL2{0x04000143, 0x03C0003F, 0x000007FF, 0};     // 16 x 1 x 64 x 2048: 2 MB
const sim::Registers kThisHostL3{0x04004163, 0x04C0003F, 0x00033FFF, 0};     // 20 x 1 x 64 x 212992: 260 MB
const sim::Registers kLeaf4L1Data{0x1C004121, 0x01C0003F, 0x0000003F, 0};

class CacheSizeTest : public IdentificationTest {
protected:
    CSystemInfo& Run(const CacheCase& c) {
        NewMachine(1);
        Processor(c.vendor, c.maxStdLeaf, c.signature, c.maxExtLeaf);
        Cpu().Set(2, c.leaf2);
        for (size_t s = 0; s < c.leaf4.size(); ++s) Cpu().Set(4, static_cast<uint32_t>(s), c.leaf4[s]);
        Cpu().Set(0x80000006, c.leaf80000006);
        return Identify();
    }
};

TEST_F(CacheSizeTest, IntelDescriptorsLeaf4AndFallback) {
    const CacheCase cases[] = {
        {"0x49 is an L2 on family 6", "GenuineIntel", 10, 0x6F6, {0x05B0B101, 0x005657F0, 0, 0x2CB43049}, {}, 0,
         {}, 4096, 0},
        {"0x49 is the L3 on family 15 model 6; L2 then from 0x80000006", "GenuineIntel", 6, 0xF68,
         {0x00000001, 0, 0, 0x2CB43049}, {}, 0x80000008, {0, 0, 0x04008040, 0}, 1024, 4096},
        {"L2 and L3 descriptors", "GenuineIntel", 11, 0x106A4, {0x55035A01, 0x00F0B2E4, 0, 0x09CA212C}, {},
         0x80000008, {0, 0, 0x01006040, 0}, 256, 8192},
        {"a later descriptor of the same level wins; ECX before EBX", "GenuineIntel", 2, 0x6F6,
         {0x00000001, 0x000000E4, 0x00000022, 0x00214400}, {}, 0, {}, 1024, 8192},
        {"0xFF last in EBX reads leaf 4", "GenuineIntel", 11, 0x206A7, {0x76035A01, 0x00F0B0FF, 0, 0x00CA0000},
         {kLeaf4L1Data, kBloomfieldL2, kSandyBridgeL3}, 0x80000008, {0, 0, 0x01006040, 0}, 256, 8192},
        {"leaf 4 size counts line partitions", "GenuineIntel", 11, 0x206A7, {0x00000001, 0x000000FF, 0, 0},
         {{0x00000143, 0x01C0103F, 0x000001FF, 0}}, 0, {}, 512, 0},
        {"0xFF in EAX reads leaf 4", "GenuineIntel", 0x1C, 0xC06F2, {0x00FEFF01, 0x000000F0, 0, 0},
         {kLeaf4L1Data, kThisHostL2, kThisHostL3}, 0x80000008, {0, 0, 0x08007040, 0}, 2048, 266240},
        {"0xFF stops the scan before an L2 descriptor", "GenuineIntel", 4, 0x6F6, {0x00000001, 0, 0x00000021, 0x000000FF},
         {}, 0, {}, 0, 0},
        {"leaf 4 overwrites the descriptors read before 0xFF", "GenuineIntel", 4, 0x6F6,
         {0x00000001, 0, 0, 0x21E4FF00}, {kThisHostL2}, 0, {}, 2048, 8192},
        {"0xFF with highest standard leaf 3: 0x80000006 still read", "GenuineIntel", 3, 0x6F6,
         {0x00FEFF01, 0x000000F0, 0, 0}, {kThisHostL2}, 0x80000008, {0, 0, 0x01006040, 0}, 256, 0},
        {"the count byte of EAX is not a descriptor", "GenuineIntel", 2, 0x6F6, {0x00000041, 0, 0, 0}, {}, 0, {}, 0,
         0},
        {"no L2 and highest extended leaf 0x80000005", "GenuineIntel", 2, 0x6F6, {0x00000001, 0, 0, 0}, {},
         0x80000005, {0, 0, 0x01006040, 0}, 0, 0},
    };
    for (const CacheCase& c : cases) {
        const CSystemInfo& info = Run(c);
        EXPECT_EQ(info.l2SizeKb, c.l2SizeKb) << c.what;
        EXPECT_EQ(info.l3SizeKb, c.l3SizeKb) << c.what;
    }
}

TEST_F(CacheSizeTest, OtherVendorsReadLeaf80000006) {
    const CacheCase cases[] = {
        {"AMD: L2 and L3", "AuthenticAMD", 5, 0x100F42, {}, {}, 0x8000001B, {0, 0, 0x02006140, 0x0030B140}, 512,
         6144},
        {"AMD ignores leaf 2", "AuthenticAMD", 5, 0x100F42, {0x00000001, 0, 0, 0x00000049}, {}, 0x80000008,
         {0, 0, 0x02006140, 0x0030B140}, 512, 6144},
        {"another maker's part of AMD's design: its L3 too", "HygonGenuine", 13, 0x900F11, {}, {}, 0x8000001F,
         {0, 0, 0x02006140, 0x0030B140}, 512, 6144},
        {"another maker without an L3", "CentaurHauls", 10, 0x6F2, {}, {}, 0x80000008, {0, 0, 0x04008140, 0}, 1024,
         0},
        {"AMD without leaf 0x80000006", "AuthenticAMD", 1, 0x622, {}, {}, 0x80000005,
         {0, 0, 0x02006140, 0x0030B140}, 0, 0},
    };
    for (const CacheCase& c : cases) {
        const CSystemInfo& info = Run(c);
        EXPECT_EQ(info.l2SizeKb, c.l2SizeKb) << c.what;
        EXPECT_EQ(info.l3SizeKb, c.l3SizeKb) << c.what;
    }
}

// The descriptor table in the grouped form it is published in; every other byte
// but 0x49 and 0xFF sets nothing.
TEST_F(CacheSizeTest, EachDescriptorByteSetsItsLevelAndSize) {
    struct Row {
        bool l3;
        uint32_t sizeKb;
        std::vector<uint8_t> values;
    };
    const Row rows[] = {
        {false, 128, {0x39, 0x3B, 0x41, 0x79}},
        {false, 192, {0x3A}},
        {false, 256, {0x21, 0x3C, 0x42, 0x7A, 0x82}},
        {false, 384, {0x3D}},
        {false, 512, {0x3E, 0x43, 0x7B, 0x7F, 0x80, 0x83, 0x86}},
        {false, 1024, {0x44, 0x78, 0x7C, 0x84, 0x87}},
        {false, 2048, {0x45, 0x7D, 0x85}},
        {false, 3072, {0x48}},
        {false, 6144, {0x4E}},
        {true, 512, {0x22, 0xD0}},
        {true, 1024, {0x23, 0xD1, 0xD6}},
        {true, 1536, {0xDC}},
        {true, 2048, {0x25, 0xD2, 0xD7, 0xE2}},
        {true, 3072, {0xDD}},
        {true, 4096, {0x29, 0x46, 0xD8, 0xE3}},
        {true, 6144, {0x4A, 0xDE}},
        {true, 8192, {0x47, 0x4B, 0xE4}},
        {true, 12288, {0x4C, 0xEA}},
        {true, 16384, {0x4D}},
        {true, 18432, {0xEB}},
        {true, 24576, {0xEC}},
    };
    bool listed[256] = {};
    listed[0x49] = listed[0xFF] = true;
    for (const Row& row : rows) {
        for (uint8_t value : row.values) {
            listed[value] = true;
            const CSystemInfo& info = Run({"", "GenuineIntel", 2, 0x6F6, {1, 0, 0, value}, {}, 0, {}, 0, 0});
            EXPECT_EQ(info.l2SizeKb, row.l3 ? 0 : row.sizeKb) << std::hex << int{value};
            EXPECT_EQ(info.l3SizeKb, row.l3 ? row.sizeKb : 0) << std::hex << int{value};
        }
    }
    for (int value = 0; value < 256; ++value) {
        if (listed[value]) continue;
        const CSystemInfo& info = Run({"", "GenuineIntel", 2, 0x6F6, {1, 0, 0, uint32_t(value)}, {}, 0, {}, 0, 0});
        EXPECT_EQ(info.l2SizeKb + info.l3SizeKb, 0u) << std::hex << value;
    }
}

// A processor whose leaf 4 never reports cache type 0 is read up to subleaf 255 and no further.
TEST_F(CacheSizeTest, Leaf4WithoutTheEndMarkerStopsAfterSubleaf255) {
    NewMachine(1);
    Processor("GenuineIntel", 11, 0x206A7, kNoExtendedLeaves);
    Cpu().Set(2, {0x00FEFF01, 0x000000F0, 0, 0});
    for (uint32_t s = 0; s < 300; ++s) Cpu().Set(4, s, s < 256 ? kBloomfieldL2 : kThisHostL2);
    Cpu().Set(4, 255, kSandyBridgeL3);
    const CSystemInfo& info = Identify();
    EXPECT_EQ(info.l2SizeKb, 256u);
    EXPECT_EQ(info.l3SizeKb, 8192u);
}

// --- Feature mask ------------------------------------------------------------------------

enum class Reg { Leaf1Edx, Leaf1Ecx, ExtEdx, ExtEcx };

class FeatureTest : public SimTest {
protected:
    uint16_t Features(uint8_t vendor, uint32_t maxStdLeaf, uint32_t maxExtLeaf, sim::Registers leaf1,
                      sim::Registers ext) {
        NewMachine(1);
        sim::Processor& cpu = machine->Cpu(0);
        cpu.Set(0, {maxStdLeaf, 0, 0, 0});
        cpu.Set(1, leaf1);
        cpu.Set(0x80000000, {maxExtLeaf, 0, 0, 0});
        cpu.Set(0x80000001, ext);
        CSystemInfo& info = Record();
        info.vendor = vendor;
        info.features = 0xF000;  // rebuilt from nothing
        info.cpuid.Init(nullptr);
        info.ReadFeatures();
        return info.features;
    }
};

TEST_F(FeatureTest, EachSourceBitGivesItsMaskBit) {
    struct Case {
        Reg reg;
        int bit;
        uint16_t mask;
    };
    const Case cases[] = {
        {Reg::Leaf1Edx, 0, 0x0001},  {Reg::Leaf1Edx, 23, 0x0002}, {Reg::ExtEdx, 30, 0x0004},
        {Reg::ExtEdx, 31, 0x0004},   {Reg::Leaf1Edx, 25, 0x0008}, {Reg::Leaf1Edx, 26, 0x0010},
        {Reg::ExtEdx, 29, 0x0020},   {Reg::Leaf1Ecx, 0, 0x0040},  {Reg::Leaf1Ecx, 9, 0x0080},
        {Reg::ExtEcx, 6, 0x0100},    {Reg::Leaf1Ecx, 19, 0x0200}, {Reg::Leaf1Ecx, 20, 0x0400},
        {Reg::Leaf1Ecx, 28, 0x0800}, {Reg::Leaf1Edx, 28, 0x0000}, {Reg::ExtEcx, 0, 0x0000},
    };
    for (const Case& c : cases) {
        const uint32_t v = uint32_t{1} << c.bit;
        sim::Registers leaf1{0, 0, c.reg == Reg::Leaf1Ecx ? v : 0, c.reg == Reg::Leaf1Edx ? v : 0};
        sim::Registers ext{0, 0, c.reg == Reg::ExtEcx ? v : 0, c.reg == Reg::ExtEdx ? v : 0};
        EXPECT_EQ(Features(2, 1, 0x80000001, leaf1, ext), c.mask) << "register " << int(c.reg) << " bit " << c.bit;
    }
}

TEST_F(FeatureTest, VendorAndExtendedLeafGating) {
    const sim::Registers allLeaf1{0, 0, 0x10180201, 0x06800001};
    const sim::Registers allExt{0, 0, 0x00000040, 0xE0000000};
    EXPECT_EQ(Features(2, 1, 0x80000001, allLeaf1, allExt), 0x0FFF) << "AMD, every source bit";
    EXPECT_EQ(Features(1, 1, 0x80000008, {}, allExt), 0x0020) << "Intel: long mode only";
    EXPECT_EQ(Features(0, 1, 0x80000008, {}, allExt), 0x0020) << "other vendor: long mode only";
    EXPECT_EQ(Features(2, 1, 0x80000000, allLeaf1, allExt), 0x0EDB) << "no extended feature leaf";
    EXPECT_EQ(Features(2, 0, 0x80000001, allLeaf1, allExt), 0x0124) << "no leaf 1";
}

}  // namespace
