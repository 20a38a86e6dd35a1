// The loader: module names, reference counts, DllMain calls, and lookups
// limited to a module's own exports.
#include "palhost.h"
#include "palwin.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// GetProcAddress answers a FARPROC; the exports have other types.
template <class Fn>
Fn Proc(HMODULE m, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(m, name)));
}

class Modules : public ::testing::Test {
protected:
    void SetUp() override {
        pal::host::SetModuleDirectory(QL_BIN_DIR);
        pal::host::TakeDebugOutput();
    }
    static std::vector<std::u16string> ModuleLines() {
        std::vector<std::u16string> lines;
        for (auto& l : pal::host::TakeDebugOutput())
            if (l.rfind(u"paltestmod ", 0) == 0) lines.push_back(l);
        return lines;
    }
};

TEST_F(Modules, ReferenceCountedWithDllMainOnFirstLoadAndLastFree) {
    HMODULE a = LoadLibraryW(u"PalTestMod.DLL");
    ASSERT_NE(a, nullptr) << GetLastError();
    HMODULE b = LoadLibraryW(u"C:\\Program Files\\QL\\paltestmod.dll");
    EXPECT_EQ(a, b);
    EXPECT_EQ(ModuleLines(), std::vector<std::u16string>{u"paltestmod attach"});
    EXPECT_EQ(GetModuleHandleW(u"paltestmod"), a); // no reference added

    auto instance = Proc<HINSTANCE (*)()>(a, "PalTestModInstance");
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(instance(), reinterpret_cast<HINSTANCE>(a)); // DllMain got the module handle
    auto answer = Proc<int (*)()>(a, "PalTestModAnswer");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);

    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_TRUE(ModuleLines().empty());
    EXPECT_EQ(GetModuleHandleW(u"paltestmod.dll"), a);
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_EQ(ModuleLines(), std::vector<std::u16string>{u"paltestmod detach"});
    EXPECT_EQ(GetModuleHandleW(u"paltestmod.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_FALSE(FreeLibrary(a));

    // Loaded again, the module starts afresh with a new attach.
    HMODULE c = LoadLibraryW(u"paltestmod");
    ASSERT_NE(c, nullptr);
    auto count = Proc<int (*)()>(c, "PalTestModAttachCount");
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count(), 1);
    FreeLibrary(c);
}

TEST_F(Modules, GetProcAddressSeesOnlyTheModulesOwnExports) {
    HMODULE m = LoadLibraryW(u"paltestmod.dll");
    ASSERT_NE(m, nullptr);
    // The module links the platform layer, but its export table does not hold it.
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(m, "OutputDebugStringW"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(m, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    FreeLibrary(m);
}

TEST_F(Modules, MissingModuleAndFailedAttach) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(u"nosuchmodule.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    setenv("PALTESTMOD_FAIL", "1", 1);
    EXPECT_EQ(LoadLibraryW(u"paltestmod.dll"), nullptr);
    unsetenv("PALTESTMOD_FAIL");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(GetModuleHandleW(u"paltestmod.dll"), nullptr); // unloaded again
    EXPECT_EQ(ModuleLines(), std::vector<std::u16string>{u"paltestmod attach"});
}

} // namespace
