// Memory functions of the print processor. Every buffer a job owns comes from
// the global heap through these, zero-filled, so a record can be freed in any
// half-built state.
#pragma once
#include "palwin.h"

#include <cstdio>

// Fixed, zero-filled global memory; null on failure.
LPVOID MemAlloc(SIZE_T cb);

// Frees *lpMem and sets it to null. A pointer that is already null is logged
// as a failed check and left alone. Returns TRUE when a block was freed.
BOOL MemFree(LPVOID* lpMem);

// Typed convenience over MemFree for pointers of any type.
template <class T>
inline BOOL MemFreeT(T** lpMem) {
    LPVOID p = const_cast<void*>(static_cast<const void*>(*lpMem));
    BOOL fRtn = MemFree(&p);
    *lpMem = static_cast<T*>(p);
    return fRtn;
}

// Allocates cbNew bytes, copies min(cbOld, cbNew) bytes of pOld and frees
// pOld. On failure pOld is left untouched and null is returned.
LPVOID MemReAlloc(LPVOID pOld, SIZE_T cbOld, SIZE_T cbNew);

// UTF-16 copy of psz in global memory; null for a null source or when memory
// runs out.
LPWSTR AllocSplStr(LPCWSTR psz);

// A GetProcAddress result as the function type it really has. The detour over
// void(*)() is the one function-pointer cast the compiler accepts silently.
template <class F>
inline F ProcAs(FARPROC pfn) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(pfn));
}

// Result of CreateTempFile when no directory would take the file.
constexpr DWORD QL_E_NO_TEMP_FILE = 0x8237117A;

// Creates an empty temporary file (prefix "WPrn") in the first directory that
// takes it: preferredDir (unless "-1"), the job printer's spool directory,
// the cluster spool directory of serverName, the spooler's default spool
// directory, the system spool directory. On 0 the full path is in fileName
// (cchFileName characters) and *ppFile is open "w+b"; the caller closes and
// deletes it. Else QL_E_NO_TEMP_FILE and no stream. The result is also left
// as the thread's last error.
DWORD CreateTempFile(HANDLE hPrinter, LPCWSTR serverName, DWORD jobId, LPWSTR fileName, DWORD cchFileName,
                     LPCWSTR preferredDir, FILE** ppFile);

// One attempt in one directory; TRUE when *ppFile is an open stream. The
// generated path is copied to fileName either way.
BOOL TryToCreateTempFile(LPCWSTR dir, LPWSTR fileName, DWORD cchFileName, FILE** ppFile);
