// Device mode routines shared with the gateway driver: dmSpecVersion values,
// conversion between device modes of different sizes, the driver's default
// device mode and the validating merge of a device mode into the driver's.
//
// Every DEVMODEW passed here is a whole block of dmSize + dmDriverExtra bytes
// (at least the 72-byte header) — the caller guarantees it; the routines read
// and write only inside the sizes the blocks state.
#pragma once
#include "palwin.h"

#include "native/Devmode.h"

#include <cstddef>

// One form the device offers, as the driver lists it (144 bytes).
typedef struct _DEVCAPSFORM {
    DWORD dwPaperSize;            // DMPAPER_* code
    WCHAR szFormName[CCHFORMNAME];
    BYTE abReserved[68];          // not used here
    LONG lPaperWidth;             // tenths of a millimetre
    LONG lPaperLength;            // tenths of a millimetre
} DEVCAPSFORM, *PDEVCAPSFORM;

static_assert(sizeof(DEVCAPSFORM) == 144);
static_assert(offsetof(DEVCAPSFORM, dwPaperSize) == 0);
static_assert(offsetof(DEVCAPSFORM, szFormName) == 4);
static_assert(offsetof(DEVCAPSFORM, lPaperWidth) == 136);
static_assert(offsetof(DEVCAPSFORM, lPaperLength) == 140);

// dwCapFlags: the extension features a device supports.
constexpr DWORD QL_CAP_PIN = 0x1;
constexpr DWORD QL_CAP_PUNCHING = 0x4;
constexpr DWORD QL_CAP_STAPLING = 0x8;
constexpr DWORD QL_CAP_BINDING = 0x10;
constexpr DWORD QL_CAP_NUPSHEETS = 0x20;
constexpr DWORD QL_CAP_STAPLEANGLE = 0x40;
constexpr DWORD QL_CAP_SHEETCAPACITY = 0x80;
constexpr DWORD QL_CAP_GUTTER = 0x100;
constexpr DWORD QL_CAP_NUPDIRECTION = 0x200;

// What a device can do: its forms, its extension features and, per
// enumerated field, a mask that admits value v (v >= 1) through bit 1 << (v - 1).
typedef struct _DEVCAPSINFO {
    DWORD dwFormCount;
    const DEVCAPSFORM* pForms;
    DWORD dwCapFlags;             // QL_CAP_* bits
    DWORD dwPunchingSupport;      // values 1..4
    DWORD dwStaplingSupport;      // values 1..9
    DWORD dwBindingSupport;       // values 1..13
    DWORD dwNupDirectionSupport;  // values 1..8
    DWORD dwNupSheetsSupport;     // values 1..7
    DWORD dwMinGutter;
    DWORD dwMaxGutter;
} DEVCAPSINFO, *PDEVCAPSINFO;

static_assert(offsetof(DEVCAPSINFO, dwCapFlags) == 2 * sizeof(void*));
static_assert(offsetof(DEVCAPSINFO, dwMaxGutter) == 2 * sizeof(void*) + 28);

// The dwFields bits a device's dwCapFlags allow.
DWORD CapFlagsToFields(DWORD dwCapFlags);

// 0x320 for dmSize 188, 0x400 for 212, 0x401 for 220, otherwise the device
// mode's own dmSpecVersion; 0 for a null device mode.
WORD GetDevmodeSpecVersion(const DEVMODEW* pDevmode);

// Copies pIn into pOut as far as both sizes allow: the smaller public part
// (pOut keeps its own size fields, driver version and derived
// version), the smaller private part from the start of the private areas,
// and the trailer flags when both carry a trailer. Returns the bytes copied,
// or -1 when either has no derivable version.
int ConvertDevmodeVersion(const DEVMODEW* pIn, DEVMODEW* pOut);

// Fills a QL_DEVMODE_SIZE-byte buffer with the gateway driver's default
// device mode for A4 (bMetric) or Letter paper. FALSE for a null buffer or
// device name.
BOOL BuildDefaultDevmode(BOOL bMetric, DEVMODEW* pDevmode, LPCWSTR pszDeviceName, const DEVCAPSINFO* pCaps);

// Validates pIn against the device's capabilities and merges it into pOut, a
// gateway driver device mode. TRUE for a null pIn (nothing to do); FALSE for
// a null pOut, when the work copy cannot be allocated or the versions cannot
// be converted.
BOOL ConvertDevMode(const DEVMODEW* pIn, DEVMODEW* pOut, const DEVCAPSINFO* pCaps);
