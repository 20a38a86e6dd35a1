// Font embedding: the walker hands every EMR_EXTCREATEFONTINDIRECTW record of
// a gateway page to AddFonts, which decides whether the font travels with the
// job (a temporary font, or one matching the job's inclusion patterns), reads
// its file and writes it as an engine-font spool record in front of the page
// (advancing qwOutputPos), once per job: a font already sent under its key or
// with the same data under another key is only recorded in the font list.
#pragma once
#include "palwin.h"
#include "printproc/FontList.h"
#include "printproc/PrintProcessorData.h"

#include <cstddef>

// The job's font state: its font list and inclusion patterns live in the job
// record, so the context is the record's font list head.
using FONTCONTEXT = FONTENTRY**;

// FontInList modes.
constexpr DWORD FONT_CHECK_NAME_AND_FACE = 1;
constexpr DWORD FONT_CHECK_MD5 = 2;

// Spool record type of an embedded font and its fixed part: the 8-byte record
// header and the 16-byte description of its one font file.
constexpr DWORD EMRI_ENGINE_FONT = 2;
constexpr DWORD ENGINE_FONT_HEADER_SIZE = 24;
// Only the first bytes of a font file are hashed to recognise it.
constexpr DWORD FONT_DIGEST_BYTES = 7168;
// Font files above this size are not embedded.
constexpr DWORD FONT_FILE_MAX = 256u << 20;
// Longest font key: a face name of LF_FACESIZE - 1 characters and two
// 32-bit hexadecimal numbers with their commas.
constexpr DWORD FONT_KEY_CHARS = LF_FACESIZE + 20;

// The engine-font record in front of the font data (all fields little-endian).
struct ENGINEFONTRECORD {
    DWORD iType;      // EMRI_ENGINE_FONT
    DWORD cbBody;     // font size + 16: the record after this 8-byte header
    DWORD dwType;     // 0: TrueType
    DWORD cFiles;     // 1
    DWORD cbFile;     // font size
    DWORD dwFiller;   // 0
};
static_assert(sizeof(ENGINEFONTRECORD) == ENGINE_FONT_HEADER_SIZE);
static_assert(offsetof(ENGINEFONTRECORD, cbBody) == 4 && offsetof(ENGINEFONTRECORD, cFiles) == 12);
static_assert(offsetof(ENGINEFONTRECORD, cbFile) == 16 && offsetof(ENGINEFONTRECORD, dwFiller) == 20);

// The font request of an EMR_EXTCREATEFONTINDIRECTW record: the LOGFONTW
// 12 bytes into it.
constexpr DWORD EXTCREATEFONT_LOGFONT_OFFSET = 12;
constexpr DWORD EXTCREATEFONT_MIN_SIZE = EXTCREATEFONT_LOGFONT_OFFSET + sizeof(LOGFONTW);
static_assert(EXTCREATEFONT_LOGFONT_OFFSET + offsetof(LOGFONTW, lfWeight) == 28);
static_assert(EXTCREATEFONT_LOGFONT_OFFSET + offsetof(LOGFONTW, lfItalic) == 32);
static_assert(EXTCREATEFONT_LOGFONT_OFFSET + offsetof(LOGFONTW, lfFaceName) == 40);

// Handles one font-creation record of nSize bytes.
void AddFonts(FONTCONTEXT pFontContext, const BYTE* pRecord, DWORD nSize, PPRINTPROCESSORDATA pData);

// "face,weight,italic" with both numbers in lower-case hexadecimal.
void BuildFontKey(const LOGFONTW& lf, LPWSTR pszKey, DWORD cchKey);

// TRUE when the lower-case face name matches one of the patterns (a
// multi-string; each pattern is lower-cased before the test). A null list
// matches nothing.
BOOL IncludeThisFont(LPCWSTR pPatterns, LPCWSTR pszFace);

// Case-sensitive match of the whole text: ? * [set] [^set] [a-z] [a-] \x.
BOOL WildcardMatch(LPCWSTR pszText, LPCWSTR pszPattern);

// TRUE when a node matches: mode bit 1 compares keys ignoring case, bit 2
// compares digests (only when pMD5 is given).
BOOL FontInList(const FONTENTRY* pList, DWORD dwMode, LPCWSTR pszKey, const BYTE* pMD5);

// Appends a node (pMD5 null stores zeros). FALSE when memory runs out.
BOOL AddFontEntry(FONTENTRY** ppList, LPCWSTR pszKey, const BYTE* pMD5, DWORD dwPos, DWORD dwLen);

// Reads the whole font file of the font the request selects into a new
// buffer (freed with MemFree). FALSE, logged, when it cannot be read or the
// system selected a substitute.
BOOL GetFontFileData(LPCWSTR pszKey, const LOGFONTW& lf, LPBYTE* ppData, LPDWORD pcbData);

// Test hook: when set, AddFonts calls it for every record instead of the
// embedding (tests insert odd bytes mid-page with it). Null restores the
// embedding.
using AddFontsHook = void (*)(const BYTE* pRecord, DWORD nSize, PPRINTPROCESSORDATA pData);
void SetAddFontsHookForTest(AddFontsHook pfnHook);
