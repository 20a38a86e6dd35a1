// The one Windows header of the product.
//
// Product code includes this header and nothing else from the operating
// system. On Windows it pulls in the real SDK headers; on Linux it pulls in
// the platform layer's declarations of the same names, with the binary layouts
// of Windows x64, implemented by the shared library built from pal/posix/.
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <winspool.h>
#include <winsplp.h>
#include <aclapi.h>
#include <winsvc.h>
// The failover cluster headers of the MinGW-w64 SDK define their types twice
// for Windows Vista and later, and resapi.h names the stdcall keyword by a
// spelling strict C++ does not have. They are read with the Windows Server
// 2003 level (all the cluster calls used here exist there), with the one
// type resapi.h then lacks declared ahead.
#pragma push_macro("_WIN32_WINNT")
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0502
#ifndef _stdcall
#define _stdcall __stdcall
#define QL_UNDEF_STDCALL
#endif
#include <clusapi.h>
typedef struct CLUSPROP_FILETIME* PCLUSPROP_FILETIME;
#include <resapi.h>
#ifdef QL_UNDEF_STDCALL
#undef _stdcall
#undef QL_UNDEF_STDCALL
#endif
#pragma pop_macro("_WIN32_WINNT")
#include <wchar.h>
#include <stdio.h>

// UTF-16 string literal.
#define WSTR(s) L##s
// EMF spool playback of gdi32, which the SDK headers leave undeclared.
extern "C" BOOL WINAPI GdiPlayEMF(LPWSTR pwszPrinterName, LPDEVMODEW pDevmode, LPWSTR pwszDocName,
                                  void* pfnEMFPlayFn, HANDLE hPageQuery);
// The .def file of the library decides what the DLL exports.
#define PAL_EXPORT extern "C"

#else

#include "pal/types.h"
#include "pal/base.h"
#include "pal/crt.h"
#include "pal/reg.h"
#include "pal/gdi.h"
#include "pal/dib.h"
#include "pal/gdiprint.h"
#include "pal/spool.h"
#include "pal/sock.h"
#include "pal/security.h"
#include "pal/crypt.h"
#include "pal/cluster.h"
#include "pal/eventlog.h"
#include "pal/fontres.h"

#endif

#include <cstddef>
#include <cstdint>

static_assert(sizeof(WCHAR) == 2, "WCHAR is UTF-16");
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(BOOL) == 4, "LLP64 integer sizes");
static_assert(sizeof(DEVMODEW) == 220, "DEVMODEW layout");
static_assert(offsetof(DEVMODEW, dmSpecVersion) == 64);
static_assert(offsetof(DEVMODEW, dmSize) == 68);
static_assert(offsetof(DEVMODEW, dmDriverExtra) == 70);
static_assert(offsetof(DEVMODEW, dmFields) == 72);
static_assert(offsetof(DEVMODEW, dmPaperSize) == 78);
static_assert(offsetof(DEVMODEW, dmCopies) == 86);
static_assert(offsetof(DEVMODEW, dmFormName) == 102);
static_assert(sizeof(PRINTPROCESSOROPENDATA) == 56);
static_assert(offsetof(PRINTPROCESSOROPENDATA, JobId) == 32);
static_assert(offsetof(PRINTPROCESSOROPENDATA, pPrinterName) == 48);
static_assert(sizeof(PRINTPROCESSOR_CAPS_1) == 16);
static_assert(sizeof(PRINTPROCESSOR_CAPS_2) == 36);
static_assert(sizeof(DATATYPES_INFO_1W) == 8);
static_assert(sizeof(PRINTER_INFO_2W) == 136);
static_assert(offsetof(PRINTER_INFO_2W, pPortName) == 24);
static_assert(offsetof(PRINTER_INFO_2W, pDriverName) == 32);
static_assert(offsetof(PRINTER_INFO_2W, Attributes) == 104);
static_assert(sizeof(JOB_INFO_2W) == 160);
static_assert(offsetof(JOB_INFO_2W, pUserName) == 24);
static_assert(offsetof(JOB_INFO_2W, pMachineName) == 16);
static_assert(sizeof(SYSTEMTIME) == 16);
static_assert(sizeof(DOC_INFO_1W) == 24);
static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == 52);
static_assert(offsetof(BY_HANDLE_FILE_INFORMATION, dwVolumeSerialNumber) == 28);
static_assert(offsetof(BY_HANDLE_FILE_INFORMATION, nNumberOfLinks) == 40);
