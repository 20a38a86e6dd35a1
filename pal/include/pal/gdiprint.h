// Drawing on printer device contexts (Linux build): documents and pages,
// fonts, text output, and playback of a job's EMF spool pages.
//
// A printer device context (CreateDCW, pal/gdi.h) renders with cairo. Every
// document between StartDocW and EndDoc becomes one PDF document of the
// printer's paper size; EndDoc hands it whole to the printer's port through
// the simulated spooler (OpenPrinterW, StartDocPrinterW with datatype "RAW",
// WritePrinter, EndDocPrinter), so the port file holds a PDF that any viewer
// opens. AbortDoc, a cancelled context (CancelDC) or a failed page throws the
// document away: the port receives a complete document or nothing (nothing
// also for a document without pages).
//
// Device units are pixels of the printer's resolution; (0, 0) is the top-left
// corner of the printable area (GetDeviceCaps PHYSICALOFFSETX/Y from the edge
// of the sheet).
//
// Fonts are found through fontconfig and measured with FreeType (see
// pal/posix/fonts.h). A new context has the printer's default font selected:
// the stock DEVICE_DEFAULT_FONT, 12-point "Courier New" (fixed pitch; a
// metric-compatible face stands in when that family is not installed).
// TextOutA draws 8-bit text as Windows-1252 at the top-left of its cell.
#pragma once
#include "pal/gdi.h"

typedef struct HFONT__* HFONT;

#define LF_FACESIZE 32
typedef struct tagLOGFONTW {
    LONG lfHeight;  // < 0: character height (em), > 0: cell height, 0: default size
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    WCHAR lfFaceName[LF_FACESIZE];
} LOGFONTW, *PLOGFONTW, *LPLOGFONTW;

typedef struct tagTEXTMETRICW {
    LONG tmHeight;
    LONG tmAscent;
    LONG tmDescent;
    LONG tmInternalLeading;
    LONG tmExternalLeading;
    LONG tmAveCharWidth;
    LONG tmMaxCharWidth;
    LONG tmWeight;
    LONG tmOverhang;
    LONG tmDigitizedAspectX;
    LONG tmDigitizedAspectY;
    WCHAR tmFirstChar;
    WCHAR tmLastChar;
    WCHAR tmDefaultChar;
    WCHAR tmBreakChar;
    BYTE tmItalic;
    BYTE tmUnderlined;
    BYTE tmStruckOut;
    BYTE tmPitchAndFamily;
    BYTE tmCharSet;
} TEXTMETRICW, *PTEXTMETRICW, *LPTEXTMETRICW;

typedef struct _DOCINFOW {
    int cbSize;
    LPCWSTR lpszDocName;
    LPCWSTR lpszOutput;
    LPCWSTR lpszDatatype;
    DWORD fwType;
} DOCINFOW, *LPDOCINFOW;

#define FW_NORMAL 400
#define FW_BOLD 700
#define FIXED_PITCH 1
#define VARIABLE_PITCH 2
#define FF_MODERN (3 << 4)
#define ANSI_CHARSET 0
#define OEM_FIXED_FONT 10
#define ANSI_FIXED_FONT 11
#define ANSI_VAR_FONT 12
#define DEVICE_DEFAULT_FONT 14
#define SYSTEM_FIXED_FONT 16
#define SP_ERROR (-1)

