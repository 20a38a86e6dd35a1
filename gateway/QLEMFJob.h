// The gateway job driver's record loop, for the driver itself and for tests
// that run it over a job with a prepared font list.
#pragma once
#include "palwin.h"
#include "emf/ComprCnf.h"
#include "gateway/Destination.h"
#include "printproc/PrintProcessorData.h"

// Names the port monitor calls receive, parsed from the printer name.
struct GATEWAYPORTNAMES {
    LPCWSTR pszComputerName;
    LPCWSTR pszPortName;
};

// Copies and transforms the spool records of one copy, read from hJob, to the
// job writer. The loop ends at the end of the data, at a record of size 0, on
// cancel and on a failed write. Returns FALSE when a page could not be
// transformed; the loop goes on after such a page, and *pdwPageError (when
// given) receives the last error of the first page that failed.
BOOL PrintSpoolRecords(PPRINTPROCESSORDATA pData, HANDLE hJob, PCOMPRCNF pComprCnf, PRINTABLEAREACACHE* pCache,
                       const GATEWAYPORTNAMES& names, DWORD* pdwPageError = nullptr);
