#define QL_MODULE WSTR("NPDecompress")
#include "emz/NPDecompress.h"

#include "diag/DbgLog.h"
#include "printproc/Util.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr BYTE kMagic[5] = {0x25, 0x25, 0x45, 0x4D, 0x5A};  // "%%EMZ"
constexpr DWORD kMagicSize = sizeof(kMagic);
constexpr DWORD kFieldSize = 4;  // header value and payload length, u32 little-endian each

// Block header: magic at 0, header value at 5, payload length at 9, payload at 13.
constexpr size_t kOffHeaderValue = kMagicSize;
constexpr size_t kOffPayloadLength = kOffHeaderValue + kFieldSize;
constexpr size_t kBlockHeaderSize = kOffPayloadLength + kFieldSize;
static_assert(kMagicSize == 5);
static_assert(kOffHeaderValue == 5 && kOffPayloadLength == 9 && kBlockHeaderSize == 13);

DWORD LittleEndian32(const BYTE (&b)[kFieldSize]) {
    return static_cast<DWORD>(b[0]) | (static_cast<DWORD>(b[1]) << 8) | (static_cast<DWORD>(b[2]) << 16) |
           (static_cast<DWORD>(b[3]) << 24);
}

// zlib's allocation callbacks: zeroed global memory, as every job buffer.
voidpf ZAlloc(voidpf /*opaque*/, uInt items, uInt size) {
    const SIZE_T cItems = items;
    const SIZE_T cbItem = size;
    if (cbItem != 0 && cItems > static_cast<SIZE_T>(-1) / cbItem) return Z_NULL;
    return MemAlloc(cItems * cbItem);
}

void ZFree(voidpf /*opaque*/, voidpf address) {
    if (address) MemFree(&address);
}

} // namespace

// ---- CReadPrinter -------------------------------------------------------------------------

CReadPrinter::CReadPrinter(HANDLE hPrinterIn) : hPrinter(hPrinterIn) {}

BOOL CReadPrinter::Read(LPVOID pBuf, DWORD cbBuf, LPDWORD pcbRead) {
    if (fEndOfJob) {
        QLLOG(LOG_ERR, WSTR("CReadPrinter read after end of print job:%p"), static_cast<void*>(this));
        *pcbRead = 0;
        return FALSE;
    }

    DWORD cbRead = 0;
    const BOOL fOk = ::ReadPrinter(hPrinter, pBuf, cbBuf, &cbRead);
    const DWORD dwError = fOk ? ERROR_SUCCESS : GetLastError();
    if (cbRead > cbBuf) cbRead = cbBuf;  // never trust a count beyond the buffer
    *pcbRead = cbRead;
    QLLOG(LOG_TRC, WSTR("::ReadPrinter(%d)=%d,%s"), cbBuf, cbRead, fOk ? WSTR("TRUE") : WSTR("FALSE"));

    if (!fOk) {
        QLLOG(LOG_ERR, WSTR("::ReadPrinter fails with:%d"), dwError);
    } else if (cbRead > 0) {
        return TRUE;
    }

    // Success with nothing left, or a failed read: either way no more data comes.
    QLLOG(LOG_INF, WSTR("CReadPrinter EndOfPrintJobReached reached:%p"), static_cast<void*>(this));
    fEndOfJob = TRUE;
    if (!fOk) SetLastError(dwError);
    return fOk;
}

// ---- CPackedBlockStructure ----------------------------------------------------------------

CPackedBlockStructure::CPackedBlockStructure(HANDLE hPrinterIn) : CReadPrinter(hPrinterIn) {}

BOOL CPackedBlockStructure::GetBlockHeader() {
    BYTE magic[kMagicSize] = {};
    DWORD cbRead = 0;
    const BOOL fMagicRead = CReadPrinter::Read(magic, kMagicSize, &cbRead);
    if (cbRead > 0) {
        QLLOG(LOG_TRC, WSTR("%c%c%c%c%c"), magic[0], magic[1], magic[2], magic[3], magic[4]);
    }
    if (!fMagicRead || cbRead < kMagicSize) {
        // Nothing, or less than a magic, after the last block: the stream is over.
        QLLOG(LOG_INF, WSTR("expected end of printjob: %d"), cbRead);
        return TRUE;
    }
    if (std::memcmp(magic, kMagic, kMagicSize) != 0) {
        QLLOG(LOG_ERR, WSTR("corrupt print stream: illegal magic code '%%EMZ' expected: %d"), cbRead);
        return FALSE;
    }

    BYTE field[kFieldSize] = {};
    cbRead = 0;
    if (!CReadPrinter::Read(field, kFieldSize, &cbRead) || cbRead < kFieldSize) {
        QLLOG(LOG_ERR, WSTR("unexpected end of printjob: %d"), cbRead);
        return FALSE;
    }
    const DWORD dwHeaderValue = LittleEndian32(field);

    cbRead = 0;
    if (!CReadPrinter::Read(field, kFieldSize, &cbRead) || cbRead < kFieldSize) {
        QLLOG(LOG_ERR, WSTR("unexpected end of printjob: %d"), cbRead);
        return FALSE;
    }
    cbBlockRemaining = LittleEndian32(field);

    QLLOG(LOG_TRC, WSTR("GetBlockHeader ok, %d, %d"), dwHeaderValue, cbBlockRemaining);
    return TRUE;
}

