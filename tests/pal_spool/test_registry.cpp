// The Reg* calls: Win32 return codes for missing keys and values, buffer
// sizes, deletion, handle tracking and concurrent use.
#include "spool_test_util.h"

#include <algorithm>

using namespace spooltest;

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        pal::host::ClearRegistry();
        LoadReg(R"(Windows Registry Editor Version 5.00
[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"DebugFile"="C:\\log.txt"
"DebugLevel"=dword:00000101
"Forms"=hex:09,00,01,00,00,00
[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn\Sub2]
[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn\sub1]
)");
        handlesBefore = pal::host::OpenHandles().size();
    }
    void TearDown() override {
        EXPECT_EQ(pal::host::OpenHandles().size(), handlesBefore);
        pal::host::ClearRegistry();
    }
    HKEY Open(const char16_t* path) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS);
        return key;
    }
    size_t handlesBefore = 0;
};

TEST_F(Registry, OpenReportsMissingKeysAndTracksHandles) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    key = Open(u"software\\QUILLON\\qlwinprn");
    ASSERT_NE(key, nullptr);
    auto handles = pal::host::OpenHandles();
    EXPECT_NE(std::find(handles.begin(), handles.end(), "registry key HKEY_LOCAL_MACHINE\\software\\QUILLON\\qlwinprn"),
              handles.end());
    // A relative open from an open key.
    HKEY sub = nullptr;
    EXPECT_EQ(RegOpenKeyExW(key, u"SUB1", 0, KEY_READ, &sub), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(0x1234), u"x", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExW(reinterpret_cast<HKEY>(0x1234), u"x", nullptr, nullptr, nullptr, &cb),
              ERROR_INVALID_HANDLE);
    // Other roots are separate and empty.
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Quillon", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, QueryValueFollowsWin32BufferRules) {
    HKEY key = Open(u"SOFTWARE\\Quillon\\QLWinPrn");
    DWORD type = 0, cb = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, &type, nullptr, &cb), ERROR_FILE_NOT_FOUND);

    // Size query: no buffer, the size comes back with success.
    EXPECT_EQ(RegQueryValueExW(key, u"debugfile", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(cb, 22u); // "C:\log.txt" and its terminator
    WCHAR text[16] = {};
    DWORD small = cb - 2;
    EXPECT_EQ(RegQueryValueExW(key, u"DebugFile", nullptr, &type, reinterpret_cast<LPBYTE>(text), &small),
              ERROR_MORE_DATA);
    EXPECT_EQ(small, 22u);
    DWORD exact = cb;
    EXPECT_EQ(RegQueryValueExW(key, u"DebugFile", nullptr, &type, reinterpret_cast<LPBYTE>(text), &exact),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(text), u"C:\\log.txt");
    EXPECT_EQ(text[10], 0);

    DWORD level = 0, cbLevel = sizeof level;
    EXPECT_EQ(RegQueryValueExW(key, u"DebugLevel", nullptr, &type, reinterpret_cast<LPBYTE>(&level), &cbLevel),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(level, 0x101u);
    BYTE forms[1024];
    DWORD cbForms = sizeof forms;
    EXPECT_EQ(RegQueryValueExW(key, u"Forms", nullptr, &type, forms, &cbForms), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(cbForms, 6u);
    // A data buffer without a size is refused.
    EXPECT_EQ(RegQueryValueExW(key, u"Forms", nullptr, &type, forms, nullptr), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(Registry, CreateSetAndDelete) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\New\\Deep", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    DWORD v = 5;
    EXPECT_EQ(RegSetValueExW(key, u"Five", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4), ERROR_SUCCESS);
    v = 6;
    EXPECT_EQ(RegSetValueExW(key, u"FIVE", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, nullptr, 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"software\\new\\deep", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

    // Value names ignore case; the overwritten value keeps its first name.
    const std::string exported = pal::host::ExportRegistry();
    EXPECT_NE(exported.find("\"Five\"=dword:00000006\n@=hex:\n"), std::string::npos) << exported;
    EXPECT_EQ(RegDeleteValueW(key, u"five"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, u"five"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);

    key = Open(u"SOFTWARE\\Quillon\\QLWinPrn");
    // Delete: keys with subkeys are refused; a handle to a deleted key reports it.
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyExW(key, u"Sub2", 0, KEY_READ, &sub), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quillon"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(key, u"sub2"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(key, u"sub2"), ERROR_FILE_NOT_FOUND);
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExW(sub, u"", nullptr, nullptr, nullptr, &cb), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
    RegCloseKey(key);
}

} // namespace
