// Lossy compression of one EMR_STRETCHDIBITS record: the walker's entry into
// the JPEG 2000 step.
#pragma once
#include "palwin.h"
#include "emf/ComprCnf.h"

#include <cstdio>

// Compresses the record (nSize bytes, held whole) when the compression rules
// say it is worth it: then iType is EMR_COMPRESSEDDIBITS and cbBitsSrc holds
// the length of the stream stored after the BITMAPINFOHEADER. Otherwise the
// record is unchanged. Always returns 1.
BOOL CompressStretchDIBits(BYTE* pRecord, DWORD nSize, const ComprCnf* pComprCnf, FILE* pStatFile);
