// Decoder of the "%%EMZ" compressed print stream: blocks of
//   "%%EMZ" | u32 header value | u32 payload length | payload
// whose payloads, concatenated, form one or more zlib streams. The job reader
// takes the job's data from CNPDecompress::ReadPrinter instead of the
// spooler's ReadPrinter once the job is known to be compressed.
#pragma once
#include "palwin.h"

#include <zlib.h>

// Reads the job through the spooler and remembers the end of the job.
class CReadPrinter {
public:
    explicit CReadPrinter(HANDLE hPrinter);
    virtual ~CReadPrinter() = default;
    virtual BOOL Read(LPVOID pBuf, DWORD cbBuf, LPDWORD pcbRead);

    HANDLE hPrinter;
    BOOL fEndOfJob = FALSE;
};

// Strips the block headers: reading yields the concatenated payloads.
class CPackedBlockStructure : public CReadPrinter {
public:
    explicit CPackedBlockStructure(HANDLE hPrinter);
    BOOL Read(LPVOID pBuf, DWORD cbBuf, LPDWORD pcbRead) override;

    DWORD cbBlockRemaining = 0;

private:
    BOOL GetBlockHeader();
};

// Inflates the payload bytes into the caller's buffer.
class CNPDecompress {
public:
    explicit CNPDecompress(HANDLE hPrinter);
    virtual ~CNPDecompress();
    CNPDecompress(const CNPDecompress&) = delete;
    CNPDecompress& operator=(const CNPDecompress&) = delete;

    // The inflateInit result; non-zero means the decoder cannot be used.
    int LastError() const;
    // Same contract as the spooler's ReadPrinter: TRUE with bytes while data
    // flows, FALSE with 0 bytes when no more data can be produced.
    BOOL ReadPrinter(LPVOID pBuf, DWORD cbBuf, LPDWORD pcbRead);

private:
    // GetNextChunk results besides zlib's own (negative) error codes.
    static constexpr int INFLATE_NEED_MORE_CALLS = 0;
    static constexpr int INFLATE_READY = 1;
    static constexpr int INFLATE_BUFFER_NULL = 2;
    int GetNextChunk(LPBYTE pBuf, DWORD cbBuf, LPDWORD pcbProduced);

    CPackedBlockStructure m_reader;
    z_stream m_stream;
    DWORD cbInBuffer = 8192;
    LPBYTE pInBuffer = nullptr;  // cbInBuffer bytes of global memory
    BOOL fNeedInput = TRUE;
    int nLastError = Z_OK;
};
