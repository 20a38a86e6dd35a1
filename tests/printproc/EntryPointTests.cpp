// Entry points called outside any job, the job parameter parser, the
// process-wide tables loaded at attach, and the library's utility functions.
#include "support/JobMachine.h"

#include "port/Impersonate.h"
#include "port/PortMonitor.h"
#include "printproc/Util.h"

#include <cstring>
#include <filesystem>

using namespace qltest;

namespace {

const std::u16string kNames[] = {u"RAW",          u"RAW [FF appended]", u"RAW [FF auto]",
                                 u"NT EMF 1.003", u"TEXT",              u"NT EMF 1.006",
                                 u"NT EMF 1.007", u"NT EMF 1.008",      u"QL EMZ 1.0"};

DWORD ExpectedDatatypeBytes() {
    DWORD cb = 0;
    for (const auto& n : kNames) cb += 8 + static_cast<DWORD>((n.size() + 1) * 2);
    return cb;
}

} // namespace

class EntryPoints : public JobTest {};

TEST_F(EntryPoints, DatatypesFillTheBufferFromBothEnds) {
    const DWORD cbNeeded = ExpectedDatatypeBytes();
    std::vector<BYTE> buf(cbNeeded + 6, 0xEE);
    DWORD needed = 0, count = 77;
    ASSERT_TRUE(EnumPrintProcessorDatatypesW(nullptr, nullptr, 1, buf.data(), static_cast<DWORD>(buf.size()),
                                             &needed, &count));
    EXPECT_EQ(needed, cbNeeded);
    ASSERT_EQ(count, 9u);
    auto* info = reinterpret_cast<DATATYPES_INFO_1W*>(buf.data());
    const BYTE* end = buf.data() + buf.size();
    for (DWORD i = 0; i < count; ++i) {
        EXPECT_EQ(std::u16string(info[i].pName), kNames[i]);
        EXPECT_GE(reinterpret_cast<const BYTE*>(info[i].pName), buf.data() + 9 * sizeof(DATATYPES_INFO_1W));
    }
    // The first entry's string is the one nearest the end of the buffer.
    EXPECT_EQ(reinterpret_cast<const BYTE*>(info[0].pName) + (kNames[0].size() + 1) * 2, end);

    // One byte short: nothing counted, the needed size reported.
    SetLastError(0);
    EXPECT_FALSE(EnumPrintProcessorDatatypesW(nullptr, nullptr, 1, buf.data(), cbNeeded - 1, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, cbNeeded);
    EXPECT_EQ(count, 0u);
}

TEST_F(EntryPoints, Capabilities) {
    std::vector<BYTE> buf(64, 0xCC);
    DWORD needed = 0;
    std::u16string raw = u"raw", emz = u"QL EMZ 1.0", bogus = u"PostScript";

    // 36 bytes and more: level 2; 16 to 35: level 1, 16 bytes written; less: the size asked for.
    for (DWORD size : {36u, 16u, 35u, 0u, 15u}) {
        std::fill(buf.begin(), buf.end(), 0xCC);
        const DWORD rc = GetPrintProcessorCapabilities(raw.data(), 0, buf.data(), size, &needed);
        EXPECT_EQ(rc, size < 16 ? static_cast<DWORD>(ERROR_MORE_DATA) : 0u) << size;
        EXPECT_EQ(needed, size >= 16 && size < 36 ? 16u : 36u) << size;
        if (size < 16) continue;
        PRINTPROCESSOR_CAPS_2 caps = {};
        std::memcpy(&caps, buf.data(), needed);
        EXPECT_EQ(caps.dwLevel, size >= 36 ? 2u : 1u);
        EXPECT_EQ(caps.dwNupOptions, 1u);
        EXPECT_EQ(caps.dwNumberOfCopies, 0xFFFFFFFFu);
        EXPECT_EQ(caps.dwPageOrderFlags | caps.dwDuplexHandlingCaps | caps.dwNupDirectionCaps | caps.dwNupBorderCaps |
                      caps.dwBookletHandlingCaps | caps.dwScalingCaps,
                  0u);
        EXPECT_EQ(buf[needed], 0xCC) << "nothing written past the level's size";
    }

    // Missing arguments and unknown datatypes.
    EXPECT_EQ(GetPrintProcessorCapabilities(emz.data(), 0, buf.data(), 36, nullptr),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetPrintProcessorCapabilities(nullptr, 0, buf.data(), 36, &needed),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetPrintProcessorCapabilities(emz.data(), 0, nullptr, 36, &needed),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetPrintProcessorCapabilities(emz.data(), 0, buf.data(), 36, &needed), 0u);
    EXPECT_EQ(GetPrintProcessorCapabilities(bogus.data(), 0, buf.data(), 36, &needed),
              static_cast<DWORD>(ERROR_INVALID_DATATYPE));
    EXPECT_TRUE(Contains(Lines(), u"GetPrintProcessorCapabilities <PostScript> is called, Attributes 0(0x0)"));
}

TEST_F(EntryPoints, InstallShowsTheSetupBox) {
    pal::host::TakeMessageBoxes();
    EXPECT_TRUE(InstallPrintProcessor(nullptr));
    auto boxes = pal::host::TakeMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, u"WinPrint");
    EXPECT_EQ(boxes[0].caption, u"Print Processor Setup");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
}

