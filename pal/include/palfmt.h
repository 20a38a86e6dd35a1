// UTF-16 formatting with the Windows wide-printf meaning of the conversions,
// identical on every platform:
//   %s %ws %ls  UTF-16 string        %S %hs  8-bit string
//   %c %wc %lc  UTF-16 character     %C %hc  8-bit character
//   %d %i %u %x %X %o  32-bit ints;  l = 32 bits (LLP64), ll / I64 = 64 bits,
//                      h = 16 bits, I / z = pointer-sized
//   %p  pointer, 16 upper-case hex digits   %f %e %g  doubles   %%
// with the flags "-+ #0", width and precision (also as "*"). A null string
// argument prints "(null)".
#pragma once
#include <cstdarg>
#include <cstddef>

#if defined(_WIN32)
typedef wchar_t PalWChar;
#else
typedef char16_t PalWChar;
#endif

// Formats into buf, which holds cch characters (cch > 0); the result is always
// terminated and truncated to cch - 1 characters. Returns the number of
// characters stored, without the terminator.
size_t PalFormatW(PalWChar* buf, size_t cch, const PalWChar* format, ...);
size_t PalFormatVW(PalWChar* buf, size_t cch, const PalWChar* format, va_list args);