BOOL CPackedBlockStructure::Read(LPVOID pBuf, DWORD cbBuf, LPDWORD pcbRead) {
    *pcbRead = 0;
    if (cbBlockRemaining == 0 && !fEndOfJob) {
        if (!GetBlockHeader()) fEndOfJob = TRUE;
    }
    if (fEndOfJob) return TRUE;

    // Never past the current block, so a header is only read between blocks.
    const DWORD cbWant = cbBuf < cbBlockRemaining ? cbBuf : cbBlockRemaining;
    DWORD cbRead = 0;
    const BOOL fOk = CReadPrinter::Read(pBuf, cbWant, &cbRead);
    if (!fOk || cbRead == 0) {
        QLLOG(LOG_ERR, WSTR("unexpected EOF reached: %d bytes expected"), cbWant);
    }
    cbBlockRemaining -= cbRead < cbBlockRemaining ? cbRead : cbBlockRemaining;
    *pcbRead = cbRead;
    return fOk;
}

// ---- CNPDecompress ------------------------------------------------------------------------

CNPDecompress::CNPDecompress(HANDLE hPrinter) : m_reader(hPrinter), m_stream{} {
    pInBuffer = static_cast<LPBYTE>(MemAlloc(cbInBuffer));
    m_stream.zalloc = ZAlloc;
    m_stream.zfree = ZFree;
    m_stream.opaque = Z_NULL;
    m_stream.next_in = Z_NULL;
    m_stream.avail_in = 0;
    nLastError = inflateInit(&m_stream);
}

CNPDecompress::~CNPDecompress() {
    inflateEnd(&m_stream);
    if (pInBuffer) MemFreeT(&pInBuffer);
}

int CNPDecompress::LastError() const {
    return nLastError;
}

int CNPDecompress::GetNextChunk(LPBYTE pBuf, DWORD cbBuf, LPDWORD pcbProduced) {
    QLLOG(LOG_TRC, WSTR("GetNextChunk(%d)"), cbBuf);
    if (!pBuf || cbBuf == 0) {
        QLLOG(LOG_TRC, WSTR("GetNextChunk return:INFLATE_BUFFER_NULL(%d)"), INFLATE_BUFFER_NULL);
        return INFLATE_BUFFER_NULL;
    }
    if (!pInBuffer) {
        // Without its input buffer the decoder cannot read the job at all.
        QLLOG(LOG_ERR, WSTR("GetNextChunk no input buffer, return:err(%d)"), Z_MEM_ERROR);
        return Z_MEM_ERROR;
    }

    m_stream.next_out = pBuf;
    m_stream.avail_out = cbBuf;

    for (;;) {
        if (fNeedInput && !m_reader.fEndOfJob) {
            DWORD cbRead = 0;
            if (m_reader.Read(pInBuffer, cbInBuffer, &cbRead) && cbRead > 0) {
                m_stream.next_in = pInBuffer;
                m_stream.avail_in = cbRead;
                fNeedInput = FALSE;
            }
        }

        const int rc = inflate(&m_stream, Z_NO_FLUSH);

        if (rc == Z_STREAM_END) {
            // The next payload byte, if any, starts a new zlib stream.
            inflateReset(&m_stream);
            *pcbProduced = cbBuf - m_stream.avail_out;
            if (m_stream.avail_in == 0 && m_reader.fEndOfJob) {
                QLLOG(LOG_TRC, WSTR("GetNextChunk return:INFLATE_READY(%d)"), INFLATE_READY);
                return INFLATE_READY;
            }
            QLLOG(LOG_TRC, WSTR("GetNextChunk return:INFLATE_NEED_MORE_CALLS(%d)"), INFLATE_NEED_MORE_CALLS);
            return INFLATE_NEED_MORE_CALLS;
        }

        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            inflateEnd(&m_stream);
            QLLOG(LOG_TRC, WSTR("GetNextChunk return:err(%d)"), rc);
            return rc;
        }

        if (m_stream.avail_in == 0) fNeedInput = TRUE;
        if (m_stream.avail_out == 0) {
            *pcbProduced = cbBuf;
            QLLOG(LOG_TRC, WSTR("GetNextChunk return:INFLATE_NEED_MORE_CALLS(%d)"), INFLATE_NEED_MORE_CALLS);
            return INFLATE_NEED_MORE_CALLS;
        }
        if (m_reader.fEndOfJob) {
            *pcbProduced = cbBuf - m_stream.avail_out;
            QLLOG(LOG_TRC, WSTR("GetNextChunk return:INFLATE_READY(%d)"), INFLATE_READY);
            return INFLATE_READY;
        }
    }
}

BOOL CNPDecompress::ReadPrinter(LPVOID pBuf, DWORD cbBuf, LPDWORD pcbRead) {
    if (!pcbRead) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pcbRead = 0;
    QLLOG(LOG_TRC, WSTR("CNPDecompress::ReadPrinter(%d)"), cbBuf);

    LPBYTE pOut = static_cast<LPBYTE>(pBuf);
    DWORD cbTotal = 0;
    for (;;) {
        DWORD cbProduced = 0;
        const int rc = GetNextChunk(pOut ? pOut + cbTotal : nullptr, cbBuf - cbTotal, &cbProduced);
        if (rc != INFLATE_NEED_MORE_CALLS && rc != INFLATE_READY) {
            QLLOG(LOG_ERR, WSTR("GetNextChunk returns error = %d"), rc);
            if (!pOut || cbBuf == 0)
                SetLastError(ERROR_INVALID_PARAMETER);
            else
                SetLastError(rc == Z_MEM_ERROR ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_DATA);
            return FALSE;
        }
        cbTotal += cbProduced;
        if (cbTotal == cbBuf) break;
        if (rc == INFLATE_READY) {
            if (cbTotal > 0) break;
            return FALSE;
        }
    }

    *pcbRead = cbTotal;
    QLLOG(LOG_TRC, WSTR("CNPDecompress::ReadPrinter returns with %d"), cbTotal);
    return TRUE;
}