TEST(Parameters, KeyValueSyntax) {
    struct Case {
        const char16_t* params;
        BOOL found;
        DWORD value;
    } cases[] = {
        {u"COPIES=3;", TRUE, 3},
        {u"COPIES=3", FALSE, 1},            // last value without ";"
        {u"COPIES=3 ;", FALSE, 1},          // value followed by a blank
        {u"COPIES =3;", FALSE, 1},          // blank before "="
        {u" \tCOPIES=\t 7;", TRUE, 7},      // blanks skipped before name and value
        {u"copies=4;", TRUE, 4},            // case-insensitive
        {u"COPIESX=5;", TRUE, 5},           // a longer name beginning with the key
        {u"COP=5;", FALSE, 1},              // a shorter one does not
        {u"TABS=4;COPIES=2;", TRUE, 2},     // other items skipped
        {u"COPIES=2;COPIES=9;", TRUE, 2},   // first match wins
        {u"COPIES=x3;", FALSE, 1},          // must begin with a digit
        {u"COPIES=12ab;", TRUE, 12},        // read up to the first non-digit
        {u"COPIES=;", FALSE, 1},
        {u"", FALSE, 1},
    };
    for (const auto& c : cases) {
        DWORD value = 1;
        EXPECT_EQ(GetKeyValue(reinterpret_cast<LPCWSTR>(c.params), WSTR("COPIES"), &value), c.found)
            << pal::host::ToUtf8(c.params);
        EXPECT_EQ(value, c.value) << pal::host::ToUtf8(c.params);
    }
}

TEST_F(EntryPoints, FormsTableFromRegistry) {
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\Quillon\\QLWinPrn"), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    const auto load = [&](DWORD type, const void* data, DWORD cb) {
        if (data) {
            EXPECT_EQ(RegSetValueExW(hKey, WSTR("Forms"), 0, type, static_cast<const BYTE*>(data), cb), ERROR_SUCCESS);
        } else {
            RegDeleteValueW(hKey, WSTR("Forms"));
        }
        FreeFormsTable();
        LoadFormsTable();
    };
    const BYTE forms[10] = {9, 0, 1, 0, 8, 0, 11, 0, 0, 0};
    load(REG_BINARY, forms, sizeof(forms));
    ASSERT_NE(g_pForms, nullptr);
    ASSERT_EQ(g_cForms, 4u);
    EXPECT_EQ(g_pForms[0], 9);
    EXPECT_EQ(g_pForms[3], 11);
    EXPECT_EQ(g_pForms[4], 0);
    load(REG_BINARY, forms, 9);
    EXPECT_EQ(g_cForms, 3u) << "an odd length keeps whole words only";
    const WCHAR text[] = WSTR("9,1,8");
    load(REG_SZ, text, sizeof(text));
    EXPECT_EQ(g_pForms, nullptr);
    EXPECT_EQ(g_cForms, 0u);
    load(REG_NONE, nullptr, 0);
    EXPECT_EQ(g_pForms, nullptr);
    RegCloseKey(hKey);
}

// The memory functions and the system library loader.
class Util : public JobTest {};

TEST_F(Util, MemoryFunctions) {
    auto* p = static_cast<BYTE*>(MemAlloc(64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0) << "zero-filled";
    std::memset(p, 0xAB, 64);

    auto* grown = static_cast<BYTE*>(MemReAlloc(p, 64, 128));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown[63], 0xAB);
    EXPECT_EQ(grown[64], 0);
    auto* shrunk = static_cast<BYTE*>(MemReAlloc(grown, 128, 8));
    ASSERT_NE(shrunk, nullptr);
    EXPECT_EQ(shrunk[7], 0xAB);

    LPVOID pv = shrunk;
    EXPECT_TRUE(MemFree(&pv));
    EXPECT_EQ(pv, nullptr);
    SetLastError(1234);
    EXPECT_FALSE(MemFree(&pv)) << "already freed";
    EXPECT_EQ(GetLastError(), 1234u);
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"[FLUNKKED<LastError=1234>] (*lpMem)")) << Dump(lines);

    LPWSTR copy = AllocSplStr(WSTR("Quillon \u00e9"));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(copy)), u"Quillon \u00e9");
    MemFreeT(&copy);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(AllocSplStr(nullptr), nullptr);
}

TEST_F(Util, SystemLibrariesLoadByBareNameOnly) {
    EXPECT_EQ(LoadSystemLibrary(nullptr), nullptr);
    const std::u16string longName(300, u'a');
    for (const char16_t* name : {u"..\\winspool.drv", u".\\winspool.drv", u"\\winspool.drv",
                                 u"C:\\Windows\\System32\\winspool.drv", u"\\\\server\\share\\winspool.drv",
                                 u"system32\\winspool.drv", longName.c_str()})
        EXPECT_EQ(LoadSystemLibrary(reinterpret_cast<LPCWSTR>(name)), nullptr) << pal::host::ToUtf8(name);

    HMODULE h = LoadSystemLibrary(WSTR("winspool.drv"));
    ASSERT_NE(h, nullptr);
    EXPECT_NE(GetProcAddress(h, "DocumentPropertiesW"), nullptr);
    FreeLibrary(h);
}
