// C runtime pieces for UTF-16 strings on the Linux build: the wide string
// functions of the Windows C runtime (WCHAR is char16_t here, so these are
// overloads next to the C library's wchar_t versions) and _wfopen.
#pragma once
#include "pal/types.h"

#include <cstdio>
#include <cwchar>

size_t wcslen(const WCHAR* s);
size_t wcsnlen(const WCHAR* s, size_t maxlen);
WCHAR* wcscpy(WCHAR* dst, const WCHAR* src);
WCHAR* wcscat(WCHAR* dst, const WCHAR* src);
int wcscmp(const WCHAR* a, const WCHAR* b);
int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n);
int _wcsicmp(const WCHAR* a, const WCHAR* b);
int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n);
const WCHAR* wcschr(const WCHAR* s, WCHAR c);
WCHAR* wcschr(WCHAR* s, WCHAR c);
const WCHAR* wcsrchr(const WCHAR* s, WCHAR c);
WCHAR* wcsrchr(WCHAR* s, WCHAR c);
const WCHAR* wcsstr(const WCHAR* s, const WCHAR* find);
WCHAR* wcsstr(WCHAR* s, const WCHAR* find);
// Lower case of one UTF-16 code unit (ASCII and Latin-1 letters).
WCHAR towlower(WCHAR c);

// Opens a file given by a Windows path (mapped under the drive root). Modes as
// fopen; "t" is accepted and means text mode, which writes "\n" as CR LF as the
// Windows runtime does.
FILE* _wfopen(const WCHAR* path, const WCHAR* mode);

// 64-bit file positioning of the Windows runtime (the C runtime's fseek takes
// a long, which is 32 bits on Windows).
inline int _fseeki64(FILE* stream, long long offset, int origin) {
    return fseeko(stream, static_cast<off_t>(offset), origin);
}
