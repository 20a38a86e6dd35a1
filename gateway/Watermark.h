// The watermark page an administrator may configure for all gateway jobs: the
// first page of an EMF spool file, sent once per copy in a block of its own
// ahead of the job's spool records.
#pragma once
#include "palwin.h"
#include "printproc/PrintProcessorData.h"

// Offset value meaning "the file holds no page".
constexpr DWORD WATERMARK_NO_PAGE = 0xFFFFFFFF;

// Opens the configured watermark file and finds its page: *pdwOffset is where
// the EMF page starts, *pdwEnd where it ends (equal to *pdwOffset when the file
// holds no page). Null when no watermark is configured or the file is missing.
HANDLE OpenWatermarkSource(LPDWORD pdwOffset, LPDWORD pdwEnd);

// Writes the watermark block for the page [dwOffset, dwEnd) of hFile through
// the job writer and closes the file. FALSE when a write failed.
BOOL WriteWatermarkBlock(PPRINTPROCESSORDATA pData, HANDLE hFile, DWORD dwOffset, DWORD dwEnd);