// Fonts of the machine: a logical font selects an installed face the way
// Windows font mapping does. A face that is installed (the system's fonts
// through fontconfig, the font files in C:\Windows\Fonts of the drive root,
// and the temporary fonts the host installed for a job under a face name) is
// selected by its name; any other name selects a substitute, whose face name
// (GetTextFaceW) differs from the one asked for.
//
// CreateFontIndirectW: a font handle (DeleteObject frees it); null with
// ERROR_INVALID_PARAMETER for a null argument. SelectObject selects fonts
// into printer and memory contexts alike.
PAL_API HFONT CreateFontIndirectW(const LOGFONTW* lplf);
// The file of the selected face: dwTable must be 0 (the whole file); with a
// null buffer or cjBuffer 0 the size of the data from dwOffset on, else the
// bytes copied (at most cjBuffer). GDI_ERROR with ERROR_INVALID_HANDLE for
// an invalid context, ERROR_INVALID_PARAMETER for another table or an offset
// past the end, ERROR_FILE_NOT_FOUND when the file cannot be read.
PAL_API DWORD GetFontData(HDC hdc, DWORD dwTable, DWORD dwOffset, PVOID pvBuffer, DWORD cjBuffer);
// The selected face's name into lpName (c characters, the terminator
// included, truncated to fit); returns the characters copied with the
// terminator, or with a null lpName the length the name needs. 0 on failure.
PAL_API int GetTextFaceW(HDC hdc, int c, LPWSTR lpName);

// Documents and pages. StartDocW returns a positive job id or SP_ERROR;
// StartPage/EndPage/EndDoc return a positive value or SP_ERROR (<= 0). Calls
// out of order fail with ERROR_INVALID_PARAMETER. lpszOutput must be null:
// output always goes to the printer's port.
PAL_API int StartDocW(HDC hdc, const DOCINFOW* lpdi);
PAL_API int StartPage(HDC hdc);
PAL_API int EndPage(HDC hdc);
PAL_API int EndDoc(HDC hdc);
PAL_API int AbortDoc(HDC hdc);

// Metrics of the selected font at the context's resolution.
PAL_API BOOL GetTextMetricsW(HDC hdc, LPTEXTMETRICW lptm);
// Draws c bytes of lpString with the cell's top-left corner at (x, y); only
// inside a page. Every call is also recorded (palhost DeviceContextRecord).
PAL_API BOOL TextOutA(HDC hdc, int x, int y, LPCSTR lpString, int c);

// Plays the EMF spool pages of the job that pwszDocName names (as
// OpenPrinterW opens it, "<printer>, Job <id>") on a new device context of
// the printer pwszPrinterName with the device mode pDevmode (null: the
// printer's default), one PDF page per spool page, as one document on the
// printer's port. pfnEMFPlayFn and hPageQuery must be null. Returns non-zero
// on success; on failure the last error tells why.
//
// The EMF records are parsed in a separate helper process (qlemfrender, a
// time and memory limit on it), so a malformed page cannot bring down this
// process. When the helper faults (ends on a signal, or runs out of its
// limits) the call raises a structured exception: a C++ exception of type
// pal::gdi::PlaybackFault, as Windows raises an access fault out of the
// same call. Callers run it under RunUnderExceptionGuard (pal/seh.h).
#include <exception>
namespace pal::gdi {
// Raised by GdiPlayEMF when the EMF renderer faulted.
class __attribute__((visibility("default"))) PlaybackFault : public std::exception {
public:
    ~PlaybackFault() override;
    const char* what() const noexcept override;
};
} // namespace pal::gdi
PAL_API BOOL GdiPlayEMF(LPWSTR pwszPrinterName, LPDEVMODEW pDevmode, LPWSTR pwszDocName, void* pfnEMFPlayFn,
                        HANDLE hPageQuery);

static_assert(sizeof(LOGFONTW) == 92);
static_assert(offsetof(LOGFONTW, lfWeight) == 16);
static_assert(offsetof(LOGFONTW, lfItalic) == 20);
static_assert(offsetof(LOGFONTW, lfFaceName) == 28);
static_assert(sizeof(TEXTMETRICW) == 60);
static_assert(offsetof(TEXTMETRICW, tmAveCharWidth) == 20);
static_assert(offsetof(TEXTMETRICW, tmFirstChar) == 44);
static_assert(offsetof(TEXTMETRICW, tmItalic) == 52);
static_assert(offsetof(TEXTMETRICW, tmCharSet) == 56);
static_assert(sizeof(DOCINFOW) == 40);
static_assert(offsetof(DOCINFOW, lpszDocName) == 8);
static_assert(offsetof(DOCINFOW, fwType) == 32);
