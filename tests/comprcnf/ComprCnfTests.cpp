// The compression configuration: every value with its type rule and
// log line, the rule list fix-ups and the rule lookup.
#include "emf/ComprCnf.h"

#include "support/JobMachine.h"
#include "palhost.h"
#include "printproc/Util.h"
#include "printproc/Winprint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using qltest::Contains;
using qltest::Dump;

constexpr char16_t kDataKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\GW\\PrinterDriverData";
constexpr char16_t kProductKey[] = u"SOFTWARE\\Quillon\\QLWinPrn";

void SetValue(const char16_t* key, const char16_t* name, DWORD type, const void* data, size_t cb) {
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(hKey, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(cb)),
              ERROR_SUCCESS);
    RegCloseKey(hKey);
}

void SetDword(const char16_t* key, const char16_t* name, DWORD value) {
    SetValue(key, name, REG_DWORD, &value, sizeof(value));
}

// A string value with its terminator; type REG_SZ unless told otherwise.
void SetString(const char16_t* key, const char16_t* name, const std::u16string& text, DWORD type = REG_SZ) {
    SetValue(key, name, type, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

constexpr DWORD Rule(DWORD limit, DWORD zip, DWORD lossy) {
    return (limit << 16) | (zip << 8) | lossy;
}

std::u16string RuleName(DWORD i) {
    return u"CompressionRule" + pal::host::FromUtf8(std::to_string(i));
}

class ComprCnfTest : public ::testing::Test {
protected:
    void SetUp() override {
        qltest::SetUpJobMachine();
        ClearValues();
        ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"GW"), &hPrinter, nullptr));
    }
    void TearDown() override {
        ReleaseCompressionConfig(&cnf);
        if (hPrinter) ClosePrinter(hPrinter);
    }
    // No printer data and none of the product's compression values.
    static void ClearValues() {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDataKey);
        HKEY hKey = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDataKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(hKey);
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS) return;
        for (const char16_t* name : {u"CompressionEMFInMem", u"TempDir", u"IncludeFonts", u"ImageRecallMin"})
            RegDeleteValueW(hKey, name);
        RegCloseKey(hKey);
    }

    // Reads the configuration into the record; returns the lines logged.
    std::vector<std::u16string> Read() {
        pal::host::TakeDebugOutput();
        EXPECT_EQ(ReadCompressionConfig(hPrinter, &cnf), &cnf);
        return pal::host::TakeDebugOutput();
    }

    std::pair<DWORD, DWORD> Lookup(DWORD assumedSize) {
        DWORD zip = 0xFFFF, lossy = 0xFFFF;
        LookupCompressionRule(&cnf, assumedSize, &zip, &lossy);
        return {zip, lossy};
    }

    void ExpectLines(const std::vector<std::u16string>& lines, std::initializer_list<const char16_t*> wanted) {
        for (const char16_t* line : wanted)
            EXPECT_TRUE(Contains(lines, line)) << pal::host::ToUtf8(line) << "\n" << Dump(lines);
    }

    HANDLE hPrinter = nullptr;
    ComprCnf cnf{};
};

