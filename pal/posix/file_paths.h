// Internals shared by the file calls (files.cpp) and the C runtime streams
// (crt_files.cpp): directory creation, Win32 errors for a host path and the
// checks of a path argument. The mapping itself is declared in core.h.
#pragma once
#include "pal/types.h"

#include <string>
#include <sys/stat.h>

namespace pal {

// Creates a directory and its missing parents; true when it exists afterwards.
bool MakeDirs(const std::string& path);
// The Win32 error for an errno of a call on hostPath (a missing file or
// directory as Windows tells them apart).
DWORD ErrorFor(int err, const std::string& hostPath);
// The READONLY attribute: no write bit at all. Checked by hand because the
// spooler host may run as root, which the kernel lets write anything.
bool IsReadOnly(const struct stat& st);
// Validates a path argument and maps it; false with the last error set when
// Windows would refuse the name.
bool MapArg(LPCWSTR windowsPath, std::string& hostPath);

} // namespace pal
