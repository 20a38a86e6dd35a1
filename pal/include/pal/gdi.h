// GDI subset for the Linux build: device modes and printer device contexts.
//
// A printer device context has the geometry of its printer and of the paper
// size and orientation of the device mode it was created with. The geometry
// is read from the machine's registry when the context is created:
//   HKLM\SYSTEM\CurrentControlSet\Control\Print\Printers\<printer>\Geometry
//       "Dpi"         REG_DWORD  resolution, both directions (default 600)
//       "MarginMM10"  REG_DWORD  unprintable margin on every side, tenths of a
//                                millimetre (default 40 = 4 mm)
//   ...\Geometry\<paper code>  (decimal dmPaperSize, e.g. "9" for A4)
//       "WidthMM10", "HeightMM10"  REG_DWORD  portrait paper size, tenths of a
//                                millimetre; "Dpi" and "MarginMM10" here
//                                override the printer's values for this paper
// The paper is the device mode's dmPaperSize when DM_PAPERSIZE is set (else
// the form named in dmFormName when DM_FORMNAME is set): its Geometry subkey,
// else the built-in size of Letter (2159 x 2794), Legal (2159 x 3556),
// A3 (2970 x 4200), A4 (2100 x 2970) or A5 (1480 x 2100). A paper code known
// to neither takes the device mode's dmPaperWidth x dmPaperLength when both
// DM_PAPERWIDTH and DM_PAPERLENGTH are set with positive values, else A4.
// DM_ORIENTATION with DMORIENT_LANDSCAPE swaps width and height.
#pragma once
#include "pal/types.h"

#define PAL_API extern "C" __attribute__((visibility("default")))

#define CCHDEVICENAME 32
#define CCHFORMNAME 32

typedef struct _devicemodeW {
    WCHAR dmDeviceName[CCHDEVICENAME];
    WORD dmSpecVersion;
    WORD dmDriverVersion;
    WORD dmSize;
    WORD dmDriverExtra;
    DWORD dmFields;
    union {
        struct {
            short dmOrientation;
            short dmPaperSize;
            short dmPaperLength;
            short dmPaperWidth;
            short dmScale;
            short dmCopies;
            short dmDefaultSource;
            short dmPrintQuality;
        };
        struct {
            POINTL dmPosition;
            DWORD dmDisplayOrientation;
            DWORD dmDisplayFixedOutput;
        };
    };
    short dmColor;
    short dmDuplex;
    short dmYResolution;
    short dmTTOption;
    short dmCollate;
    WCHAR dmFormName[CCHFORMNAME];
    WORD dmLogPixels;
    DWORD dmBitsPerPel;
    DWORD dmPelsWidth;
    DWORD dmPelsHeight;
    union {
        DWORD dmDisplayFlags;
        DWORD dmNup;
    };
    DWORD dmDisplayFrequency;
    DWORD dmICMMethod;
    DWORD dmICMIntent;
    DWORD dmMediaType;
    DWORD dmDitherType;
    DWORD dmReserved1;
    DWORD dmReserved2;
    DWORD dmPanningWidth;
    DWORD dmPanningHeight;
} DEVMODEW, *PDEVMODEW, *LPDEVMODEW;

#define DM_SPECVERSION 0x0401
#define DM_ORIENTATION 0x00000001L
#define DM_PAPERSIZE 0x00000002L
#define DM_PAPERLENGTH 0x00000004L
#define DM_PAPERWIDTH 0x00000008L
#define DM_SCALE 0x00000010L
#define DM_COPIES 0x00000100L
#define DM_DEFAULTSOURCE 0x00000200L
#define DM_PRINTQUALITY 0x00000400L
#define DM_COLOR 0x00000800L
#define DM_DUPLEX 0x00001000L
#define DM_YRESOLUTION 0x00002000L
#define DM_TTOPTION 0x00004000L
#define DM_COLLATE 0x00008000L
#define DM_FORMNAME 0x00010000L

#define DMORIENT_PORTRAIT 1
#define DMORIENT_LANDSCAPE 2

#define DMPAPER_LETTER 1
#define DMPAPER_LEGAL 5
#define DMPAPER_A3 8
#define DMPAPER_A4 9
#define DMPAPER_A5 11

// Creates a device context for a printer of the simulated spooler (driver
// name ignored, device = printer name). Fails with ERROR_INVALID_PRINTER_NAME
// for an unknown printer.
PAL_API HDC CreateDCW(LPCWSTR pwszDriver, LPCWSTR pwszDevice, LPCWSTR pszPort, const DEVMODEW* pdm);
PAL_API BOOL DeleteDC(HDC hdc);
PAL_API BOOL CancelDC(HDC hdc);

// GetDeviceCaps indices answered for printer device contexts (header comment
// above for where the values come from). Sizes in millimetres, everything
// else in device units; HORZRES/VERTRES are the printable area, the PHYSICAL*
// values the whole sheet and the unprintable offset of its top-left corner.
#define TECHNOLOGY 2
#define HORZSIZE 4
#define VERTSIZE 6
#define HORZRES 8
#define VERTRES 10
#define BITSPIXEL 12
#define PLANES 14
#define LOGPIXELSX 88
#define LOGPIXELSY 90
#define PHYSICALWIDTH 110
#define PHYSICALHEIGHT 111
#define PHYSICALOFFSETX 112
#define PHYSICALOFFSETY 113
#define DT_RASPRINTER 2
// The capability's value; 0 for an index not listed above or an invalid
// context (last error ERROR_INVALID_HANDLE).
PAL_API int GetDeviceCaps(HDC hdc, int index);
