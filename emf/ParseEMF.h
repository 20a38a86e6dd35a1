// The EMF record walker's entry points for one page record of a gateway job.
#pragma once
#include "palwin.h"
#include "emf/ComprCnf.h"
#include "printproc/PrintProcessorData.h"

#include <cstdio>

// Reads the body of the page record whose 8-byte header (type, size) was just
// read from hReader and writes the transformed page, header included. Pages
// of at least dwCompressionEMFInMem bytes go through a temporary file. TRUE
// when the page was written.
BOOL ParseEMF(HANDLE hReader, PPRINTPROCESSORDATA pData, const BYTE* pRecordHeader, PCOMPRCNF pComprCnf);

// The in-memory walker. pStat: the statistics stream, or null.
BOOL ParseEMFBuffer(HANDLE hReader, PPRINTPROCESSORDATA pData, const BYTE* pRecordHeader, const ComprCnf* pComprCnf,
                    FILE* pStat);

// The walker through the temporary file pTempFile (open "w+b", empty).
BOOL ParseEMFFile(HANDLE hReader, PPRINTPROCESSORDATA pData, const BYTE* pRecordHeader, const ComprCnf* pComprCnf,
                  FILE* pTempFile, FILE* pStat);
