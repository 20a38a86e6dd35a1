// The exports of the product's port monitor library "quilmon.dll" that the print
// processor calls directly. The monitor is a separate component; a missing
// library or export is never fatal, the caller then simply reports nothing.
#pragma once
#include "palwin.h"

#include <cstddef>

// Once per page of a gateway job. Port and computer name are parsed from the
// printer name.
typedef BOOL(WINAPI* PFN_IncrementPageCount)(LPCWSTR pPortName, LPCWSTR pComputerName);
// Once per copy, for the first device mode record that carries DM_COPIES.
typedef BOOL(WINAPI* PFN_SetPrintCopyCount)(LPCWSTR pPortName, LPCWSTR pComputerName, DWORD dwCopies);
// Once per document end, with the document's byte count. Taken only when the
// library is already loaded in the process.
typedef void(WINAPI* PFN_UpdateQLWinPrnStatisticsW)(LPCWSTR pPrinterName, LPCWSTR pServerName, DWORD cbDocument);
// Starts the native-printing view library; returns its function table or null.
typedef void*(WINAPI* PFN_InitializeAGNP)(void);

// ---- the view library (native printing), reached through InitializeAGNP ----

typedef HANDLE(WINAPI* PFN_AGNPOpenJob)(HANDLE hJobReader, DWORD dwJobId, DWORD dwOptions, PVOID pParams);
typedef BOOL(WINAPI* PFN_AGNPWriteJob)(HANDLE hJob, LPCVOID pBuf, DWORD cbBuf);
typedef void(WINAPI* PFN_AGNPCloseJob)(HANDLE hJob);
typedef DWORD(WINAPI* PFN_AGNPGetLastError)(void);

// The table InitializeAGNP returns; a function is taken only when its slot lies
// within cbSize.
typedef struct _AGNPINTERFACE {
    DWORD cbSize;
    PFN_AGNPOpenJob pfnOpenJob;
    PFN_AGNPWriteJob pfnWriteJob;
    PFN_AGNPCloseJob pfnCloseJob;
    PFN_AGNPGetLastError pfnGetLastError;
} AGNPINTERFACE, *PAGNPINTERFACE;
static_assert(offsetof(AGNPINTERFACE, pfnOpenJob) == 8);
static_assert(offsetof(AGNPINTERFACE, pfnWriteJob) == 16);
static_assert(offsetof(AGNPINTERFACE, pfnCloseJob) == 24);
static_assert(offsetof(AGNPINTERFACE, pfnGetLastError) == 32);
static_assert(sizeof(AGNPINTERFACE) == 40);

// The parameter record handed to the open function (zeroed before use). The
// view library reads the strings and the device mode during the call only.
typedef struct _AGNPOPENJOBPARAMS {
    DWORD dwVersion;          // AGNP_OPENJOB_VERSION
    LPCWSTR pDestination;     // AGNP printer or virtual-copy printer
    LPCWSTR pDocumentName;
    LPCWSTR pUserText;        // the job's extended user name
    PVOID pReserved1;
    LPDEVMODEW pDevMode;      // working device mode, may be null
    PVOID pReserved2;
    PVOID pReserved3;
} AGNPOPENJOBPARAMS, *PAGNPOPENJOBPARAMS;
static_assert(offsetof(AGNPOPENJOBPARAMS, pDestination) == 8);
static_assert(offsetof(AGNPOPENJOBPARAMS, pDocumentName) == 16);
static_assert(offsetof(AGNPOPENJOBPARAMS, pUserText) == 24);
static_assert(offsetof(AGNPOPENJOBPARAMS, pDevMode) == 40);
static_assert(sizeof(AGNPOPENJOBPARAMS) == 64);

constexpr DWORD AGNP_OPENJOB_VERSION = 44;
// Open options: the base value plus the page placement bits of the device
// mode's private trailer.
constexpr DWORD QLVIEW_OPEN_BASE = 5;
constexpr DWORD QLVIEW_DONTRESIZE = 0x100;
constexpr DWORD QLVIEW_DONTMOVE = 0x200;

#define QUILMON_DLL WSTR("quilmon.dll")
