// The memory functions and the system library loader.
#include "support/JobMachine.h"

#include "port/Impersonate.h"
#include "printproc/Util.h"

#include <cstring>

using namespace qltest;

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
