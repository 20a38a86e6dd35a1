// The watermark: the configured file is opened for every copy, its first EMF
// page found by walking the spool records, and the page sent ahead of the
// job's records.
#define QL_MODULE WSTR("Winprint")
#include "gateway/Watermark.h"

#include "diag/DbgLog.h"
#include "diag/EventLog.h"
#include "gateway/GatewayConfig.h"
#include "native/JobWriter.h"

#include <cstring>

namespace {

constexpr DWORD SPL_FILE_HEADER = 0x00010000;
constexpr DWORD SPL_METAFILE = 1;
constexpr DWORD SPL_METAFILE_DATA = 12;
constexpr DWORD EMR_HEADER_TYPE = 1;
constexpr DWORD EMF_SIGNATURE = 0x464D4520;  // " EMF"
// Bytes of the page body read to test for the EMF header.
constexpr DWORD EMF_HEADER_PROBE = 100;
constexpr size_t EMF_SIGNATURE_AT = 40;
constexpr size_t EMF_NBYTES_AT = 48;

DWORD Le32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

void PutLe32(BYTE* p, DWORD v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

// Reads exactly cb bytes at offset; false when they are not all there.
bool ReadAt(HANDLE hFile, uint64_t offset, void* pBuf, DWORD cb) {
    LARGE_INTEGER li;
    li.QuadPart = static_cast<LONGLONG>(offset);
    DWORD cbRead = 0;
    return SetFilePointerEx(hFile, li, nullptr, FILE_BEGIN) && ReadFile(hFile, pBuf, cb, &cbRead, nullptr) &&
           cbRead == cb;
}

uint64_t FileSize(HANDLE hFile) {
    LARGE_INTEGER li;
    return GetFileSizeEx(hFile, &li) && li.QuadPart > 0 ? static_cast<uint64_t>(li.QuadPart) : 0;
}

} // namespace

DWORD FindWatermarkPage(HANDLE hFile, LPDWORD pcbEmf) {
    *pcbEmf = 0;
    const uint64_t cbFile = FileSize(hFile);
    uint64_t pos = 0;
    for (;;) {
        BYTE header[8];
        if (pos + 8 > cbFile || !ReadAt(hFile, pos, header, sizeof(header))) return WATERMARK_NO_PAGE;
        const DWORD dwType = Le32(header);
        uint64_t cbBody = Le32(header + 4);
        if (dwType == SPL_FILE_HEADER && cbBody >= 8 && pos == 0) cbBody -= 8;
        if (pos + 8 + cbBody > cbFile) return WATERMARK_NO_PAGE;
        if (dwType == SPL_METAFILE || dwType == SPL_METAFILE_DATA) {
            if (cbBody == 0 || pos + 8 + EMF_HEADER_PROBE > cbFile) return WATERMARK_NO_PAGE;
            BYTE probe[EMF_HEADER_PROBE];
            if (ReadAt(hFile, pos + 8, probe, sizeof(probe)) && Le32(probe) == EMR_HEADER_TYPE &&
                Le32(probe + EMF_SIGNATURE_AT) == EMF_SIGNATURE) {
                // Offsets are 32-bit in this interface; a page beyond them is none.
                if (pos + 8 > WATERMARK_NO_PAGE - 1) return WATERMARK_NO_PAGE;
                *pcbEmf = Le32(probe + EMF_NBYTES_AT);
                return static_cast<DWORD>(pos + 8);
            }
        }
        pos += 8 + cbBody;
    }
}

HANDLE OpenWatermarkSource(LPDWORD pdwOffset, LPDWORD pdwEnd) {
    *pdwOffset = WATERMARK_NO_PAGE;
    *pdwEnd = WATERMARK_NO_PAGE;
    WCHAR szPath[CONFIG_PATH_CCH];
    if (ReadConfigPath(WSTR("Watermark"), szPath) != ConfigPath::Found) return nullptr;

    HANDLE hFile = CreateFileW(szPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        ReportEventToLog(QL_EVENT_SOURCE, WSTR("QLWinPrn: Configured watermark not found."));
        return nullptr;
    }
    DWORD cbEmf = 0;
    const DWORD dwOffset = FindWatermarkPage(hFile, &cbEmf);
    *pdwOffset = dwOffset;
    *pdwEnd = dwOffset;
    if (dwOffset == WATERMARK_NO_PAGE) return hFile;

    // A page whose nBytes reaches past the file is cut at the file's end, so
    // the block never announces bytes it cannot carry.
    uint64_t end = static_cast<uint64_t>(dwOffset) + cbEmf;
    const uint64_t cbFile = FileSize(hFile);
    if (end > cbFile) {
        QLLOG(LOG_ERR, WSTR("Watermark page of %u bytes in <%s> runs past the file's end, cut to %u bytes"), cbEmf,
              szPath, static_cast<DWORD>(cbFile - dwOffset));
        end = cbFile;
    }
    // The block's length words are 32-bit and count 12 more bytes.
    if (end - dwOffset > 0xFFFFFFFF - 12) end = dwOffset;
    *pdwEnd = static_cast<DWORD>(end);
    return hFile;
}

BOOL WriteWatermarkBlock(PPRINTPROCESSORDATA pData, HANDLE hFile, DWORD dwOffset, DWORD dwEnd) {
    BOOL fResult = TRUE;
    if (dwOffset < dwEnd) {
        const DWORD cbPage = dwEnd - dwOffset;
        BYTE header[20];
        size_t cbHeader = 0;
        if (pData->fFraming) {
            PutLe32(header, FRAME_DATA_BLOCK);
            PutLe32(header + 4, cbPage + 12);
            cbHeader = 8;
        }
        PutLe32(header + cbHeader, 0);
        PutLe32(header + cbHeader + 4, WATERMARK_BLOCK_TAG);
        PutLe32(header + cbHeader + 8, cbPage);
        cbHeader += 12;
        fResult = WriteJobOutput(pData, header, static_cast<DWORD>(cbHeader), WRITE_CONTINUE);

        BYTE piece[WATERMARK_PIECE];
        DWORD cbLeft = cbPage;
        LARGE_INTEGER li;
        li.QuadPart = dwOffset;
        if (fResult && SetFilePointerEx(hFile, li, nullptr, FILE_BEGIN)) {
            while (fResult && cbLeft) {
                DWORD cbRead = 0;
                const DWORD cbWant = cbLeft < WATERMARK_PIECE ? cbLeft : WATERMARK_PIECE;
                if (!ReadFile(hFile, piece, cbWant, &cbRead, nullptr) || cbRead == 0) break;
                fResult = WriteJobOutput(pData, piece, cbRead, WRITE_CONTINUE);
                cbLeft -= cbRead;
            }
        }
        // A file cut short while it was read: zeros keep the announced length.
        if (fResult && cbLeft) {
            QLLOG(LOG_ERR, WSTR("Watermark file ended %u bytes early, padded with zeros"), cbLeft);
            std::memset(piece, 0, sizeof(piece));
            while (fResult && cbLeft) {
                const DWORD cb = cbLeft < WATERMARK_PIECE ? cbLeft : WATERMARK_PIECE;
                fResult = WriteJobOutput(pData, piece, cb, WRITE_CONTINUE);
                cbLeft -= cb;
            }
        }
    }
    CloseHandle(hFile);
    return fResult;
}
