// Font embedding: which fonts travel with a gateway job, reading their files
// through GDI, and the job's font list.
#define QL_MODULE WSTR("Addfonts")
#include "fonts/AddFonts.h"

#include "diag/DbgLog.h"
#include "fonts/HashPipe.h"
#include "native/JobWriter.h"
#include "palfmt.h"
#include "printproc/Util.h"

#include <atomic>
#include <cstring>
#include <cwctype>

namespace {

std::atomic<AddFontsHook> g_pfnHook{nullptr};

// Face names and patterns are copied into buffers of this many characters.
constexpr DWORD FACE_CHARS = 260;
constexpr DWORD TEXT_FACE_CHARS = 256;

// Copies at most cch - 1 characters of psz, lower-cased and terminated.
void CopyLower(LPWSTR pszDst, DWORD cch, LPCWSTR psz) {
    DWORD i = 0;
    for (; i + 1 < cch && psz[i]; ++i) pszDst[i] = static_cast<WCHAR>(towlower(psz[i]));
    pszDst[i] = 0;
}

// One pattern element at p against the character c. Sets *ppNext past the
// element. A set without its closing bracket matches nothing.
bool MatchElement(LPCWSTR p, WCHAR c, LPCWSTR* ppNext) {
    if (*p == '?') {
        *ppNext = p + 1;
        return true;
    }
    if (*p == '\\' && p[1]) {
        *ppNext = p + 2;
        return c == p[1];
    }
    if (*p != '[') {
        *ppNext = p + 1;
        return c == *p;
    }
    ++p;
    const bool fNegate = *p == '^';
    if (fNegate) ++p;
    bool fIn = false;
    while (*p && *p != ']') {
        if (*p == '\\' && p[1]) ++p;
        const WCHAR lo = *p++;
        if (*p == '-') {
            ++p;
            if (*p == ']') {  // "a-]": every character from a on
                fIn = fIn || c >= lo;
                break;
            }
            if (*p == '\\' && p[1]) ++p;
            if (!*p) break;
            const WCHAR hi = *p++;
            fIn = fIn || (c >= lo && c <= hi);
        } else {
            fIn = fIn || c == lo;
        }
    }
    if (*p != ']') {
        *ppNext = p;
        return false;
    }
    *ppNext = p + 1;
    return fIn != fNegate;
}

// The literal character a pattern element stands for, or 0 for ? and sets.
WCHAR LiteralOf(LPCWSTR p) {
    if (*p == '?' || *p == '[' || *p == 0) return 0;
    if (*p == '\\' && p[1]) return p[1];
    return *p;
}

void LogModeName(DWORD dwMode) {
    LPCWSTR pszName = dwMode == FONT_CHECK_NAME_AND_FACE ? WSTR("FONT_CHECK_NAME_AND_FACE")
                      : dwMode == FONT_CHECK_MD5         ? WSTR("FONT_CHECK_MD5")
                                                         : WSTR("FONT_CHECK_NAME_AND_FACE AND MD5");
    QLLOG(LOG_INF, WSTR("%s"), pszName);
}

// GDI objects of one font read, released on every path.
struct FontDC {
    HDC hdc = nullptr;
    HFONT hFont = nullptr;
    HGDIOBJ hOld = nullptr;
    ~FontDC() {
        if (hOld) SelectObject(hdc, hOld);
        if (hFont) DeleteObject(hFont);
        if (hdc) DeleteDC(hdc);
    }
};

} // namespace

void SetAddFontsHookForTest(AddFontsHook pfnHook) {
    g_pfnHook.store(pfnHook);
}

void BuildFontKey(const LOGFONTW& lf, LPWSTR pszKey, DWORD cchKey) {
    WCHAR szFace[LF_FACESIZE];
    std::memcpy(szFace, lf.lfFaceName, sizeof(szFace));
    szFace[LF_FACESIZE - 1] = 0;
    PalFormatW(pszKey, cchKey, WSTR("%s,%x,%x"), szFace, static_cast<DWORD>(lf.lfWeight),
               static_cast<DWORD>(lf.lfItalic));
}

BOOL WildcardMatch(LPCWSTR pszText, LPCWSTR pszPattern) {
    LPCWSTR t = pszText;
    LPCWSTR p = pszPattern;
    // The last star: where the rest of the pattern starts and the text
    // position it was last tried at. Each element other than a star matches
    // exactly one character, so retrying from the last star alone finds every
    // match, in time proportional to text times pattern.
    LPCWSTR pStar = nullptr;
    LPCWSTR tStar = nullptr;
    for (;;) {
        if (*p == '*') {
            while (*p == '*') ++p;
            if (!*p) return TRUE;
            // A literal after the star: go straight to its next occurrence.
            const WCHAR lit = LiteralOf(p);
            if (lit) {
                while (*t && *t != lit) ++t;
                if (!*t) return FALSE;
            }
            pStar = p;
            tStar = t;
            continue;
        }
        LPCWSTR pNext = p;
        if (*t && *p && MatchElement(p, *t, &pNext)) {
            ++t;
            p = pNext;
            continue;
        }
        if (!*t && !*p) return TRUE;
        if (!pStar || !*tStar) return FALSE;
        // Try the rest of the pattern one character further on.
        t = ++tStar;
        p = pStar;
        if (const WCHAR lit = LiteralOf(p)) {
            while (*t && *t != lit) ++t;
            if (!*t) return FALSE;
            tStar = t;
        }
    }
}

