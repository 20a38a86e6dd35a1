// Kernel and user services for the Linux build: last error, global memory,
// handles, synchronisation, modules, files, time, strings, process facts,
// debugger output and message boxes.
#pragma once
#include "pal/types.h"

#include <cstdarg>

#define PAL_API extern "C" __attribute__((visibility("default")))

// Error codes of this area not listed in pal/types.h.
#ifndef ERROR_BUFFER_OVERFLOW
#define ERROR_BUFFER_OVERFLOW 111L
#endif
#ifndef ERROR_DIR_NOT_EMPTY
#define ERROR_DIR_NOT_EMPTY 145L
#endif
#ifndef ERROR_DIRECTORY
#define ERROR_DIRECTORY 267L
#endif
#ifndef ERROR_FILENAME_EXCED_RANGE
#define ERROR_FILENAME_EXCED_RANGE 206L
#endif

// ---- last error --------------------------------------------------------------
PAL_API DWORD GetLastError(void);
PAL_API void SetLastError(DWORD dwErrCode);

// ---- global memory -----------------------------------------------------------
#define GMEM_FIXED 0x0000
#define GMEM_MOVEABLE 0x0002
#define GMEM_ZEROINIT 0x0040
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
PAL_API HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
PAL_API HGLOBAL GlobalFree(HGLOBAL hMem);
PAL_API HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
PAL_API HLOCAL LocalFree(HLOCAL hMem);

// True when [lp, lp+ucb) cannot be read by this process. Never faults.
PAL_API BOOL IsBadReadPtr(const void* lp, UINT_PTR ucb);

// ---- handles and synchronisation ----------------------------------------------
PAL_API BOOL CloseHandle(HANDLE hObject);

#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_FAILED 0xFFFFFFFFu
PAL_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                            LPCWSTR lpName);
PAL_API BOOL SetEvent(HANDLE hEvent);
PAL_API BOOL ResetEvent(HANDLE hEvent);
PAL_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
PAL_API void Sleep(DWORD dwMilliseconds);

// Same size as the Windows x64 CRITICAL_SECTION (40 bytes); holds a recursive
// mutex of the platform.
typedef struct _CRITICAL_SECTION {
    alignas(8) unsigned char opaque[40];
} CRITICAL_SECTION, *LPCRITICAL_SECTION, *PCRITICAL_SECTION;
PAL_API void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
PAL_API void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
PAL_API void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
PAL_API void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// ---- modules -------------------------------------------------------------------
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
// Loads "name.dll" from the module directory as a shared library and calls its
// DllMain with DLL_PROCESS_ATTACH on the first load.
PAL_API HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
PAL_API HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
PAL_API FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
PAL_API BOOL FreeLibrary(HMODULE hLibModule);

// ---- files -------------------------------------------------------------------
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF)

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

// Paths: "C:\dir\file" maps to <drive root>/dir/file; other drive letters to
// <drive root>/<letter>/...; relative paths stay relative; backslashes become
// slashes.
PAL_API HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                           LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                           DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
PAL_API BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                      LPOVERLAPPED lpOverlapped);
PAL_API BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                       LPOVERLAPPED lpOverlapped);
PAL_API BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                              DWORD dwMoveMethod);
PAL_API BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
// Windows x64 layout. FILE_FLAG_OPEN_REPARSE_POINT makes CreateFileW refuse
// a symbolic link (Windows opens the link itself; this layer cannot), so the
// attributes here never carry FILE_ATTRIBUTE_REPARSE_POINT.
typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;
PAL_API BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation);
PAL_API BOOL DeleteFileW(LPCWSTR lpFileName);
PAL_API UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize);
PAL_API UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize);
// Name "<path>\<first 3 prefix chars><hex>.TMP" into lpTempFileName (MAX_PATH
// characters). uUnique 0: picks a free number (1 to 4 hex digits), creates the
// empty file and returns the number; else only builds the name. 0 with the
// last error on failure (ERROR_DIRECTORY for a missing directory,
// ERROR_BUFFER_OVERFLOW for a path longer than MAX_PATH - 14); the buffer is
// written only on success.
PAL_API UINT GetTempFileNameW(LPCWSTR lpPathName, LPCWSTR lpPrefixString, UINT uUnique, LPWSTR lpTempFileName);

// ---- time, threads, process facts ---------------------------------------------
PAL_API void GetLocalTime(LPSYSTEMTIME lpSystemTime);
PAL_API ULONGLONG GetTickCount64(void);
PAL_API BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
PAL_API BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
PAL_API DWORD GetCurrentThreadId(void);

typedef struct _OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW;
#define VER_PLATFORM_WIN32_NT 2
// Reports Windows 10 (10.0.19045).
PAL_API BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation);
// The extended form, which GetVersionExW accepts as well.
typedef struct _OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, *LPOSVERSIONINFOEXW;
static_assert(sizeof(OSVERSIONINFOEXW) == 284);


// ---- strings -------------------------------------------------------------------
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080
// CP_ACP and CP_OEMCP are Windows-1252 here: UTF-16 code units that have no
// single-byte form become the default character "?".
PAL_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                LPBOOL lpUsedDefaultChar);
PAL_API int lstrlenW(LPCWSTR lpString);
PAL_API LPWSTR lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength);
PAL_API int lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);
PAL_API int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);

// ---- debugger output and message boxes ------------------------------------------
// Both go to channels of the platform layer that the host shows and tests read
// (see palhost.h); a message box never blocks and answers IDOK.
PAL_API void OutputDebugStringW(LPCWSTR lpOutputString);

#define MB_OK 0x00000000L
#define MB_ICONINFORMATION 0x00000040L
#define MB_ICONERROR 0x00000010L
#define MB_SERVICE_NOTIFICATION 0x00200000L
#define IDOK 1
PAL_API int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