TEST_F(ComprCnfTest, EveryValueTakenWithItsConversion) {
    SetDword(kDataKey, u"BitmapDPIReduction", 0);
    SetDword(kDataKey, u"ImageRecall", 5);
    SetDword(kDataKey, u"OptionTrays", 7);
    SetDword(kDataKey, u"RescaleOpt", 3);
    SetString(kDataKey, u"AGNP", u"Native Printer");
    SetString(kDataKey, u"AGNP1", u"Copy One");
    SetString(kDataKey, u"AGNP3", u"Copy Three");
    SetDword(kDataKey, u"CompressCompare", 9);
    SetDword(kDataKey, u"BitmapDPIReductionMin", 12);
    SetDword(kProductKey, u"CompressionEMFInMem", 65536);
    SetString(kProductKey, u"TempDir", u"D:\\Spool\\Tmp");
    SetDword(kProductKey, u"ImageRecallMin", 2048);
    const char16_t fonts[] = u"Arial\0Courier*\0";  // + the array's terminator: a multi-string
    SetValue(kProductKey, u"IncludeFonts", REG_MULTI_SZ, fonts, sizeof(fonts));

    auto lines = Read();
    EXPECT_EQ(cnf.fDPIReduction, 0u);
    EXPECT_EQ(cnf.fBitmapCaching, 1u);
    EXPECT_EQ(cnf.fOptionTrays, 1u);
    EXPECT_EQ(cnf.dwRescaleOpt, 3u);
    EXPECT_EQ(cnf.fRescaleOptSet, 1u);
    EXPECT_EQ(std::u16string(cnf.szAgentlessNativePrinting), u"Native Printer");
    EXPECT_EQ(std::u16string(cnf.szVirtualCopy[0]), u"Copy One");
    EXPECT_EQ(cnf.szVirtualCopy[1][0], 0);
    EXPECT_EQ(std::u16string(cnf.szVirtualCopy[2]), u"Copy Three");
    EXPECT_EQ(cnf.dwCompressCompare, 1u);
    EXPECT_EQ(cnf.dwDPIReductionMin, 12u);
    EXPECT_EQ(cnf.dwCompressionEMFInMem, 65536u);
    EXPECT_EQ(std::u16string(cnf.szTempDir), u"D:\\Spool\\Tmp");
    EXPECT_EQ(cnf.dwImageRecallMin, 2048u);
    ASSERT_NE(cnf.pIncludeFonts, nullptr);
    EXPECT_EQ(std::memcmp(cnf.pIncludeFonts, fonts, sizeof(fonts)), 0);
    ExpectLines(lines, {u"fDPIReduction is set to 0", u"fBitmapCaching is set to 1", u"fOptionTrays is set to 1",
                        u"dwRescaleOpt is set to 3", u"szAgentlessNativePrinting is set to <Native Printer>",
                        u"szVirtualCopy[0] is set to <Copy One>", u"szVirtualCopy[1] is not set, default is <>",
                        u"szVirtualCopy[2] is set to <Copy Three>", u"dwCompressCompare is set to 1",
                        u"DPIReductionMin is set to 12"});

    // A second read into the same record replaces the fonts copy.
    const char16_t other[] = u"Wingdings\0";
    SetValue(kProductKey, u"IncludeFonts", REG_MULTI_SZ, other, sizeof(other));
    Read();
    ASSERT_NE(cnf.pIncludeFonts, nullptr);
    EXPECT_EQ(std::u16string(cnf.pIncludeFonts), u"Wingdings");
    ReleaseCompressionConfig(&cnf);
    EXPECT_EQ(cnf.pIncludeFonts, nullptr);
    ReleaseCompressionConfig(&cnf);  // a second release is harmless
}

TEST_F(ComprCnfTest, MistypedAndOversizedValuesKeepTheirDefaults) {
    SetString(kDataKey, u"AGNP", u"Expanded %NAME%", REG_EXPAND_SZ);
    SetString(kDataKey, u"AGNP2", u"As text", REG_EXPAND_SZ);
    SetString(kDataKey, u"ImageRecall", u"1");
    const BYTE four[4] = {0, 0, 0, 0};
    SetValue(kDataKey, u"BitmapDPIReduction", REG_BINARY, four, sizeof(four));
    SetValue(kDataKey, u"RescaleOpt", REG_QWORD, "\x01\0\0\0\0\0\0\0", 8);
    SetString(kProductKey, u"TempDir", std::u16string(260, u'x'));  // 260 characters: too long
    SetString(kProductKey, u"CompressionEMFInMem", u"4096");

    auto lines = Read();
    EXPECT_EQ(cnf.szAgentlessNativePrinting[0], 0);
    EXPECT_EQ(cnf.szVirtualCopy[1][0], 0);
    EXPECT_EQ(cnf.fBitmapCaching, 0u);
    EXPECT_EQ(cnf.fDPIReduction, 1u);
    EXPECT_EQ(cnf.fRescaleOptSet, 0u);
    EXPECT_EQ(std::u16string(cnf.szTempDir), u"-1");
    EXPECT_EQ(cnf.dwCompressionEMFInMem, 3145728u);
    ExpectLines(lines, {u"szAgentlessNativePrinting is not set, default is <>", u"fBitmapCaching is not set, default is 0"});

    // 259 characters still fit with the terminator.
    SetString(kProductKey, u"TempDir", std::u16string(259, u'y'));
    Read();
    EXPECT_EQ(std::u16string(cnf.szTempDir), std::u16string(259, u'y'));
}