BOOL IncludeThisFont(LPCWSTR pPatterns, LPCWSTR pszFace) {
    if (!pPatterns) {
        QLLOG(LOG_INF, WSTR("no font list given for font <%s>"), pszFace);
        return FALSE;
    }
    WCHAR szPattern[FACE_CHARS + 1];
    for (LPCWSTR p = pPatterns; *p; p += wcslen(p) + 1) {
        CopyLower(szPattern, FACE_CHARS + 1, p);
        if (WildcardMatch(pszFace, szPattern)) {
            QLLOG(LOG_INF, WSTR("IncludeThisFont: Entry<%s> matches <%s> "), szPattern, pszFace);
            return TRUE;
        }
    }
    QLLOG(LOG_INF, WSTR("IncludeThisFont: <%s> don't match"), pszFace);
    return FALSE;
}

BOOL FontInList(const FONTENTRY* pList, DWORD dwMode, LPCWSTR pszKey, const BYTE* pMD5) {
    LogModeName(dwMode);
    for (const FONTENTRY* pNode = pList; pNode; pNode = pNode->pNext) {
        if ((dwMode & FONT_CHECK_NAME_AND_FACE) && pNode->pszKey && _wcsicmp(pNode->pszKey, pszKey) == 0) {
            QLLOG(LOG_INF, WSTR("Font already added <%s> (name is equal)"), pszKey);
            return TRUE;
        }
        if ((dwMode & FONT_CHECK_MD5) && pMD5 && std::memcmp(pNode->abMD5, pMD5, sizeof(pNode->abMD5)) == 0) {
            QLLOG(LOG_INF, WSTR("Font already added (MD5 sum es equal) <%s>"), pszKey);
            QLLOG_HEX(pMD5, MD5_DIGEST_SIZE);
            return TRUE;
        }
    }
    QLLOG(LOG_INF, WSTR("Font not exists in list <%s>"), pszKey);
    return FALSE;
}

BOOL AddFontEntry(FONTENTRY** ppList, LPCWSTR pszKey, const BYTE* pMD5, DWORD dwPos, DWORD dwLen) {
    auto* pNode = static_cast<FONTENTRY*>(MemAlloc(sizeof(FONTENTRY)));
    if (!pNode) return FALSE;
    pNode->pszKey = AllocSplStr(pszKey);
    if (!pNode->pszKey) {
        MemFreeT(&pNode);
        return FALSE;
    }
    if (pMD5) std::memcpy(pNode->abMD5, pMD5, sizeof(pNode->abMD5));
    pNode->dwPos = dwPos;
    pNode->cbLen = dwLen;
    FONTENTRY** ppTail = ppList;
    while (*ppTail) ppTail = &(*ppTail)->pNext;
    *ppTail = pNode;
    if (dwLen == 0)
        QLLOG(LOG_INF, WSTR("New Font added to LIST <%s>, pos=%d, len=%d"), pszKey, dwPos, dwLen);
    else
        QLLOG(LOG_INF, WSTR("New Font added to LIST and SPOOLFILE <%s>, pos=%d, len=%d"), pszKey, dwPos, dwLen);
    return TRUE;
}

