// Drawing state of printer device contexts (internal; gdi_print.cpp).
#pragma once
#include "gdi_dc.h"
#include "pal/gdiprint.h"

#include <cairo.h>

namespace pal::gdi {

// The cairo context of the open page, in device units (printable area at
// the origin); null outside a page or after CancelDC. Caller holds dc.lock.
cairo_t* PageContext(DeviceContext& dc);

// SelectObject for fonts on a printer context: false when hdc is not a
// printer context; otherwise *previous is the result (null on failure).
bool SelectIntoPrinterDC(HDC hdc, HGDIOBJ h, HGDIOBJ* previous);
// DeleteObject for fonts: false when h is no font.
bool DeleteFontObject(HGDIOBJ h);
// A font handle for a logical font (the handle-table object behind HFONT).
HGDIOBJ CreateFontObject(const LOGFONTW& lf);
// The logical font of a font handle (stock or made); false for anything else.
bool LogFontOf(HGDIOBJ h, LOGFONTW* lf);
// The default font a context starts with (a stock font handle).
HGDIOBJ DefaultFontHandle();

// Fonts of memory contexts (dib.cpp): false when hdc is no memory context.
bool SelectIntoMemoryDC(HDC hdc, HGDIOBJ font, HGDIOBJ* previous);
bool MemoryDCFont(HDC hdc, HGDIOBJ* font);

} // namespace pal::gdi
