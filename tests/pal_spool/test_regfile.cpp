// The .reg loader and exporter: every value form, deletions, header and
// encoding variants, error messages with line numbers, and round trips.
#include "spool_test_util.h"

#include <filesystem>
#include <fstream>

#include <unistd.h>

using namespace spooltest;
using pal::host::ExportRegistry;
using pal::host::LoadRegistryText;

namespace {

class RegFile : public ::testing::Test {
protected:
    void SetUp() override { pal::host::ClearRegistry(); }
    void TearDown() override { pal::host::ClearRegistry(); }
};

TEST_F(RegFile, ReadsEveryValueForm) {
    LoadReg(R"(Windows Registry Editor Version 5.00

; a comment line
[HKEY_LOCAL_MACHINE\SOFTWARE\Test]
@="default"
"Path"="C:\\dir\\file.txt"
"Quote"="say \"hi\""
"Empty"=""
"Count"=dword:0000002a
"Small"=dword:7
"Blob"=hex:de,ad,BE,ef
"NoBytes"=hex:
"Expand"=hex(2):25,00,41,00,25,00,00,00
"Multi"=hex(7):61,00,00,00,62,00,00,00,00,00
"Big"=hex(b):01,02,03,04,05,06,07,08
"Odd"=hex(5):ff
"Long"=hex:00,01,02,03,\
  04,05,\
  06

[HKLM\SOFTWARE\Test\Sub]
"x"="y"
)");
    const struct {
        const char16_t* name; // value names are case-insensitive
        DWORD type;
        std::vector<uint8_t> data;
    } values[] = {
        {u"", REG_SZ, Utf16Bytes(u"default")},
        {u"path", REG_SZ, Utf16Bytes(u"C:\\dir\\file.txt")},
        {u"Quote", REG_SZ, Utf16Bytes(u"say \"hi\"")},
        {u"Empty", REG_SZ, Utf16Bytes(u"")},
        {u"Count", REG_DWORD, Bytes({0x2a, 0, 0, 0})},
        {u"Small", REG_DWORD, Bytes({7, 0, 0, 0})},
        {u"Blob", REG_BINARY, Bytes({0xde, 0xad, 0xbe, 0xef})},
        {u"NoBytes", REG_BINARY, {}},
        {u"Expand", REG_EXPAND_SZ, Utf16Bytes(u"%A%")},
        {u"Multi", REG_MULTI_SZ, Bytes({0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0})},
        {u"Big", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
        {u"Odd", 5, Bytes({0xff})},
        {u"Long", REG_BINARY, Bytes({0, 1, 2, 3, 4, 5, 6})},
    };
    for (const auto& v : values) {
        const auto got = ReadValue(u"SOFTWARE\\Test", v.name);
        EXPECT_EQ(got.type, v.type) << pal::host::ToUtf8(v.name);
        EXPECT_EQ(got.data, v.data) << pal::host::ToUtf8(v.name);
    }
    EXPECT_EQ(ReadValue(u"SOFTWARE\\Test", nullptr).data, Utf16Bytes(u"default"));
    EXPECT_EQ(ReadValue(u"software\\test\\SUB", u"X").data, Utf16Bytes(u"y"));
}

TEST_F(RegFile, LaterFilesDeleteKeysAndValues) {
    LoadReg("Windows Registry Editor Version 5.00\n[HKLM\\A\\B\\C]\n\"v\"=dword:1\n[HKLM\\A]\n\"keep\"=\"1\"\n"
            "\"drop\"=\"2\"\n");
    LoadReg("Windows Registry Editor Version 5.00\n[-HKEY_LOCAL_MACHINE\\A\\B]\n[HKLM\\A]\n\"drop\"=-\n");
    EXPECT_EQ(ReadValue(u"A\\B\\C", u"v").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadValue(u"A\\B", u"").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadValue(u"A", u"keep").rc, ERROR_SUCCESS);
    EXPECT_EQ(ReadValue(u"A", u"drop").rc, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegFile, AcceptsHeaderAndEncodingVariants) {
    LoadReg("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Old]\r\n\"s\"=\"text\"\r\n\"e\"=hex(2):41,42,00\r\n");
    EXPECT_EQ(ReadValue(u"Old", u"s").data, Utf16Bytes(u"text"));
    // REGEDIT4 keeps string types as 8-bit text; they are widened.
    EXPECT_EQ(ReadValue(u"Old", u"e").data, Utf16Bytes(u"AB"));

    LoadReg("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n[HKLM\\Bom]\n\"n\"=\"\xC3\xA4\"\n");
    EXPECT_EQ(ReadValue(u"Bom", u"n").data, Utf16Bytes(u"\u00e4"));

    std::u16string wide = u"Windows Registry Editor Version 5.00\r\n[HKLM\\Wide]\r\n\"w\"=\"\u20ac\"\r\n";
    std::string bytes = "\xFF\xFE";
    for (char16_t c : wide) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    LoadReg(bytes);
    EXPECT_EQ(ReadValue(u"Wide", u"w").data, Utf16Bytes(u"\u20ac"));
}

TEST_F(RegFile, ReportsErrorsWithLineAndLeavesHiveUnchanged) {
    LoadReg("Windows Registry Editor Version 5.00\n[HKLM\\Keep]\n\"a\"=\"1\"\n");
    const std::string before = ExportRegistry();
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"[HKLM\\X]\n", "test.reg:1: missing header"},
        {"Windows Registry Editor Version 5.00\n\n[HKLM\\X\n", "test.reg:3: key line without closing"},
        {"Windows Registry Editor Version 5.00\n[HKEY_NOWHERE\\X]\n", "test.reg:2: unknown root key \"HKEY_NOWHERE\""},
        {"Windows Registry Editor Version 5.00\n\"a\"=\"1\"\n", "test.reg:2: value outside of a key"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\X]\n\"a\"=\"open\n", "test.reg:3: string without closing quote"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\X]\n\"a\"=\"x\" y\n", "test.reg:3: unexpected text after"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\X]\n\"a\"=\"\\n\"\n", "test.reg:3: unknown escape"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\X]\n\"a\"=dword:123456789\n", "test.reg:3: invalid dword"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\X]\n\"a\"=dword:xyz\n", "test.reg:3: invalid dword"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\X]\n\"a\"=hex:01,zz\n", "test.reg:3: invalid hex byte"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\X]\n\"a\"=hex:01,,02\n", "test.reg:3: invalid hex byte"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\X]\n\"a\"=hex(q):01\n", "test.reg:3: invalid hex type"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\X]\n\"a\"=hex:01,\\", "test.reg:3: continuation line missing"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\X]\n\"a\"=str\n", "test.reg:3: unknown value data"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\X]\n\"a\"\n", "test.reg:3: expected \"=\""},
        {"Windows Registry Editor Version 5.00\n[HKLM\\X]\nname=1\n", "test.reg:3: unexpected text"},
        {"Windows Registry Editor Version 5.00\n[-HKLM]\n", "test.reg:2: a root key cannot be deleted"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(LoadRegistryText(c.text, "test.reg", &error)) << c.text;
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << "got: " << error;
        EXPECT_EQ(ExportRegistry(), before) << c.text;
    }
    // A valid first part is not applied when a later line is wrong.
    std::string error;
    EXPECT_FALSE(LoadRegistryText("Windows Registry Editor Version 5.00\n[HKLM\\New]\n\"a\"=\"1\"\n[-HKLM\\Keep]\n"
                                  "\"b\"=dword:1\n",
                                  "m.reg", &error));
    EXPECT_EQ(error, "m.reg:5: value outside of a key");
    EXPECT_EQ(ExportRegistry(), before);
}

