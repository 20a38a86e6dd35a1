// The compression configuration of a job: what the EMF transformation does with
// bitmaps (delete, compress by rules, cache, reduce resolution), when pages are
// streamed through a temporary file, and the settings other parts take from
// the same place (fonts to include, AGNP and virtual-copy printer names, tray
// and rescale options). Filled once per job from the machine-wide registry key
// and the printer's printer data.
#pragma once
#include "palwin.h"

#include <cstddef>

constexpr DWORD VIRTUAL_COPY_PRINTERS = 4;
constexpr DWORD COMPRESSION_RULES = 100;

// A compression rule as stored in a REG_DWORD:
//   bits 0-7   lossy percent (target size of the JPEG 2000 stream)
//   bits 8-15  ZIP percent (100: never compressed)
//   bits 16-31 size limit in thousands of bytes of the assumed size; 0 = none
constexpr DWORD COMPRESSION_RULE_OFF = 100;     // lossy 100, ZIP 0, no limit
constexpr DWORD COMPRESSION_RULE_DELETE = 0;    // bitmaps are deleted
constexpr DWORD RuleLossyPercent(DWORD dwRule) { return dwRule & 0xFF; }
constexpr DWORD RuleZipPercent(DWORD dwRule) { return (dwRule >> 8) & 0xFF; }
constexpr DWORD RuleSizeLimit(DWORD dwRule) { return dwRule >> 16; }

// Defaults of the values that have one other than zero.
constexpr DWORD DEFAULT_IMAGE_RECALL_MIN = 1024;
constexpr DWORD DEFAULT_DPI_REDUCTION_MIN = 5;
constexpr DWORD DEFAULT_COMPRESSION_EMF_IN_MEM = 0x300000;
// Values of "JPEG2000Coder": the standard block coder every JPEG 2000
// receiver decodes (the default), or the High-Throughput one.
constexpr DWORD JPEG2000_CODER_STANDARD = 0;
constexpr DWORD JPEG2000_CODER_HT = 1;
// Largest IncludeFonts value taken, in bytes.
constexpr DWORD INCLUDE_FONTS_MAX = 65536;

typedef struct _ComprCnf {
    WCHAR szAgentlessNativePrinting[MAX_PATH];            // AGNP printer, empty = none
    WCHAR szVirtualCopy[VIRTUAL_COPY_PRINTERS][MAX_PATH]; // virtual-copy printers
    DWORD fBitmapCaching;
    DWORD dwImageRecallMin;
    DWORD fDPIReduction;
    DWORD fOptionTrays;
    DWORD dwRescaleOpt;
    DWORD fRescaleOptSet;
    DWORD dwCompressCompare;
    DWORD dwDPIReductionMin;
    DWORD adwCompressionRule[COMPRESSION_RULES];
    DWORD dwCompressionEMFInMem;
    WCHAR szTempDir[MAX_PATH];                            // "-1" = none
    LPWSTR pIncludeFonts;                                 // owned multi-string (MemAlloc), or null
    DWORD dwJpeg2000Coder;                                // JPEG2000_CODER_*: block coder of the streams
} ComprCnf, *PCOMPRCNF;

static_assert(offsetof(ComprCnf, szVirtualCopy) == 520);
static_assert(offsetof(ComprCnf, fBitmapCaching) == 2600);
static_assert(offsetof(ComprCnf, adwCompressionRule) == 2632);
static_assert(offsetof(ComprCnf, dwCompressionEMFInMem) == 3032);
static_assert(offsetof(ComprCnf, szTempDir) == 3036);
static_assert(offsetof(ComprCnf, pIncludeFonts) == 3560);
static_assert(offsetof(ComprCnf, dwJpeg2000Coder) == 3568);
static_assert(sizeof(ComprCnf) == 3576);

// Fills the record for the printer. Never fails: missing or mistyped values
// leave their defaults. pIncludeFonts is replaced only when the value exists;
// rules behind the last one read keep what the record held (callers clear the
// record first). Returns pComprCnf.
PCOMPRCNF ReadCompressionConfig(HANDLE hPrinter, PCOMPRCNF pComprCnf);

// ZIP and lossy percent of the first rule whose size limit is 0 or above
// dwAssumedSize / 1000; rule 99 when none matches.
void LookupCompressionRule(const ComprCnf* pComprCnf, DWORD dwAssumedSize, LPDWORD pdwZipPercent,
                           LPDWORD pdwLossyPercent);

// Takes the compression rules of the gateway driver's device mode extension
// (when its dwFields carries QL_EDF_MASK_COMPRESSION) into rules 0 to 3.
// fDeletionOnly (native printing on an ordinary printer): only an extension
// that asks for bitmap deletion (rule 0 = 0) is taken, and the resolution
// reduction stays; otherwise the extension's dwBitmapDPIReduction is taken
// too. Rules 4 and up keep what the configuration read.
struct _PRIVATEDEVMODEEXT;
void AdoptDevmodeCompression(const struct _PRIVATEDEVMODEEXT* pDevmodeExt, PCOMPRCNF pComprCnf, BOOL fDeletionOnly);

// Turns compression and resolution reduction off, keeping bitmap deletion.
void DisableCompression(PCOMPRCNF pComprCnf);

BOOL IsBitmapDeletion(const ComprCnf* pComprCnf);
BOOL IsCompressionOff(const ComprCnf* pComprCnf);

// Frees pIncludeFonts and sets it to null.
void ReleaseCompressionConfig(PCOMPRCNF pComprCnf);
