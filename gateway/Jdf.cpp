// JDF attachment: finds the job ticket another component left for a "QL PDF
// Bridge" document, sends its bytes in a JDF block and deletes it.
//
// The ticket is found from the document name, which the job's user chooses:
// the name part is checked so that the path never leaves the configured spool
// directory, and the file is opened without following a link and refused
// unless it is a plain file with one name. It is opened and deleted under the
// job's user, as the thread runs.
#define QL_MODULE WSTR("Winprint")
#include "gateway/Jdf.h"

#include "diag/DbgLog.h"
#include "diag/EventLog.h"
#include "gateway/GatewayConfig.h"
#include "native/JobWriter.h"

#include <cstring>
#include <cwchar>

namespace {

constexpr WCHAR JDF_MARKER[] = WSTR("_ql");
constexpr size_t JDF_MARKER_CCH = 3;
constexpr WCHAR JDF_SUFFIX[] = WSTR(".tmp");
constexpr size_t JDF_SUFFIX_CCH = 4;

size_t Length(LPCWSTR s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

WCHAR Upper(WCHAR c) { return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - u'a' + u'A') : c; }

bool EqualsNoCase(const WCHAR* a, size_t cch, const char* b) {
    if (std::strlen(b) != cch) return false;
    for (size_t i = 0; i < cch; ++i)
        if (Upper(a[i]) != static_cast<WCHAR>(b[i])) return false;
    return true;
}

// Windows opens a device for these base names whatever extension follows, also
// with trailing blanks; the digits include the superscripts 1, 2 and 3.
bool IsDeviceName(const WCHAR* name, size_t cch) {
    while (cch && name[cch - 1] == u' ') --cch;
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"})
        if (EqualsNoCase(name, cch, device)) return true;
    if (cch == 4 && (EqualsNoCase(name, 3, "COM") || EqualsNoCase(name, 3, "LPT"))) {
        const WCHAR d = name[3];
        return (d >= u'0' && d <= u'9') || d == 0x00B9 || d == 0x00B2 || d == 0x00B3;
    }
    return false;
}

bool IsPlainNameChar(WCHAR c) {
    if (c < 0x20 || c == 0x7F) return false;
    for (WCHAR bad : {u'\\', u'/', u':', u'*', u'?', u'"', u'<', u'>', u'|'})
        if (c == bad) return false;
    return true;
}

// Writes the block header and the ticket's first cbTicket bytes. A file that
// yields fewer bytes than its size is padded with zeros so that the block
// keeps the length it announced.
BOOL SendTicket(PPRINTPROCESSORDATA pData, HANDLE hFile, DWORD cbTicket, LPCWSTR pszPath) {
    const std::vector<BYTE> header = JdfBlockHeader(cbTicket);
    if (!WriteJobOutput(pData, header.data(), static_cast<DWORD>(header.size()), WRITE_DATA)) return FALSE;
    BYTE piece[JDF_PIECE];
    DWORD cbLeft = cbTicket;
    while (cbLeft) {
        DWORD cbRead = 0;
        const DWORD cbWant = cbLeft < JDF_PIECE ? cbLeft : JDF_PIECE;
        if (!ReadFile(hFile, piece, cbWant, &cbRead, nullptr) || cbRead == 0) break;
        if (!WriteJobOutput(pData, piece, cbRead, WRITE_DATA)) return FALSE;
        cbLeft -= cbRead;
    }
    if (cbLeft) {
        QLLOG(LOG_ERR, WSTR("JDF file <%s> ended %u bytes early, padded with zeros"), pszPath, cbLeft);
        std::memset(piece, 0, sizeof(piece));
        while (cbLeft) {
            const DWORD cb = cbLeft < JDF_PIECE ? cbLeft : JDF_PIECE;
            if (!WriteJobOutput(pData, piece, cb, WRITE_DATA)) return FALSE;
            cbLeft -= cb;
        }
    }
    return TRUE;
}

// Opens, sends and closes the ticket; the caller deletes it.
BOOL EmbedTicket(PPRINTPROCESSORDATA pData, LPCWSTR pszPath) {
    HANDLE hFile = CreateFileW(pszPath, GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        QLLOG(LOG_ERR, WSTR("cannot open file <%s>"), pszPath);
        return TRUE;
    }
    BOOL fResult = TRUE;
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(hFile, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks > 1) {
        QLLOG(LOG_ERR, WSTR("JDF file <%s> is not a plain file, not sent"), pszPath);
    } else if (info.nFileSizeHigh != 0 || info.nFileSizeLow > 0xFFFFFFFF - 5) {
        QLLOG(LOG_ERR, WSTR("Test if JDF File too long (>4GB) <%s>"), pszPath);
    } else if (info.nFileSizeLow != 0) {
        QLLOG(LOG_INF, WSTR("adding content of <%s> to printstream..."), pszPath);
        fResult = SendTicket(pData, hFile, info.nFileSizeLow, pszPath);
    }
    CloseHandle(hFile);
    return fResult;
}

} // namespace

