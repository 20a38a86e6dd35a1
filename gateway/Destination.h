// Destination settings and the device mode of a gateway job: how the
// compression settings adapt to AGNP, Print-To-Remote and Held Printing
// destinations, how a device mode is adjusted for the receiver, the device
// mode block that travels in front of the spool records, the patch of device
// mode records, and the user name handed to native jobs.
#pragma once
#include "palwin.h"
#include "emf/ComprCnf.h"
#include "printproc/PrintProcessorData.h"

// Printable area of the local printer for one form and orientation; one per
// job, zeroed at job start, shared by every device mode adjustment of the job.
struct PRINTABLEAREACACHE {
    WCHAR szFormName[CCHFORMNAME + 1];
    short dmPaperSize;
    BOOL fPaperSizeValid;
    short dmOrientation;
    BOOL fOrientationValid;
    LONG lPhysHeight;   // tenths of a millimetre
    LONG lPhysWidth;
    LONG lPhysOffsetY;
    LONG lPhysOffsetX;
};

// Adapts the job's configuration to its destination (once per job, before the
// document starts) and hands the font patterns on to the job record.
void ApplyDestinationSettings(PPRINTPROCESSORDATA pData, PCOMPRCNF pComprCnf);

// Paper translation through the forms table and the physical page size and
// offsets of the printer named pPrinterName, in place.
void AdjustDevmode(HANDLE hPrinter, LPDEVMODEW pDevMode, PRINTABLEAREACACHE* pCache, LPCWSTR pPrinterName);

// Adjusts pData->pDevMode (AdjustDevmode, with hPrinter and pPrinterName of
// the record), then writes its device mode block (0x02, u32 length, device
// mode bytes) or, under AGNP (fAGNP), copies the device mode into pWorkBuffer
// (dmSize + dmDriverExtra + 1024 bytes). A set DM_PAPERSIZE leaves dmPaperSize
// 0 afterwards. FALSE when a write failed.
BOOL WriteDevmodeBlock(PPRINTPROCESSORDATA pData, PCOMPRCNF pComprCnf, PRINTABLEAREACACHE* pCache,
                       LPBYTE pWorkBuffer, BOOL fAGNP);

// Adjusts (AdjustDevmode) and patches the device mode in the body of a spool
// record of type 3 (cbBody >= 220 bytes); the record keeps its length. A
// device mode that claims more than cbBody bytes is left as it is.
void PatchDevmodeRecord(PPRINTPROCESSORDATA pData, PCOMPRCNF pComprCnf, PRINTABLEAREACACHE* pCache, LPBYTE pBody,
                        DWORD cbBody);

// Builds pData->pExtendedUserName ("user[address]") for native printing.
void BuildExtendedUserName(PPRINTPROCESSORDATA pData, HANDLE hReader);