BOOL GetFontFileData(LPCWSTR pszKey, const LOGFONTW& lf, LPBYTE* ppData, LPDWORD pcbData) {
    *ppData = nullptr;
    *pcbData = 0;
    FontDC dc;
    dc.hdc = CreateCompatibleDC(nullptr);
    if (!dc.hdc) {
        QLLOG(LOG_ERR, WSTR("cannot create DC err=%d"), GetLastError());
        return FALSE;
    }
    dc.hFont = CreateFontIndirectW(&lf);
    if (!dc.hFont) {
        QLLOG(LOG_ERR, WSTR("CreateFontIndirect failed err=%d"), GetLastError());
        return FALSE;
    }
    dc.hOld = SelectObject(dc.hdc, dc.hFont);
    if (!dc.hOld) {
        QLLOG(LOG_ERR, WSTR("SelectObject failed err=%d"), GetLastError());
        return FALSE;
    }
    const DWORD cbFont = GetFontData(dc.hdc, 0, 0, nullptr, 0);
    if (cbFont == GDI_ERROR || cbFont == 0 || cbFont > FONT_FILE_MAX) {
        // An empty or oversized file is no font to send either.
        QLLOG(LOG_ERR, WSTR("GetFontData failed <%s>, err=%d"), pszKey,
              cbFont == GDI_ERROR ? GetLastError() : DWORD{ERROR_INVALID_DATA});
        return FALSE;
    }
    auto* pFont = static_cast<LPBYTE>(MemAlloc(cbFont));
    if (!pFont) {
        QLLOG(LOG_ERR, WSTR("AllocSplMem failed err=%d"), GetLastError());
        return FALSE;
    }
    WCHAR szFace[TEXT_FACE_CHARS + 1] = {};
    WCHAR szRequested[LF_FACESIZE];
    std::memcpy(szRequested, lf.lfFaceName, sizeof(szRequested));
    szRequested[LF_FACESIZE - 1] = 0;
    if (GetTextFaceW(dc.hdc, TEXT_FACE_CHARS, szFace) == 0) {
        QLLOG(LOG_ERR, WSTR("GetTextFace failed err=%d"), GetLastError());
        MemFreeT(&pFont);
        return FALSE;
    }
    if (_wcsicmp(szFace, szRequested) != 0) {
        // The system substituted another font: a substitute is never sent.
        QLLOG(LOG_ERR, WSTR("installed font is not exactly the requested: <%s> != <%s>"), szFace, pszKey);
        MemFreeT(&pFont);
        return FALSE;
    }
    if (GetFontData(dc.hdc, 0, 0, pFont, cbFont) != cbFont) {
        QLLOG(LOG_ERR, WSTR("GetFontData failed <%s>, err=%d"), szFace, GetLastError());
        MemFreeT(&pFont);
        return FALSE;
    }
    QLLOG(LOG_INF, WSTR("GetFontData <%s> ok"), szFace);
    *ppData = pFont;
    *pcbData = cbFont;
    return TRUE;
}

void AddFonts(FONTCONTEXT pFontContext, const BYTE* pRecord, DWORD nSize, PPRINTPROCESSORDATA pData) {
    if (AddFontsHook pfn = g_pfnHook.load()) {
        pfn(pRecord, nSize, pData);
        return;
    }
    if (nSize < EXTCREATEFONT_MIN_SIZE) {
        // Too short to hold a font request: nothing to create a font from.
        QLLOG(LOG_ERR, WSTR("CreateFontIndirect failed err=%d"), DWORD{ERROR_INVALID_DATA});
        return;
    }
    LOGFONTW lf;
    std::memcpy(&lf, pRecord + EXTCREATEFONT_LOGFONT_OFFSET, sizeof(lf));
    lf.lfFaceName[LF_FACESIZE - 1] = 0;

    WCHAR szKey[FONT_KEY_CHARS];
    BuildFontKey(lf, szKey, FONT_KEY_CHARS);
    QLLOG(LOG_INF, WSTR("AddFonts <%s>...."), szKey);
    if (FontInList(*pFontContext, FONT_CHECK_NAME_AND_FACE, szKey, nullptr)) return;

    WCHAR szFace[FACE_CHARS];
    CopyLower(szFace, FACE_CHARS, lf.lfFaceName);
    // Fonts the application installed for the job are always sent.
    if (!WildcardMatch(szFace, WSTR("*.tmp")) && !IncludeThisFont(pData->pIncludeFonts, szFace)) return;

    LPBYTE pFont = nullptr;
    DWORD cbFont = 0;
    if (!GetFontFileData(szKey, lf, &pFont, &cbFont)) {
        QLLOG(LOG_ERR, WSTR("Font data couldn't be read, but added to list (for no retry) <%s>"), szKey);
        AddFontEntry(pFontContext, szKey, nullptr, pData->dwRecordPos, 0);
        return;
    }

    BYTE abMD5[MD5_DIGEST_SIZE];
    const BYTE* pMD5 = ComputeMD5(abMD5, pFont, cbFont < FONT_DIGEST_BYTES ? cbFont : FONT_DIGEST_BYTES);
    if (pMD5) QLLOG_HEX(pMD5, MD5_DIGEST_SIZE);
    if (FontInList(*pFontContext, FONT_CHECK_MD5, szKey, pMD5)) {
        QLLOG(LOG_INF, WSTR("Font is transferred already under an diffrent face <%s>, no retransmission"), szKey);
        AddFontEntry(pFontContext, szKey, pMD5, pData->dwRecordPos, 0);
    } else {
        QLLOG(LOG_INF, WSTR("Font data is read and added to list <%s>"), szKey);
        AddFontEntry(pFontContext, szKey, pMD5, pData->dwRecordPos, ENGINE_FONT_HEADER_SIZE + cbFont);
        const ENGINEFONTRECORD rec = {EMRI_ENGINE_FONT, cbFont + 16, 0, 1, cbFont, 0};
        const BYTE* pRec = reinterpret_cast<const BYTE*>(&rec);
        // Header (opens the framed unit), file description, file.
        if (WriteJobOutput(pData, pRec, 8, 3)) {
            if (WriteJobOutput(pData, pRec + 8, 16, 2)) WriteJobOutput(pData, pFont, cbFont, 2);
        }
    }
    MemFreeT(&pFont);
}
