#define QL_MODULE WSTR("Util")
#include "port/Impersonate.h"

#include "diag/DbgLog.h"

HMODULE LoadSystemLibrary(LPCWSTR lpszName) {
    if (!lpszName) return nullptr;
    for (LPCWSTR p = lpszName; *p; ++p) {
        if (*p == WSTR('\\')) return nullptr;
    }

    WCHAR szPath[MAX_PATH] = {};
    UINT cchDir = GetSystemDirectoryW(szPath, MAX_PATH);
    if (cchDir == 0 || cchDir >= MAX_PATH - 1) return nullptr;
    size_t cchName = static_cast<size_t>(lstrlenW(lpszName));
    if (cchDir + cchName >= MAX_PATH - 1) return nullptr;

    szPath[cchDir] = WSTR('\\');
    lstrcpynW(szPath + cchDir + 1, lpszName, static_cast<int>(MAX_PATH - cchDir - 1));
    return LoadLibraryW(szPath);
}
