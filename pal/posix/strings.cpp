// UTF-16 strings: the wide C runtime functions for char16_t, the lstr*W
// family and code-page conversions (Windows-1252 and UTF-8).
#include "core.h"

#include "palhost.h"
#include "palwin.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace pal {
namespace {

// Windows-1252 bytes 0x80..0x9F. The five bytes the code page leaves
// undefined map to the C1 control of the same value, as Windows does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t AnsiByteToWide(unsigned char b) {
    if (b >= 0x80 && b < 0xA0) return kCp1252High[b - 0x80];
    return b;
}

// The Windows-1252 byte of a UTF-16 code unit, or -1 when it has none.
int WideToAnsiByte(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == c) return 0x80 + i;
    return -1;
}

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
}

// UTF-16 -> UTF-8. Returns false when an unpaired surrogate was met (it is
// written as U+FFFD).
bool EncodeUtf8(std::u16string_view s, std::string& out) {
    bool clean = true;
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (IsHighSurrogate(c) && i + 1 < s.size() && IsLowSurrogate(s[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            c = 0xFFFD;
            clean = false;
        }
        AppendUtf8(out, c);
    }
    return clean;
}

// UTF-8 -> UTF-16. Each maximal invalid subsequence becomes U+FFFD; returns
// false when one was met.
bool DecodeUtf8(std::string_view s, std::u16string& out) {
    bool clean = true;
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            out += b;
            ++i;
            continue;
        }
        int need = 0;
        char32_t cp = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F; // no encoded surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out += u'\xFFFD';
            clean = false;
            ++i;
            continue;
        }
        size_t j = i + 1;
        int got = 0;
        while (got < need && j < n) {
            unsigned char c = static_cast<unsigned char>(s[j]);
            if (c < lo || c > hi) break;
            cp = (cp << 6) | (c & 0x3F);
            lo = 0x80;
            hi = 0xBF;
            ++j;
            ++got;
        }
        if (got < need) {
            out += u'\xFFFD';
            clean = false;
            i = j;
            continue;
        }
        AppendUtf16(out, cp);
        i = j;
    }
    return clean;
}

bool IsAnsiCodePage(UINT cp) { return cp == CP_ACP || cp == CP_OEMCP || cp == 1252 || cp == 3 /*CP_THREAD_ACP*/; }

int Fail(DWORD err) {
    SetLastError(err);
    return 0;
}

} // namespace

std::string Utf16ToUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    EncodeUtf8(s, out);
    return out;
}

std::u16string Utf8ToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    DecodeUtf8(s, out);
    return out;
}

std::u16string AnsiToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (char c : s) out += AnsiByteToWide(static_cast<unsigned char>(c));
    return out;
}

std::string Utf16ToAnsi(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        int b = WideToAnsiByte(s[i]);
        if (b < 0 && IsHighSurrogate(s[i]) && i + 1 < s.size() && IsLowSurrogate(s[i + 1])) ++i;
        out += b < 0 ? '?' : static_cast<char>(b);
    }
    return out;
}

size_t WLen(const WCHAR* s) {
    if (!s) return 0;
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

WCHAR FoldUpper(WCHAR c) {
    if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF) return 0x178;
    return c;
}

WCHAR FoldLower(WCHAR c) {
    if (c >= u'A' && c <= u'Z') return static_cast<WCHAR>(c + 0x20);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<WCHAR>(c + 0x20);
    if (c == 0x178) return 0xFF;
    return c;
}

DWORD CopyOutString(std::u16string_view s, WCHAR* buf, DWORD cch) {
    if (!buf || cch < s.size() + 1) return static_cast<DWORD>(s.size() + 1);
    std::copy(s.begin(), s.end(), buf);
    buf[s.size()] = 0;
    return static_cast<DWORD>(s.size());
}

namespace host {
std::u16string FromUtf8(const std::string& s) { return Utf8ToUtf16(s); }
std::string ToUtf8(const std::u16string& s) { return Utf16ToUtf8(s); }
} // namespace host

} // namespace pal

// ---- wide C runtime -------------------------------------------------------------------

size_t wcslen(const WCHAR* s) { return pal::WLen(s); }

size_t wcsnlen(const WCHAR* s, size_t maxlen) {
    size_t n = 0;
    while (n < maxlen && s[n]) ++n;
    return n;
}

WCHAR* wcscpy(WCHAR* dst, const WCHAR* src) {
    WCHAR* d = dst;
    while ((*d++ = *src++)) {
    }
    return dst;
}

WCHAR* wcscat(WCHAR* dst, const WCHAR* src) {
    wcscpy(dst + pal::WLen(dst), src);
    return dst;
}

int wcscmp(const WCHAR* a, const WCHAR* b) {
    while (*a && *a == *b) ++a, ++b;
    return static_cast<int>(*a) - static_cast<int>(*b);
}

