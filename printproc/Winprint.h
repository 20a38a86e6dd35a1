// The print processor's entry points and the helpers shared between the
// entry points, the job dispatch and the printing paths.
#pragma once
#include "palwin.h"
#include "printproc/PrintProcessorData.h"

// ---- exported entry points (the spooler's signatures) ---------------------------
PAL_EXPORT BOOL WINAPI DllMain(HINSTANCE hInstDLL, DWORD fdwReason, LPVOID lpReserved);
PAL_EXPORT BOOL WINAPI InstallPrintProcessor(HWND hWnd);
PAL_EXPORT BOOL WINAPI EnumPrintProcessorDatatypesW(LPWSTR pName, LPWSTR pPrintProcessorName, DWORD Level,
                                                    LPBYTE pDatatypes, DWORD cbBuf, LPDWORD pcbNeeded,
                                                    LPDWORD pcReturned);
PAL_EXPORT DWORD WINAPI GetPrintProcessorCapabilities(LPWSTR pValueName, DWORD dwAttributes, LPBYTE pData,
                                                      DWORD nSize, LPDWORD pcbNeeded);
PAL_EXPORT HANDLE WINAPI OpenPrintProcessor(LPWSTR pPrinterName, PPRINTPROCESSOROPENDATA pPrintProcessorOpenData);
PAL_EXPORT BOOL WINAPI PrintDocumentOnPrintProcessor(HANDLE hPrintProcessor, LPWSTR pDocumentName);
PAL_EXPORT BOOL WINAPI ControlPrintProcessor(HANDLE hPrintProcessor, DWORD Command);
PAL_EXPORT BOOL WINAPI ClosePrintProcessor(HANDLE hPrintProcessor);

// ---- datatype table ---------------------------------------------------------------
// Nine names in fixed order, null-terminated; the position is the datatype
// index used throughout.
constexpr DWORD DATATYPE_COUNT = 9;
extern const LPCWSTR Datatypes[DATATYPE_COUNT + 1];
// Index of a datatype name (case-insensitive), DATATYPE_COUNT when unknown.
DWORD GetDatatypeIndex(LPCWSTR pDatatype);
// The table name of a job type code ("RAW" for 0, "TEXT" for 4, ...).
LPCWSTR DatatypeNameOfJobType(DWORD dwJobType);

// ---- job parameters -----------------------------------------------------------------
// Reads the decimal value of pKey from a parameter string ("COPIES=3;TABS=4;").
// Returns TRUE and stores it in *pdwValue when the key was found with a value
// closed by ";"; otherwise *pdwValue keeps its value.
BOOL GetKeyValue(LPCWSTR pParameters, LPCWSTR pKey, LPDWORD pdwValue);

// ---- forms table (loaded at process attach) ------------------------------------------
// 16-bit paper-size codes from the registry value "Forms"; g_cForms entries
// plus a terminating word. Null when the value is missing or not binary.
extern WORD* g_pForms;
extern DWORD g_cForms;
void LoadFormsTable();
void FreeFormsTable();

// ---- default device mode ------------------------------------------------------------------
// The printer's default device mode through the client side of the spooler,
// in a global-memory block the caller frees.
BOOL GetDefaultDevmode(LPCWSTR lpszPrinterName, LPDEVMODEW* lpDevmode);

// ---- classification and dispatch -------------------------------------------------------
// 1 when the job's printer uses a gateway driver, else 0. Fills iSpoolBridge,
// fPDFBridge, pPortName and the port flags; later calls return the cached answer.
INT IsQLSpoolBridgeJob(HANDLE hPrinter, PPRINTPROCESSORDATA pData);

// Reads the first eight bytes of the job. On success *pfReadyMade tells whether
// the data is an already finished stream ("%%EMF" or "%%XPS"), *pfCompressed
// whether it is an "%%EMZ" stream.
BOOL ReadAheadJobData(LPWSTR pJobName, BOOL* pfReadyMade, BOOL* pfCompressed);

// GetPrinterW at one level into a global-memory block sized by a first call.
struct PRINTER_INFO_READER {
    LPBYTE pInfo;     // the record, freed by the caller with MemFree
    DWORD cbInfo;     // its size
    DWORD dwError;    // last error of the failing step, 0 on success
};
BOOL ReadPrinterInfo(HANDLE hPrinter, DWORD dwLevel, PRINTER_INFO_READER* pReader);

// ---- printing paths ----------------------------------------------------------------------
BOOL PrintRawJob(PPRINTPROCESSORDATA pData, LPWSTR pDocumentName, DWORD dwJobType);
BOOL PrintTextJob(PPRINTPROCESSORDATA pData, LPWSTR pDocumentName);
BOOL PrintEMFJob(PPRINTPROCESSORDATA pData, LPWSTR pDocumentName);
BOOL PrintQLEMFJob(PPRINTPROCESSORDATA pData, LPWSTR pDocumentName);
