// Binding of the native-printing view library, reached through the table that
// the port monitor library's InitializeAGNP export returns.
#pragma once
#include "palwin.h"

#include <cstddef>

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

// The bound view functions (all null until the view library has started).
struct ViewFunctions {
    PFN_AGNPOpenJob pfnOpenJob = nullptr;
    PFN_AGNPWriteJob pfnWriteJob = nullptr;
    PFN_AGNPCloseJob pfnCloseJob = nullptr;
    PFN_AGNPGetLastError pfnGetLastError = nullptr;
};
const ViewFunctions& GetViewFunctions();

// Starts the view library the first time it is called in the process and
// reports whether it is available; a failed start is not retried.
BOOL EnsureViewLibrary();

// Tests only: makes the view library available with the given functions
// (null pointer: back to "not started").
void SetViewFunctionsForTest(const ViewFunctions* pFunctions);
