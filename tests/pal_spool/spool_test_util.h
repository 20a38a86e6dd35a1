// Helpers shared by the registry and spooler tests.
#pragma once
#include "palhost.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace spooltest {

inline std::vector<uint8_t> Utf16Bytes(const std::u16string& s, bool terminate = true) {
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (terminate) out.insert(out.end(), {0, 0});
    return out;
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> out;
    for (int b : list) out.push_back(static_cast<uint8_t>(b));
    return out;
}

// Reads a value under HKLM\<path>; type and bytes, or the Win32 error.
struct RegRead {
    LONG rc = 0;
    DWORD type = 0;
    std::vector<uint8_t> data;
};
inline RegRead ReadValue(const char16_t* path, const char16_t* name) {
    RegRead r;
    HKEY key = nullptr;
    r.rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (r.rc) return r;
    DWORD cb = 0;
    r.rc = RegQueryValueExW(key, name, nullptr, &r.type, nullptr, &cb);
    if (!r.rc) {
        r.data.resize(cb);
        r.rc = RegQueryValueExW(key, name, nullptr, &r.type, r.data.data(), &cb);
        r.data.resize(cb);
    }
    RegCloseKey(key);
    return r;
}

// Loads .reg text and fails the test with the loader's message on error.
inline void LoadReg(const std::string& text) {
    std::string error;
    ASSERT_TRUE(pal::host::LoadRegistryText(text, "test.reg", &error)) << error;
}

} // namespace spooltest
