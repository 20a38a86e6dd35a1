// Font resources: font files a process adds for its own use.
#pragma once
#include "pal/types.h"

#define PAL_API extern "C" __attribute__((visibility("default")))

#define FR_PRIVATE 0x10
#define FR_NOT_ENUM 0x20

// Makes the font file resolvable by its family name for this process (the
// flags are accepted as given: every added font is private to the process).
// Returns the number of fonts added, 0 on failure.
PAL_API int AddFontResourceExW(LPCWSTR name, DWORD fl, PVOID res);
