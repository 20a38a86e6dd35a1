// Internal helpers shared by the platform layer's own files: UTF conversions,
// errno translation and the Windows path mapping. Not part of the interface
// product code sees.
#pragma once
#include "handles.h"
#include "pal/base.h"
#include "pal/types.h"

#include <new>
#include <string>
#include <string_view>

namespace pal {

// UTF-16 <-> UTF-8; unpaired surrogates and invalid bytes become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view s);
std::u16string Utf8ToUtf16(std::string_view s);
// Windows-1252 <-> UTF-16 (code units without a single-byte form become '?').
std::u16string AnsiToUtf16(std::string_view s);
std::string Utf16ToAnsi(std::u16string_view s);

// Length of a null-terminated UTF-16 string; 0 for null.
size_t WLen(const WCHAR* s);
inline std::u16string_view WView(const WCHAR* s) { return s ? std::u16string_view(s, WLen(s)) : std::u16string_view(); }

// ASCII and Latin-1 case folding of one code unit.
WCHAR FoldUpper(WCHAR c);
WCHAR FoldLower(WCHAR c);

// The Win32 error code that corresponds to an errno value.
DWORD Win32FromErrno(int err);

// Host path of a Windows path (see palhost.h MapPath). Existing path
// components are matched without regard to case, as Windows file names are.
std::string HostPath(std::u16string_view windowsPath);
// True when the name part of a Windows path holds a character Windows refuses
// in file names (< > " | ? * or a colon after the drive).
bool HasInvalidPathChars(std::u16string_view windowsPath);

// Copies s plus terminator into buf when it fits. Returns the Win32 "length
// or needed size" convention: length without terminator on success, needed
// size with terminator when the buffer is too small.
DWORD CopyOutString(std::u16string_view s, WCHAR* buf, DWORD cch);

// The computer name (palhost SetComputerName; "QLHOST" by default).
std::u16string ComputerName();

// A handle object WaitForSingleObject can wait on.
class Waitable : public Object {
public:
    // WAIT_OBJECT_0 or WAIT_TIMEOUT.
    virtual DWORD Wait(DWORD milliseconds) = 0;
};

// Runs an entry point body; no exception leaves the layer.
template <class R, class F>
R Guard(R failValue, F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        SetLastError(ERROR_GEN_FAILURE);
    }
    return failValue;
}

// Sets the last error and returns value (FALSE when none is given).
template <class R>
R FailWith(DWORD error, R value) {
    SetLastError(error);
    return value;
}
inline BOOL FailWith(DWORD error) {
    return FailWith(error, BOOL(FALSE));
}

} // namespace pal
