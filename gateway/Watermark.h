// The watermark page an administrator may configure for all gateway jobs: the
// first page of an EMF spool file (registry value "Watermark"), sent once per
// copy in a block of its own ahead of the job's spool records.
#pragma once
#include "palwin.h"
#include "printproc/PrintProcessorData.h"

// Offset value meaning "the file holds no page".
constexpr DWORD WATERMARK_NO_PAGE = 0xFFFFFFFF;
// Second word of the watermark block.
constexpr DWORD WATERMARK_BLOCK_TAG = 0x40000000;
// The page is copied in pieces of at most this many bytes.
constexpr DWORD WATERMARK_PIECE = 2048;

// Opens the configured watermark file and finds its page: *pdwOffset is where
// the EMF page starts, *pdwEnd where it ends (equal to *pdwOffset when the file
// holds no page). Null when no watermark is configured; a configured file that
// cannot be opened is reported to the event log and also gives null.
HANDLE OpenWatermarkSource(LPDWORD pdwOffset, LPDWORD pdwEnd);

// The page finder: walks the spool records of hFile (the first record's size
// counts its header when it is the file header 0x00010000) to the first record
// of type 1 or 12 whose body starts with an EMF header (EMR_HEADER and the
// " EMF" signature). Returns the offset of that body and its nBytes in
// *pcbEmf, or WATERMARK_NO_PAGE. Never reads past the file's end.
DWORD FindWatermarkPage(HANDLE hFile, LPDWORD pcbEmf);

// Writes the watermark block for the page [dwOffset, dwEnd) of hFile through
// the job writer (mode 2; with framing, behind a data block header) and
// closes the file. FALSE when a write failed.
BOOL WriteWatermarkBlock(PPRINTPROCESSORDATA pData, HANDLE hFile, DWORD dwOffset, DWORD dwEnd);
