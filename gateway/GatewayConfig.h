// Path values of the print processor's machine configuration that the
// gateway pipeline reads once per copy (JDF configuration file, watermark).
#pragma once
#include "palwin.h"

// Characters of a configured path (the registry value is read into 520 bytes).
constexpr size_t CONFIG_PATH_CCH = 260;

enum class ConfigPath {
    Found,         // szPath holds the value (terminated, possibly empty)
    NoKey,         // the configuration key cannot be opened
    NoValue,       // the value is missing, not REG_SZ, or longer than the buffer
};

// Reads the REG_SZ value pszName of HKLM\SOFTWARE\Quillon\QLWinPrn into
// szPath; szPath is empty unless the result is Found.
ConfigPath ReadConfigPath(LPCWSTR pszName, WCHAR (&szPath)[CONFIG_PATH_CCH]);