int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return static_cast<int>(a[i]) - static_cast<int>(b[i]);
        if (!a[i]) break;
    }
    return 0;
}

int _wcsicmp(const WCHAR* a, const WCHAR* b) { return _wcsnicmp(a, b, SIZE_MAX); }

int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        WCHAR ca = pal::FoldLower(a[i]), cb = pal::FoldLower(b[i]);
        if (ca != cb) return static_cast<int>(ca) - static_cast<int>(cb);
        if (!ca) break;
    }
    return 0;
}

const WCHAR* wcschr(const WCHAR* s, WCHAR c) {
    for (;; ++s) {
        if (*s == c) return s;
        if (!*s) return nullptr;
    }
}
WCHAR* wcschr(WCHAR* s, WCHAR c) { return const_cast<WCHAR*>(wcschr(static_cast<const WCHAR*>(s), c)); }

const WCHAR* wcsrchr(const WCHAR* s, WCHAR c) {
    const WCHAR* found = nullptr;
    for (;; ++s) {
        if (*s == c) found = s;
        if (!*s) return found;
    }
}
WCHAR* wcsrchr(WCHAR* s, WCHAR c) { return const_cast<WCHAR*>(wcsrchr(static_cast<const WCHAR*>(s), c)); }

const WCHAR* wcsstr(const WCHAR* s, const WCHAR* find) {
    size_t n = pal::WLen(find);
    if (n == 0) return s;
    for (; *s; ++s)
        if (*s == *find && wcsncmp(s, find, n) == 0) return s;
    return nullptr;
}
WCHAR* wcsstr(WCHAR* s, const WCHAR* find) { return const_cast<WCHAR*>(wcsstr(static_cast<const WCHAR*>(s), find)); }

WCHAR towlower(WCHAR c) { return pal::FoldLower(c); }

// ---- lstr*W -------------------------------------------------------------------------------

PAL_API int lstrlenW(LPCWSTR lpString) { return static_cast<int>(pal::WLen(lpString)); }

PAL_API LPWSTR lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
    if (!lpString1) return nullptr;
    if (iMaxLength <= 0) return lpString1;
    int i = 0;
    if (lpString2)
        for (; i < iMaxLength - 1 && lpString2[i]; ++i) lpString1[i] = lpString2[i];
    lpString1[i] = 0;
    return lpString1;
}

namespace {
int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }
} // namespace

PAL_API int lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) {
    if (!lpString1 || !lpString2) return Sign(static_cast<int>(lpString1 != nullptr) - static_cast<int>(lpString2 != nullptr));
    return Sign(wcscmp(lpString1, lpString2));
}

PAL_API int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
    if (!lpString1 || !lpString2) return Sign(static_cast<int>(lpString1 != nullptr) - static_cast<int>(lpString2 != nullptr));
    return Sign(_wcsicmp(lpString1, lpString2));
}

// ---- code pages ------------------------------------------------------------------------------

PAL_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                LPBOOL lpUsedDefaultChar) {
    if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && !lpMultiByteStr) ||
        (lpMultiByteStr && static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr)))
        return pal::Fail(ERROR_INVALID_PARAMETER);
    size_t len = cchWideChar == -1 ? pal::WLen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    std::u16string_view in(lpWideCharStr, len);
    std::string out;
    if (CodePage == CP_UTF8) {
        if (lpDefaultChar || lpUsedDefaultChar) return pal::Fail(ERROR_INVALID_PARAMETER);
        if (dwFlags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) return pal::Fail(ERROR_INVALID_FLAGS);
        if (!pal::EncodeUtf8(in, out) && (dwFlags & WC_ERR_INVALID_CHARS))
            return pal::Fail(ERROR_NO_UNICODE_TRANSLATION);
    } else if (pal::IsAnsiCodePage(CodePage)) {
        char defaultChar = lpDefaultChar ? lpDefaultChar[0] : '?';
        bool used = false;
        for (size_t i = 0; i < in.size(); ++i) {
            int b = pal::WideToAnsiByte(in[i]);
            if (b < 0) {
                used = true;
                if (pal::IsHighSurrogate(in[i]) && i + 1 < in.size() && pal::IsLowSurrogate(in[i + 1])) ++i;
                out += defaultChar;
            } else {
                out += static_cast<char>(b);
            }
        }
        if (lpUsedDefaultChar) *lpUsedDefaultChar = used ? TRUE : FALSE;
    } else {
        return pal::Fail(ERROR_INVALID_PARAMETER);
    }
    if (out.size() > static_cast<size_t>(INT_MAX)) return pal::Fail(ERROR_INVALID_PARAMETER);
    if (cbMultiByte == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(cbMultiByte)) {
        std::memcpy(lpMultiByteStr, out.data(), static_cast<size_t>(cbMultiByte));
        return pal::Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(lpMultiByteStr, out.data(), out.size());
    return static_cast<int>(out.size());
}
