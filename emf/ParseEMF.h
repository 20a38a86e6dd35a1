// The EMF record walker's entry point for one page record of a gateway job.
#pragma once
#include "palwin.h"
#include "emf/ComprCnf.h"
#include "printproc/PrintProcessorData.h"

// Reads the body of the page record whose 8-byte header (type, size) was just
// read from hReader and writes the transformed record, header included.
BOOL ParseEMF(HANDLE hReader, PPRINTPROCESSORDATA pData, const BYTE* pRecordHeader, PCOMPRCNF pComprCnf);