TEST_F(ComprCnfTest, IncludeFontsOnlyWhenPresentAndNotTooLong) {
    // A copy the record holds stays when the value is missing or too large.
    cnf.pIncludeFonts = AllocSplStr(u"Kept");
    LPWSTR pBefore = cnf.pIncludeFonts;
    Read();
    EXPECT_EQ(cnf.pIncludeFonts, pBefore);
    std::vector<char16_t> big(32768 + 2, u'f');  // larger than 64 KiB
    big[big.size() - 2] = big[big.size() - 1] = 0;
    SetValue(kProductKey, u"IncludeFonts", REG_MULTI_SZ, big.data(), big.size() * sizeof(char16_t));
    Read();
    EXPECT_EQ(cnf.pIncludeFonts, pBefore);

    // A value without its closing terminators still ends as a multi-string.
    SetValue(kProductKey, u"IncludeFonts", REG_MULTI_SZ, u"Arial", 5 * sizeof(char16_t));
    Read();
    ASSERT_NE(cnf.pIncludeFonts, nullptr);
    EXPECT_EQ(std::u16string(cnf.pIncludeFonts), u"Arial");
    EXPECT_EQ(cnf.pIncludeFonts[6], 0);
}

// The rule list as read (a rule whose limit does not grow, a missing or
// mistyped rule and rule 0 each end it) and the lookup at its boundaries.
TEST_F(ComprCnfTest, RuleListFixUpsAndLookupBoundaries) {
    struct Case {
        const char* name;
        std::vector<std::optional<DWORD>> rules;  // nullopt: a string value
        std::vector<std::pair<size_t, DWORD>> stored;
        std::vector<std::pair<DWORD, std::pair<DWORD, DWORD>>> lookups;
    } cases[] = {
        {"single limited rule covers every size", {Rule(50, 10, 20)},
         {{0, Rule(0, 10, 20)}, {1, 100}},
         {{1000, {10, 20}}, {10'000'000, {10, 20}}}},
        {"a limit that does not grow ends the list", {Rule(100, 10, 20), Rule(50, 30, 40), Rule(0, 50, 60)},
         {{0, Rule(0, 10, 20)}, {1, Rule(50, 30, 40)}, {2, 0}},
         {{10'000, {10, 20}}, {500'000, {10, 20}}}},
        {"an equal limit does not grow", {Rule(100, 10, 20), Rule(100, 30, 40)}, {{0, Rule(0, 10, 20)}}, {}},
        {"growing rules; behind the last one nothing is read",
         {Rule(100, 10, 20), Rule(500, 30, 40), Rule(0, 50, 60), Rule(900, 70, 80)},
         {{0, Rule(100, 10, 20)}, {1, Rule(500, 30, 40)}, {2, Rule(0, 50, 60)}, {3, 0x12345678}},
         {{0, {10, 20}}, {99'999, {10, 20}}, {100'000, {30, 40}}, {499'999, {30, 40}}, {500'000, {50, 60}},
          {0xFFFFFFFF, {50, 60}}}},
        {"a mistyped rule ends the list at the one before", {Rule(100, 10, 20), Rule(200, 30, 40), std::nullopt},
         {{0, Rule(100, 10, 20)}, {1, Rule(0, 30, 40)}, {2, 100}},
         {{150'000, {30, 40}}, {5'000'000, {30, 40}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearValues();
        ReleaseCompressionConfig(&cnf);
        cnf = {};
        cnf.adwCompressionRule[3] = 0x12345678;
        for (DWORD i = 0; i < c.rules.size(); ++i) {
            if (c.rules[i]) SetDword(kDataKey, RuleName(i).c_str(), *c.rules[i]);
            else SetString(kDataKey, RuleName(i).c_str(), u"not a number");
        }
        Read();
        for (const auto& [index, value] : c.stored) EXPECT_EQ(cnf.adwCompressionRule[index], value) << "rule " << index;
        for (const auto& [size, want] : c.lookups) EXPECT_EQ(Lookup(size), want) << "size " << size;
        EXPECT_FALSE(IsCompressionOff(&cnf));
    }
}

TEST_F(ComprCnfTest, HundredGrowingRulesAndNoMatchAnswersTheLast) {
    for (DWORD i = 0; i < COMPRESSION_RULES; ++i)
        SetDword(kDataKey, RuleName(i).c_str(), Rule(10 * (i + 1), i % 100, (i + 1) % 100));
    SetDword(kDataKey, u"CompressionRule100", Rule(0, 1, 1));  // never read
    Read();
    EXPECT_EQ(cnf.adwCompressionRule[99], Rule(1000, 99, 0)) << "the last rule keeps its limit";
    EXPECT_EQ(Lookup(9'999), std::make_pair(0u, 1u));
    EXPECT_EQ(Lookup(10'000), std::make_pair(1u, 2u));
    EXPECT_EQ(Lookup(999'999), std::make_pair(99u, 0u));
    EXPECT_EQ(Lookup(5'000'000), std::make_pair(99u, 0u)) << "no rule matches: rule 99";
}

TEST_F(ComprCnfTest, DeletionOffAndDisable) {
    SetDword(kDataKey, u"CompressionRule0", 0);
    Read();
    EXPECT_TRUE(IsBitmapDeletion(&cnf));
    EXPECT_FALSE(IsCompressionOff(&cnf));
    // Deletion survives: only the resolution reduction goes.
    cnf.adwCompressionRule[1] = 0x1111;
    DisableCompression(&cnf);
    EXPECT_TRUE(IsBitmapDeletion(&cnf));
    EXPECT_EQ(cnf.adwCompressionRule[1], 0x1111u);
    EXPECT_EQ(cnf.fDPIReduction, 0u);

    for (DWORD i = 0; i < 4; ++i) SetDword(kDataKey, RuleName(i).c_str(), Rule(100 * (i + 1), 10 + 20 * i, 20 + 20 * i));
    SetDword(kDataKey, u"CompressionRule4", Rule(0, 90, 90));
    Read();
    EXPECT_EQ(cnf.fDPIReduction, 1u);
    DisableCompression(&cnf);
    EXPECT_TRUE(IsCompressionOff(&cnf));
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(cnf.adwCompressionRule[i], 0u) << i;
    EXPECT_EQ(cnf.adwCompressionRule[4], Rule(0, 90, 90));
    EXPECT_EQ(cnf.fDPIReduction, 0u);
    EXPECT_EQ(Lookup(350'000), std::make_pair(0u, 100u));
}

TEST_F(ComprCnfTest, NullRecordsAreRefused) {
    EXPECT_EQ(ReadCompressionConfig(hPrinter, nullptr), nullptr);
    EXPECT_FALSE(IsBitmapDeletion(nullptr));
    EXPECT_FALSE(IsCompressionOff(nullptr));
    DisableCompression(nullptr);
    ReleaseCompressionConfig(nullptr);
    DWORD zip = 7, lossy = 7;
    LookupCompressionRule(nullptr, 1000, &zip, &lossy);
    EXPECT_EQ(zip, 7u);
    EXPECT_EQ(lossy, 7u);

    // A printer handle that is not valid reads the defaults.
    ComprCnf other{};
    ReadCompressionConfig(nullptr, &other);
    EXPECT_TRUE(IsCompressionOff(&other));
    EXPECT_EQ(other.fDPIReduction, 1u);
}

} // namespace
