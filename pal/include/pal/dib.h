// Device-independent bitmaps for the Linux build: the bitmap header layouts
// and a software GDI of memory device contexts and DIB sections
// (pal/posix/dib.cpp).
#pragma once
#include "pal/gdi.h"

#include <cstddef>

typedef struct tagRGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
} RGBQUAD;

typedef struct tagBITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} BITMAPINFOHEADER, *PBITMAPINFOHEADER, *LPBITMAPINFOHEADER;

typedef struct tagBITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
} BITMAPINFO, *PBITMAPINFO, *LPBITMAPINFO;

#define BI_RGB 0L
#define BI_RLE8 1L
#define BI_RLE4 2L
#define BI_BITFIELDS 3L
#define DIB_RGB_COLORS 0
#define DIB_PAL_COLORS 1
#define COLORONCOLOR 3
#define SRCCOPY 0x00CC0020UL
#define GDI_ERROR 0xFFFFFFFFL

// ---- software GDI for device-independent bitmaps (pal/posix/dib.cpp) -----------
//
// Memory device contexts and DIB sections, enough to resample a bitmap by
// drawing it into a DIB section of the same format and reading the result
// back. Every context and bitmap lives in the handle table, so leaks show in
// pal::host::OpenHandles().
//
// Supported: uncompressed (BI_RGB) bitmaps of 1, 4, 8, 16, 24 and 32 bits per
// pixel with a header of at least 40 bytes (biPlanes 1), colour tables given
// as DIB_RGB_COLORS, bottom-up (positive biHeight) and top-down (negative
// biHeight) rows, each row padded to 4 bytes. The colour table follows the
// header at biSize bytes; it has biClrUsed entries, or 2^biBitCount when
// biClrUsed is 0 (at most 2^biBitCount are used; missing entries are black).
// Headers may sit at any address: they are copied, never read in place.
//
// Not supported, failing with GDI_ERROR or 0 and ERROR_INVALID_PARAMETER:
// conversion between formats (StretchDIBits needs the source and the selected
// DIB section to have the same bit count and, up to 8 bits, the same colour
// table; GetDIBits returns the bitmap's own bit count only), compressed
// formats and BI_BITFIELDS, DIB_PAL_COLORS, raster operations other than
// SRCCOPY, mirroring (negative widths or heights of rectangles), source
// rectangles reaching outside the source bitmap, and file-mapping sections.
//
// Pixel selection (every stretch mode behaves as COLORONCOLOR): destination
// pixel (dx, dy), counted from the destination rectangle's top-left corner,
// copies the source pixel
//     column xSrc + floor((2*dx + 1) * SrcWidth / (2 * DestWidth))
//     row    top  + floor((2*dy + 1) * SrcHeight / (2 * DestHeight))
// where rows count from the top of the image and `top` is the top row of the
// source rectangle, computed exactly in 64-bit integers. Pixel values
// (palette indices, packed 16/32-bit values, 24-bit triples) are copied
// unchanged, so every output pixel is a copy of exactly one source pixel.
// As in Win32, the source rectangle's origin is the lower-left corner of a
// bottom-up bitmap (ySrc counts rows up from the bottom row, so the top row
// is height - ySrc - SrcHeight) and the upper-left corner of a top-down one.
// Destination coordinates always count from the top; the part of the
// destination rectangle outside the selected bitmap is clipped.

typedef struct HBITMAP__* HBITMAP;

#define BLACKONWHITE 1
#define WHITEONBLACK 2
#define HALFTONE 4
#define STRETCH_ANDSCANS BLACKONWHITE
#define STRETCH_ORSCANS WHITEONBLACK
#define STRETCH_DELETESCANS COLORONCOLOR
#define STRETCH_HALFTONE HALFTONE

// A memory context compatible with hdc (null: the screen). It starts with a
// 1x1 monochrome stock bitmap selected; drawing needs a DIB section selected.
PAL_API HDC CreateCompatibleDC(HDC hdc);
// A DIB section of the header's size and format, zero-filled; *ppvBits (when
// given) receives its bits. hdc may be null; hSection must be null.
PAL_API HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO* pbmi, UINT usage, void** ppvBits, HANDLE hSection,
                                 DWORD offset);
// Selects a bitmap (a DIB section or the stock bitmap that SelectObject
// returned) into a memory context and returns the one selected before; null
// on failure. A bitmap is selected into one context at a time.
PAL_API HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h);
// Previous mode, or 0 for an invalid context or a mode outside 1..4.
// Memory contexts keep the mode; printer contexts accept it without effect.
PAL_API int SetStretchBltMode(HDC hdc, int mode);
// Draws into the DIB section selected into the memory context hdc. Trusts
// the header for the size of lpBits, as Win32 does. Returns SrcHeight (the
// scan lines used) or GDI_ERROR: ERROR_INVALID_PARAMETER also while the stock
// bitmap is selected, ERROR_NOT_SUPPORTED on a printer context.
PAL_API int StretchDIBits(HDC hdc, int xDest, int yDest, int DestWidth, int DestHeight, int xSrc, int ySrc,
                          int SrcWidth, int SrcHeight, const void* lpBits, const BITMAPINFO* lpbmi, UINT iUsage,
                          DWORD rop);
// With lpvBits null: completes the header (biWidth, biHeight with the sign the
// caller gave or else the bitmap's, biPlanes, biBitCount when 0, biCompression,
// biSizeImage; unless biBitCount was 0 also biClrUsed and biClrImportant 0 and
// the full colour table up to 8 bits) and returns nonzero. Otherwise copies scan lines
// uStartScan.. uStartScan + cScanLines - 1 (counted in the header's row order)
// into lpvBits in the header's orientation and returns the lines copied.
// The header must have the bitmap's width, height and bit count; the bitmap
// must not be selected into a context. hdc is any valid context.
PAL_API int GetDIBits(HDC hdc, HBITMAP hbm, UINT uStartScan, UINT cScanLines, void* lpvBits, BITMAPINFO* lpbmi,
                      UINT usage);
// Deletes a DIB section that is not selected into a context; deleting the
// stock bitmap does nothing and succeeds. (DeleteDC, above, also deletes
// memory contexts; a bitmap selected into one stays, deselected.)
PAL_API BOOL DeleteObject(HGDIOBJ h);

static_assert(sizeof(RGBQUAD) == 4);
static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(offsetof(BITMAPINFOHEADER, biBitCount) == 14);
static_assert(offsetof(BITMAPINFOHEADER, biSizeImage) == 20);
static_assert(sizeof(BITMAPINFO) == 44);
