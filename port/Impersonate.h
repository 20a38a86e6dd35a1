// Identity and system-library helpers of the print processor.
#pragma once
#include "palwin.h"

// Loads a library by bare file name from the system directory only. Null for
// a null name, a name with a backslash, or a path that would not fit.
HMODULE LoadSystemLibrary(LPCWSTR lpszName);
