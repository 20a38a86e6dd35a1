// The per-job record handed to the spooler as the print processor handle.
// One zero-filled block of global memory; every later entry point receives it
// and ClosePrintProcessor releases everything it owns.
#pragma once
#include "palwin.h"

#include <cstddef>
#include <cstdint>

class CBitmapCacheMap;
class CHoleList;
class CNPDecompress;
struct FONTENTRY;

// dwSignature while the handle is valid.
constexpr DWORD PRINTPROCESSOR_SIGNATURE = 0x5051;

// fsStatus bits, changed only by ControlPrintProcessor.
constexpr DWORD PRINTPROCESSOR_CANCELLED = 0x1;
constexpr DWORD PRINTPROCESSOR_PAUSED = 0x8;

// dwJobType codes.
constexpr DWORD JOBTYPE_RAW = 0;
constexpr DWORD JOBTYPE_RAW_FF_APPENDED = 1;
constexpr DWORD JOBTYPE_RAW_FF_AUTO = 2;
constexpr DWORD JOBTYPE_EMF = 3;
constexpr DWORD JOBTYPE_TEXT = 4;

constexpr DWORD OUT_BUFFER_SIZE = 2048;
constexpr DWORD VIRTUAL_COPY_JOBS = 4;

typedef struct _PRINTPROCESSORDATA {
    DWORD dwSignature;
    DWORD cbSize;
    DWORD fsStatus;
    HANDLE hPauseEvent;
    DWORD dwJobType;
    HANDLE hJobReader;
    HANDLE hPrinter;
    HANDLE hAGNPPrinter;
    DWORD dwImageCount;
    CBitmapCacheMap* pBitmapCache;
    ULONGLONG qwOutputPos;
    DWORD fFraming;
    CHoleList* pHoleList;
    BYTE abOutBuffer[OUT_BUFFER_SIZE];
    DWORD cbOutBuffer;
    LPWSTR pPrinterName;
    LPWSTR pDocumentName;
    LPWSTR pOutputFile;
    LPWSTR pDatatype;
    LPWSTR pParameters;
    DWORD dwJobId;
    DWORD dwPageCount;
    DWORD dwCopies;
    DWORD dwTabSize;
    HDC hDC;
    LPDEVMODEW pDevMode;
    DWORD fPDFBridge;
    INT iSpoolBridge;
    DWORD fVMwarePort;
    DWORD fHeldPrintingPort;
    DWORD fRemotePort;
    LPCWSTR pIncludeFonts;  // multi-string, borrowed from the job configuration
    FONTENTRY* pFontList;
    DWORD dwRecordPos;
    DWORD dwInputPos;
    HANDLE hNativeJob;
    HANDLE hViewJob;
    HANDLE ahVirtualCopyJobs[VIRTUAL_COPY_JOBS];
    LPWSTR pExtendedUserName;
    LPWSTR pPortName;
    DWORD fJobAborted;
    DWORD fCompressedJob;
    DWORD fClientSideRendering;
    CNPDecompress* pDecompressor;
    DWORD fAGNPQLPrinter;
} PRINTPROCESSORDATA, *PPRINTPROCESSORDATA;

// Same layout on both platforms (x64, LLP64).
static_assert(offsetof(PRINTPROCESSORDATA, dwSignature) == 0);
static_assert(offsetof(PRINTPROCESSORDATA, fsStatus) == 8);
static_assert(offsetof(PRINTPROCESSORDATA, hPauseEvent) == 16);
static_assert(offsetof(PRINTPROCESSORDATA, abOutBuffer) == 96);
static_assert(offsetof(PRINTPROCESSORDATA, cbOutBuffer) == 2144);
static_assert(offsetof(PRINTPROCESSORDATA, pPrinterName) == 2152);
static_assert(offsetof(PRINTPROCESSORDATA, iSpoolBridge) == 2228);
static_assert(offsetof(PRINTPROCESSORDATA, hNativeJob) == 2272);
static_assert(offsetof(PRINTPROCESSORDATA, pDecompressor) == 2352);
static_assert(sizeof(PRINTPROCESSORDATA) == 2368);

// The record behind a print processor handle: non-null and carrying the
// signature. Otherwise last error ERROR_INVALID_HANDLE and null. A pointer that
// cannot be read counts as invalid.
PPRINTPROCESSORDATA ValidateHandle(HANDLE hPrintProcessor);
