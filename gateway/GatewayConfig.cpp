#include "gateway/GatewayConfig.h"

#define QLWINPRN_KEY WSTR("SOFTWARE\\Quillon\\QLWinPrn")

ConfigPath ReadConfigPath(LPCWSTR pszName, WCHAR (&szPath)[CONFIG_PATH_CCH]) {
    szPath[0] = 0;
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, QLWINPRN_KEY, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return ConfigPath::NoKey;
    DWORD dwType = 0;
    DWORD cbData = sizeof(szPath);
    const LONG rc = RegQueryValueExW(hKey, pszName, nullptr, &dwType, reinterpret_cast<LPBYTE>(szPath), &cbData);
    RegCloseKey(hKey);
    if (rc != ERROR_SUCCESS || dwType != REG_SZ) {
        szPath[0] = 0;
        return ConfigPath::NoValue;
    }
    // The stored data need not end in a terminator.
    const size_t cch = cbData / sizeof(WCHAR);
    szPath[cch < CONFIG_PATH_CCH ? cch : CONFIG_PATH_CCH - 1] = 0;
    return ConfigPath::Found;
}
