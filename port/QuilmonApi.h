// The exports of the product's port monitor library "quilmon.dll" that the print
// processor calls directly. The monitor is a separate component; a missing
// library or export is never fatal, the caller then simply reports nothing.
#pragma once
#include "palwin.h"

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

#define QUILMON_DLL WSTR("quilmon.dll")