TEST_F(RegFile, ExportReadsBackIdentically) {
    LoadReg(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE]
"RootValue"=dword:00000001

[HKEY_LOCAL_MACHINE\SOFTWARE\b]
@="default"
"Quote\"Name"="back\\slash \"q\""
"z first"=dword:ffffffff
"Blob"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a
"Expand"=hex(2):25,00,00,00
"Type9"=hex(9):
[HKEY_LOCAL_MACHINE\SOFTWARE\A\Empty]
[HKEY_CURRENT_USER\Printers]
"x"="y"
)");
    // Values that cannot be written as "text" travel as hex(1).
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\b", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    auto nul = Utf16Bytes(std::u16string(u"a\0b", 3));
    auto unterminated = Utf16Bytes(u"abc", false);
    auto newline = Utf16Bytes(u"line1\nline2");
    auto shortDword = Bytes({1, 2});
    RegSetValueExW(key, u"Nul", 0, REG_SZ, nul.data(), static_cast<DWORD>(nul.size()));
    RegSetValueExW(key, u"Unterminated", 0, REG_SZ, unterminated.data(), static_cast<DWORD>(unterminated.size()));
    RegSetValueExW(key, u"Newline", 0, REG_SZ, newline.data(), static_cast<DWORD>(newline.size()));
    RegSetValueExW(key, u"ShortDword", 0, REG_DWORD, shortDword.data(), 2);
    RegCloseKey(key);

    const std::string first = ExportRegistry();
    EXPECT_NE(first.find("\"Nul\"=hex(1):61,00,00,00,62,00,00,00\n"), std::string::npos) << first;
    EXPECT_NE(first.find("\"z first\"=dword:ffffffff\n"), std::string::npos);
    EXPECT_NE(first.find("\"ShortDword\"=hex(4):01,02\n"), std::string::npos);
    EXPECT_NE(first.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\Empty]"), std::string::npos);
    // Keys sorted case-insensitively: A before b.
    EXPECT_LT(first.find("SOFTWARE\\A\\Empty"), first.find("SOFTWARE\\b]"));

    pal::host::ClearRegistry();
    LoadReg(first);
    EXPECT_EQ(ExportRegistry(), first);
    EXPECT_EQ(ReadValue(u"SOFTWARE\\b", u"Nul").data, nul);
    EXPECT_EQ(ReadValue(u"SOFTWARE\\b", u"Newline").data, newline);
    EXPECT_EQ(ReadValue(u"SOFTWARE\\b", u"Quote\"Name").data, Utf16Bytes(u"back\\slash \"q\""));
}

} // namespace
