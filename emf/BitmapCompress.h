// Lossy compression of one EMR_STRETCHDIBITS record: the walker's entry into
// the JPEG 2000 step.
#pragma once
#include "palwin.h"
#include "emf/ComprCnf.h"

#include <cstdio>

// Smallest JPEG 2000 target size, in bytes.
constexpr DWORD MIN_BUFFER_SIZE = 500;
// Room the output buffer has beyond the target size.
constexpr DWORD OUTPUT_BUFFER_SLACK = 65535;

// Compresses the record (nSize bytes, held whole) when the compression rules
// say it is worth it: then iType is EMR_COMPRESSEDDIBITS and cbBitsSrc holds
// the length of the stream stored after the BITMAPINFOHEADER. Otherwise the
// record is unchanged. Always returns 1.
BOOL CompressStretchDIBits(BYTE* pRecord, DWORD nSize, const ComprCnf* pComprCnf, FILE* pStatFile);

// Decides on and runs the JPEG 2000 compression of one bitmap. pbmi is the
// BITMAPINFOHEADER inside the record, whose biSize is the size of the
// BITMAPINFO (header and colour table) and biSizeImage the size of the bits
// at pBits, which follow the BITMAPINFO. On success the stream is stored
// from pbmi + 40 on, its length is in *pcbStream and the answer is 1; on 0
// nothing was written.
BOOL Pack2000(BYTE* pbmi, const BYTE* pBits, const ComprCnf* pComprCnf, DWORD dwMinBufferSize, DWORD* pcbStream,
              FILE* pStatFile);
