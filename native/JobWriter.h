// The job writer: every byte a job sends onward goes through WriteJobOutput,
// which frames it into data and hole blocks when the job's output is framed,
// and WriteJobBuffered, which hands it to the native-printing jobs or, through
// the job's 2048-byte staging buffer, to WritePrinter. MyStartDocPrinter and
// MyEndDocPrinter start and end the document around it.
#pragma once
#include "palwin.h"
#include "printproc/PrintProcessorData.h"

// Block tags of the framed output (little-endian u32 followed by a u32 length).
constexpr DWORD FRAME_DATA_BLOCK = 0x08080000;
constexpr DWORD FRAME_HOLE_BLOCK = 0x80800000;

// Writer modes (bit 0x2: no hole processing; bit 0x1: opens a block).
constexpr DWORD WRITE_DATA = 0;          // data subject to the hole list
constexpr DWORD WRITE_DATA_HEADER = 1;   // same as WRITE_DATA
constexpr DWORD WRITE_CONTINUE = 2;      // continuation of a block opened by WRITE_RECORD_HEADER
constexpr DWORD WRITE_RECORD_HEADER = 3; // an 8-byte spool record header that opens a block

BOOL WriteJobOutput(PPRINTPROCESSORDATA pData, LPCVOID pBuf, DWORD cbBuf, DWORD dwMode);
BOOL WriteJobBuffered(PPRINTPROCESSORDATA pData, LPCVOID pBuf, DWORD cbBuf);
BOOL WritePrinterAll(HANDLE hPrinter, LPCVOID pBuf, DWORD cbBuf);

// Starts the document on hAGNPPrinter when set, else on hPrinter (not at all
// under native printing, fAGNP). Returns the spooler's job id, 0 on failure.
DWORD MyStartDocPrinter(PPRINTPROCESSORDATA pData, DWORD dwLevel, DOC_INFO_1W* pDocInfo, BOOL fAGNP);
void MyEndDocPrinter(PPRINTPROCESSORDATA pData, BOOL fAGNP);

// Characters of each name the statistics call receives, terminator included.
constexpr size_t STAT_NAME_CCH = 256;

// Splits a printer name of the form \\server\printer[,...] into its server and
// printer parts: two backslashes, a server name without backslash, one
// backslash, then the printer name up to the first comma. Both parts must be
// non-empty and shorter than STAT_NAME_CCH; otherwise both come back empty and
// the result is FALSE.
BOOL SplitServerPrinterName(LPCWSTR pName, WCHAR (&szServer)[STAT_NAME_CCH], WCHAR (&szPrinter)[STAT_NAME_CCH]);