JdfTicketName BuildJdfTicketPath(LPCWSTR pszSpoolDir, LPCWSTR pszDocumentName, WCHAR (&szPath)[JDF_PATH_CCH]) {
    szPath[0] = 0;
    const size_t cchName = Length(pszDocumentName);
    size_t at = cchName;
    for (size_t i = 0; i + JDF_MARKER_CCH <= cchName; ++i)
        if (std::memcmp(pszDocumentName + i, JDF_MARKER, JDF_MARKER_CCH * sizeof(WCHAR)) == 0) at = i;
    if (at == cchName) return JdfTicketName::NoMarker;

    const WCHAR* pTicket = pszDocumentName + at + JDF_MARKER_CCH;
    size_t cchTicket = 0;
    while (pTicket[cchTicket] && pTicket[cchTicket] != u'.') ++cchTicket;
    for (size_t i = 0; i < cchTicket; ++i)
        if (!IsPlainNameChar(pTicket[i])) return JdfTicketName::Refused;
    if (IsDeviceName(pTicket, cchTicket)) return JdfTicketName::Refused;

    const size_t cchDir = Length(pszSpoolDir);
    const bool fSeparator = cchDir == 0 || pszSpoolDir[cchDir - 1] != u'\\';
    const size_t cchPath = cchDir + (fSeparator ? 1 : 0) + cchTicket + JDF_SUFFIX_CCH;
    if (cchPath >= JDF_PATH_CCH) return JdfTicketName::TooLong;

    WCHAR* p = szPath;
    std::memcpy(p, pszSpoolDir, cchDir * sizeof(WCHAR));
    p += cchDir;
    if (fSeparator) *p++ = u'\\';
    std::memcpy(p, pTicket, cchTicket * sizeof(WCHAR));
    p += cchTicket;
    std::memcpy(p, JDF_SUFFIX, (JDF_SUFFIX_CCH + 1) * sizeof(WCHAR));
    return JdfTicketName::Ok;
}

std::vector<BYTE> JdfBlockHeader(DWORD cbTicket) {
    const DWORD dwLength = cbTicket + 5;
    return {JDF_BLOCK_TAG, static_cast<BYTE>(dwLength), static_cast<BYTE>(dwLength >> 8),
            static_cast<BYTE>(dwLength >> 16), static_cast<BYTE>(dwLength >> 24)};
}

BOOL AttachJdf(PPRINTPROCESSORDATA pData) {
    QLLOG(LOG_INF, WSTR("JDF action will take place"));

    WCHAR szConfigFile[CONFIG_PATH_CCH];
    if (ReadConfigPath(WSTR("GlobalConfigFile"), szConfigFile) == ConfigPath::NoValue)
        QLLOG(LOG_INF, WSTR("GlobalConfigFile not present or emtpy string"));

    WCHAR szSpoolDir[CONFIG_PATH_CCH] = {};
    if (szConfigFile[0])
        GetPrivateProfileStringW(WSTR("print"), WSTR("spooldir"), WSTR(""), szSpoolDir, CONFIG_PATH_CCH, szConfigFile);
    if (!szSpoolDir[0]) {
        QLLOG(LOG_INF, WSTR("[print]->spooldir=<path>: empty or not found"));
        return TRUE;
    }

    if (!pData->pDocumentName) {
        ReportEventToLog(QL_EVENT_SOURCE, WSTR("QLWinPrn: searching for JDF: Document name not found !"));
        QLLOG(LOG_ERR, WSTR("QLWinPrn: searching for JDF: Document name not found: <%s>"), WSTR(""));
        return TRUE;
    }

    WCHAR szPath[JDF_PATH_CCH];
    switch (BuildJdfTicketPath(szSpoolDir, pData->pDocumentName, szPath)) {
    case JdfTicketName::NoMarker:
        QLLOG(LOG_ERR, WSTR("\"_ql\" not found at all in <%s>"), pData->pDocumentName);
        return TRUE;
    case JdfTicketName::Refused:
        QLLOG(LOG_ERR, WSTR("JDF ticket name in <%s> is not a plain file name, nothing opened"),
              pData->pDocumentName);
        return TRUE;
    case JdfTicketName::TooLong:
        QLLOG(LOG_ERR, WSTR("JDF file name for <%s> in <%s> exceeds %u characters, nothing opened"),
              pData->pDocumentName, szSpoolDir, static_cast<unsigned>(JDF_PATH_CCH - 1));
        return TRUE;
    case JdfTicketName::Ok: break;
    }

    QLLOG(LOG_INF, WSTR("try to open file <%s>"), szPath);
    const BOOL fResult = EmbedTicket(pData, szPath);
    if (!DeleteFileW(szPath) && GetLastError() != ERROR_FILE_NOT_FOUND)
        QLLOG(LOG_ERR, WSTR("cannot delete file <%s>: %u"), szPath, GetLastError());
    return fResult;
}
