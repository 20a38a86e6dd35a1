#define QL_MODULE WSTR("Util")
#include "printproc/Util.h"

#include "diag/DbgLog.h"

#include <cstring>

LPVOID MemAlloc(SIZE_T cb) {
    return static_cast<LPVOID>(GlobalAlloc(GPTR, cb));
}

BOOL MemFree(LPVOID* lpMem) {
    if (!lpMem) return FALSE;
    if (!FLUNKKED(*lpMem)) return FALSE;
    GlobalFree(static_cast<HGLOBAL>(*lpMem));
    *lpMem = nullptr;
    return TRUE;
}

LPVOID MemReAlloc(LPVOID pOld, SIZE_T cbOld, SIZE_T cbNew) {
    LPVOID pNew = MemAlloc(cbNew);
    if (!pNew) return nullptr;
    if (pOld) {
        std::memcpy(pNew, pOld, cbOld < cbNew ? cbOld : cbNew);
        MemFree(&pOld);
    }
    return pNew;
}

LPWSTR AllocSplStr(LPCWSTR psz) {
    if (!psz) return nullptr;
    SIZE_T cb = (static_cast<SIZE_T>(lstrlenW(psz)) + 1) * sizeof(WCHAR);
    LPWSTR pCopy = static_cast<LPWSTR>(MemAlloc(cb));
    if (pCopy) std::memcpy(pCopy, psz, cb);
    return pCopy;
}
